// The record's database interface: values, and each call sent to its engine.
#include "record/record_db.h"

#include "record/db_engine.h"

DbValue dbNull() {
  return DbValue();
}

DbValue dbInt(int64_t value) {
  DbValue v;
  v.kind = DbValue::Kind::Integer;
  v.integer = value;
  return v;
}

DbValue dbReal(double value) {
  DbValue v;
  v.kind = DbValue::Kind::Real;
  v.real = value;
  return v;
}

DbValue dbText(const std::string& value) {
  DbValue v;
  v.kind = DbValue::Kind::Text;
  v.text = value;
  return v;
}

DbValue dbTextOrNull(const std::string& value) {
  return value.empty() ? dbNull() : dbText(value);
}

bool dbConnect(Db* db, const DbTarget& target, bool createMissing) {
  dbClose(db);
  db->target = target;
  db->fault = DbFault::None;
  db->error.clear();
  return target.engine == DbEngine::Sqlite ? sqliteConnect(db, createMissing) : postgresConnect(db);
}

void dbClose(Db* db) {
  sqliteClose(db);
  postgresClose(db);
}

bool dbConnected(const Db& db) {
  return db.lite != nullptr || postgresConnected(db);
}

std::string dbFaultText(const Db& db) {
  const std::string& shown = db.target.shown;
  if (db.error.compare(0, shown.size(), shown) == 0) return db.error;
  return shown + ": " + db.error;
}

bool dbExec(Db* db, const std::string& sql, const std::vector<DbValue>& params,
            std::vector<DbRow>* rows) {
  db->fault = DbFault::None;
  db->error.clear();
  if (rows) rows->clear();
  if (!dbConnected(*db)) {
    db->fault = DbFault::Unreachable;
    db->error = "not connected";
    return false;
  }
  return db->target.engine == DbEngine::Sqlite ? sqliteExec(db, sql, params, rows)
                                               : postgresExec(db, sql, params, rows);
}

bool dbBegin(Db* db, bool forWriting) {
  if (db->target.engine == DbEngine::Sqlite && forWriting) return dbExec(db, "BEGIN IMMEDIATE");
  return dbExec(db, "BEGIN");
}

bool dbCommit(Db* db) {
  return dbExec(db, "COMMIT");
}

void dbRollback(Db* db) {
  // The fault that led here is kept: the rollback's own is of no interest.
  DbFault fault = db->fault;
  std::string error = db->error;
  if (dbConnected(*db)) dbExec(db, "ROLLBACK");
  db->fault = fault;
  db->error = error;
}
