// The line's record: one small interface over the two database engines.
//
// A plain path is a SQLite file on this machine; postgresql://[USER@]HOST[:PORT]/DBNAME is a
// PostgreSQL server shared by a line's stations. Both are reached through their own C client
// libraries (SQLite's C API and libpq) rather than a C++ database layer: both report by return
// codes, as this code base does (it has no exceptions), both are in every distribution, and the
// handful of statements the record needs is written once, in the SQL both engines understand
// ($1 placeholders, ON CONFLICT, RETURNING), behind the free functions below.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct pg_conn;

enum class DbEngine { Sqlite, Postgres };

// Where the record lies. A target never holds a password: libpq finds it by its own means
// (PGPASSWORD, the password file, PGSERVICE).
struct DbTarget {
  DbEngine engine = DbEngine::Sqlite;
  std::string path;                      // SQLite: the file
  std::string user, host, port, dbname;  // PostgreSQL (user and port may be empty)
  std::string shown;                     // for messages and the spool: without user details
};

// Reads a target. False with the reason (a usage error) when it is empty, holds a password or
// parameters, or is a URL of another kind.
bool parseDbTarget(const std::string& text, DbTarget* target, std::string* error);

// One value bound to a statement's $N.
struct DbValue {
  enum class Kind { Null, Integer, Real, Text } kind = Kind::Null;
  int64_t integer = 0;
  double real = 0;
  std::string text;
};
DbValue dbNull();
DbValue dbInt(int64_t value);
DbValue dbReal(double value);
DbValue dbText(const std::string& value);
// Text, or NULL when empty.
DbValue dbTextOrNull(const std::string& value);

// A result row: each column as text, nullopt for NULL.
using DbRow = std::vector<std::optional<std::string>>;

// What went wrong with the last call.
enum class DbFault {
  None,
  Unreachable,  // no connection: the server is away or refused the login, the file cannot open
  Conflict,     // a UNIQUE constraint refused the row
  Failed,       // anything else the engine refused
};

// An open connection.
struct Db {
  DbTarget target;
  sqlite3* lite = nullptr;
  pg_conn* pg = nullptr;
  DbFault fault = DbFault::None;
  std::string error;  // the engine's reason for the last fault
};

// Connects (a SQLite file is created when missing only with createMissing, in WAL mode with a
// busy timeout). False with db->fault and db->error set.
bool dbConnect(Db* db, const DbTarget& target, bool createMissing);
void dbClose(Db* db);
bool dbConnected(const Db& db);
// The last fault's reason for a message, the target named in front unless the engine named it.
std::string dbFaultText(const Db& db);

// Runs one statement with $1... bound to params; its rows into *rows when given.
bool dbExec(Db* db, const std::string& sql, const std::vector<DbValue>& params = {},
            std::vector<DbRow>* rows = nullptr);
// A transaction: forWriting takes SQLite's write lock at once, so that two writers wait for
// each other through the busy timeout instead of failing on an upgrade.
bool dbBegin(Db* db, bool forWriting);
bool dbCommit(Db* db);
void dbRollback(Db* db);
