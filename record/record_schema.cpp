// The record's tables, made at first use, and its schema version.
#include <string>

#include "record/attempt_row.h"

namespace {

const char* const SchemaStatements[] = {
    "CREATE TABLE IF NOT EXISTS k4471_schema (version INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS k4471_attempt ("
    " attempt_id TEXT NOT NULL UNIQUE, board_id TEXT NOT NULL, station TEXT NOT NULL,"
    " operator TEXT, port TEXT, slot TEXT, board BIGINT, attempt INTEGER, serial BIGINT,"
    " counter TEXT, file TEXT, sha256 TEXT, image_sha256 TEXT, bytes BIGINT, blocks BIGINT,"
    " outcome TEXT NOT NULL, exit_code INTEGER, failed_step TEXT, message TEXT, app_line TEXT,"
    " started TEXT NOT NULL, ended TEXT, duration_s DOUBLE PRECISION, tool_version TEXT)",
    "CREATE INDEX IF NOT EXISTS k4471_attempt_started ON k4471_attempt (started)",
    "CREATE INDEX IF NOT EXISTS k4471_attempt_serial ON k4471_attempt (serial)",
    "CREATE TABLE IF NOT EXISTS k4471_counter ("
    " name TEXT PRIMARY KEY, format TEXT NOT NULL, first_number BIGINT NOT NULL,"
    " next_number BIGINT NOT NULL, last_number BIGINT NOT NULL, created TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS k4471_serial ("
    " counter TEXT NOT NULL, number BIGINT NOT NULL, attempt_id TEXT NOT NULL,"
    " issued TEXT NOT NULL, UNIQUE (counter, number))",
    "CREATE TABLE IF NOT EXISTS k4471_station ("
    " name TEXT PRIMARY KEY, version TEXT, last_alive TEXT NOT NULL)",
};

bool readVersion(Db* db, int* version, bool* present) {
  std::vector<DbRow> rows;
  if (!dbExec(db, "SELECT version FROM k4471_schema", {}, &rows)) return false;
  *present = !rows.empty() && rows[0][0];
  *version = *present ? std::stoi(*rows[0][0]) : 0;
  return true;
}

// The tables, in one transaction; on PostgreSQL under a lock, so that two stations making them
// at once do not collide.
bool createTables(Db* db) {
  if (!dbBegin(db, true)) return false;
  bool good =
      db->target.engine == DbEngine::Sqlite || dbExec(db, "SELECT pg_advisory_xact_lock(4471)");
  for (const char* statement : SchemaStatements) good = good && dbExec(db, statement);
  int version = 0;
  bool present = false;
  good = good && readVersion(db, &version, &present);
  if (good && !present) {
    good =
        dbExec(db, "INSERT INTO k4471_schema (version) VALUES ($1)", {dbInt(RecordSchemaVersion)});
  }
  if (good) return dbCommit(db);
  dbRollback(db);
  return false;
}

}  // namespace

bool ensureSchema(Db* db) {
  int version = 0;
  bool present = false;
  // A database already made is only read: a reader needs no write lock.
  if (!readVersion(db, &version, &present) || !present) {
    if (!createTables(db) || !readVersion(db, &version, &present)) return false;
  }
  if (version == RecordSchemaVersion) return true;
  db->fault = DbFault::Failed;
  db->error = db->target.shown + " holds the record's schema version " + std::to_string(version) +
              "; this tool knows version " + std::to_string(RecordSchemaVersion) +
              " only: use the tool of that version, or another database";
  return false;
}

bool openRecord(Db* db, const DbTarget& target, bool createMissing) {
  if (!dbConnect(db, target, createMissing)) return false;
  if (ensureSchema(db)) return true;
  std::string error = db->error;
  DbFault fault = db->fault;
  dbClose(db);
  db->fault = fault;
  db->error = error;
  return false;
}
