// The record on SQLite: one file on this machine, in WAL mode with a busy timeout, so that
// several stations on the machine share it.
#include <sqlite3.h>

#include "record/db_engine.h"

namespace {

// How long a statement waits for another connection's write lock.
constexpr int BusyTimeoutMs = 15000;

void fail(Db* db, int code, const char* what) {
  int primary = code & 0xFF;
  db->fault = code == SQLITE_CONSTRAINT_UNIQUE || code == SQLITE_CONSTRAINT_PRIMARYKEY
                  ? DbFault::Conflict
              : primary == SQLITE_CANTOPEN || primary == SQLITE_NOTADB ? DbFault::Unreachable
                                                                       : DbFault::Failed;
  db->error = what ? what : sqlite3_errstr(code);
}

// $N as ?N: SQLite's numbered parameter.
std::string sqliteText(const std::string& sql) {
  std::string text = sql;
  for (char& c : text) {
    if (c == '$') c = '?';
  }
  return text;
}

bool bind(Db* db, sqlite3_stmt* statement, const std::vector<DbValue>& params) {
  for (size_t i = 0; i < params.size(); ++i) {
    const DbValue& value = params[i];
    int index = static_cast<int>(i) + 1, code = SQLITE_OK;
    switch (value.kind) {
      case DbValue::Kind::Null:
        code = sqlite3_bind_null(statement, index);
        break;
      case DbValue::Kind::Integer:
        code = sqlite3_bind_int64(statement, index, value.integer);
        break;
      case DbValue::Kind::Real:
        code = sqlite3_bind_double(statement, index, value.real);
        break;
      case DbValue::Kind::Text:
        code = sqlite3_bind_text(statement, index, value.text.data(),
                                 static_cast<int>(value.text.size()), SQLITE_TRANSIENT);
        break;
    }
    if (code != SQLITE_OK) return fail(db, code, sqlite3_errmsg(db->lite)), false;
  }
  return true;
}

DbRow readRow(sqlite3_stmt* statement) {
  DbRow row;
  int columns = sqlite3_column_count(statement);
  for (int c = 0; c < columns; ++c) {
    if (sqlite3_column_type(statement, c) == SQLITE_NULL) {
      row.emplace_back();
      continue;
    }
    const unsigned char* text = sqlite3_column_text(statement, c);
    row.emplace_back(std::string(reinterpret_cast<const char*>(text),
                                 static_cast<size_t>(sqlite3_column_bytes(statement, c))));
  }
  return row;
}

}  // namespace

bool sqliteConnect(Db* db, bool createMissing) {
  int flags =
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (createMissing ? SQLITE_OPEN_CREATE : 0);
  int code = sqlite3_open_v2(db->target.path.c_str(), &db->lite, flags, nullptr);
  if (code != SQLITE_OK) {
    std::string reason = db->lite ? sqlite3_errmsg(db->lite) : sqlite3_errstr(code);
    if (!createMissing && (code & 0xFF) == SQLITE_CANTOPEN) reason = "no such database file";
    sqliteClose(db);
    db->fault = DbFault::Unreachable;
    db->error = db->target.path + ": " + reason;
    return false;
  }
  sqlite3_extended_result_codes(db->lite, 1);
  sqlite3_busy_timeout(db->lite, BusyTimeoutMs);
  std::vector<DbRow> rows;
  if (!sqliteExec(db, "PRAGMA journal_mode=WAL", {}, &rows) ||
      !sqliteExec(db, "PRAGMA synchronous=NORMAL", {}, nullptr)) {
    std::string reason = db->error;
    sqliteClose(db);
    db->fault = DbFault::Unreachable;
    db->error = db->target.path + ": " + reason;
    return false;
  }
  return true;
}

bool sqliteExec(Db* db, const std::string& sql, const std::vector<DbValue>& params,
                std::vector<DbRow>* rows) {
  sqlite3_stmt* statement = nullptr;
  int code = sqlite3_prepare_v2(db->lite, sqliteText(sql).c_str(), -1, &statement, nullptr);
  if (code != SQLITE_OK) return fail(db, code, sqlite3_errmsg(db->lite)), false;
  bool good = bind(db, statement, params);
  while (good) {
    code = sqlite3_step(statement);
    if (code == SQLITE_DONE) break;
    if (code != SQLITE_ROW) {
      fail(db, sqlite3_extended_errcode(db->lite), sqlite3_errmsg(db->lite));
      good = false;
    } else if (rows) {
      rows->push_back(readRow(statement));
    }
  }
  sqlite3_finalize(statement);
  return good;
}

void sqliteClose(Db* db) {
  if (db->lite) sqlite3_close_v2(db->lite);
  db->lite = nullptr;
}
