// The local spool of rows waiting for their database.
#include "record/record_spool.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

// Rows sent at once, before the spool is asked again.
constexpr int SendBatch = 200;

}  // namespace

std::string recordTargetKey(const DbTarget& target) {
  if (target.engine == DbEngine::Postgres) {
    return "postgresql://" + target.host + ":" + (target.port.empty() ? "5432" : target.port) +
           "/" + target.dbname;
  }
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(target.path, error);
  return error ? target.path : absolute.lexically_normal().string();
}

std::string defaultSpoolPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::string folder = state && *state ? std::string(state)
                       : home && *home ? std::string(home) + "/.local/state"
                                       : std::string();
  return folder.empty() ? folder : folder + "/k4471/spool.sqlite";
}

bool openSpool(RecordSpool* spool, const std::string& path, const DbTarget& target,
               std::string* error) {
  std::error_code ignored;
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
  DbTarget file;
  file.engine = DbEngine::Sqlite;
  file.path = path;
  file.shown = path;
  spool->target = recordTargetKey(target);
  if (dbConnect(&spool->file, file, true) &&
      dbExec(&spool->file,
             "CREATE TABLE IF NOT EXISTS k4471_spool (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
             " target TEXT NOT NULL, row TEXT NOT NULL)")) {
    return true;
  }
  *error = "the spool " + path + " cannot be written: " + spool->file.error;
  dbClose(&spool->file);
  return false;
}

void closeSpool(RecordSpool* spool) {
  dbClose(&spool->file);
}

bool spoolRow(RecordSpool* spool, const AttemptRow& row) {
  std::string text =
      attemptJson(row).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return dbExec(&spool->file, "INSERT INTO k4471_spool (target, row) VALUES ($1, $2)",
                {dbText(spool->target), dbText(text)});
}

size_t spooledRows(RecordSpool* spool) {
  std::vector<DbRow> rows;
  if (!dbExec(&spool->file, "SELECT COUNT(*) FROM k4471_spool WHERE target = $1",
              {dbText(spool->target)}, &rows) ||
      rows.empty() || !rows[0][0]) {
    return 0;
  }
  return std::strtoull(rows[0][0]->c_str(), nullptr, 10);
}

bool sendSpool(RecordSpool* spool, Db* db) {
  int64_t after = 0;
  for (;;) {
    std::vector<DbRow> rows;
    if (!dbExec(&spool->file,
                "SELECT seq, row FROM k4471_spool WHERE target = $1 AND seq > $2 ORDER BY seq"
                " LIMIT $3",
                {dbText(spool->target), dbInt(after), dbInt(SendBatch)}, &rows)) {
      return true;  // the spool's own fault: its rows wait
    }
    if (rows.empty()) return true;
    for (const DbRow& row : rows) {
      after = std::strtoll(row[0].value_or("0").c_str(), nullptr, 10);
      AttemptRow attempt;
      nlohmann::json object = nlohmann::json::parse(row[1].value_or(""), nullptr, false);
      // A row the database refuses for itself stays, and the rest go on.
      bool readable = attemptFromJson(object, &attempt);
      if (readable && !writeAttempt(db, attempt)) {
        if (db->fault == DbFault::Unreachable) return false;
        continue;
      }
      if (readable) dbExec(&spool->file, "DELETE FROM k4471_spool WHERE seq = $1", {dbInt(after)});
    }
  }
}
