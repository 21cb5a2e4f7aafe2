// The record on PostgreSQL, through libpq: a server shared by a line's stations.
#include <libpq-fe.h>

#include <cstring>
#include <string>

#include "record/db_engine.h"

namespace {

// libpq's message without its trailing line end and its "FATAL:  " or "ERROR:  " prefix.
std::string cleanMessage(const char* text) {
  std::string message = text ? text : "";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  for (const char* prefix : {"FATAL:  ", "ERROR:  "}) {
    if (message.compare(0, strlen(prefix), prefix) == 0) message.erase(0, strlen(prefix));
  }
  for (size_t at = message.find('\n'); at != std::string::npos; at = message.find('\n', at)) {
    size_t end = message.find_first_not_of(" \t\n", at);
    message.replace(at, end == std::string::npos ? std::string::npos : end - at, "; ");
  }
  return message;
}

void failWith(Db* db, PGresult* result) {
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  std::string code = state ? state : "";
  if (PQstatus(db->pg) == CONNECTION_BAD) {
    db->fault = DbFault::Unreachable;
  } else if (code == "23505") {
    db->fault = DbFault::Conflict;
  } else {
    db->fault = DbFault::Failed;
  }
  db->error = cleanMessage(result ? PQresultErrorMessage(result) : PQerrorMessage(db->pg));
  if (db->error.empty()) db->error = cleanMessage(PQerrorMessage(db->pg));
}

}  // namespace

bool postgresConnect(Db* db) {
  const DbTarget& t = db->target;
  const char* keys[] = {
      "host", "port", "dbname", "user", "connect_timeout", "application_name", "client_encoding",
      nullptr};
  const char* values[] = {t.host.c_str(),
                          t.port.empty() ? nullptr : t.port.c_str(),
                          t.dbname.c_str(),
                          t.user.empty() ? nullptr : t.user.c_str(),
                          "10",
                          "k4471",
                          "UTF8",
                          nullptr};
  db->pg = PQconnectdbParams(keys, values, 0);
  if (db->pg && PQstatus(db->pg) == CONNECTION_OK) return true;
  db->fault = DbFault::Unreachable;
  db->error = db->pg ? cleanMessage(PQerrorMessage(db->pg)) : "out of memory";
  postgresClose(db);
  return false;
}

bool postgresExec(Db* db, const std::string& sql, const std::vector<DbValue>& params,
                  std::vector<DbRow>* rows) {
  std::vector<std::string> texts(params.size());
  std::vector<const char*> values(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    const DbValue& value = params[i];
    if (value.kind == DbValue::Kind::Integer) texts[i] = std::to_string(value.integer);
    if (value.kind == DbValue::Kind::Real) texts[i] = std::to_string(value.real);
    if (value.kind == DbValue::Kind::Text) texts[i] = value.text;
    values[i] = value.kind == DbValue::Kind::Null ? nullptr : texts[i].c_str();
  }
  PGresult* result = PQexecParams(db->pg, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                  values.data(), nullptr, nullptr, 0);
  ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  bool good = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (!good) failWith(db, result);
  for (int r = 0; good && rows && r < PQntuples(result); ++r) {
    DbRow row;
    for (int c = 0; c < PQnfields(result); ++c) {
      if (PQgetisnull(result, r, c)) {
        row.emplace_back();
      } else {
        row.emplace_back(
            std::string(PQgetvalue(result, r, c), static_cast<size_t>(PQgetlength(result, r, c))));
      }
    }
    rows->push_back(row);
  }
  PQclear(result);
  return good;
}

void postgresClose(Db* db) {
  if (db->pg) PQfinish(db->pg);
  db->pg = nullptr;
}

bool postgresConnected(const Db& db) {
  return db.pg != nullptr;
}
