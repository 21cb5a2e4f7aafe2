// One attempt's row: written, read, and as JSON.
#include "record/attempt_row.h"

#include <cstdlib>

#include "record/record_text.h"

const char* const OutcomeStarted = "started";

const char* const AttemptColumns =
    "attempt_id, board_id, station, operator, port, slot, board, attempt, serial, counter, file,"
    " sha256, image_sha256, bytes, blocks, outcome, exit_code, failed_step, message, app_line,"
    " started, ended, duration_s, tool_version";

namespace {

const char* const InsertAttempt =
    "INSERT INTO k4471_attempt (attempt_id, board_id, station, operator, port, slot, board,"
    " attempt, serial, counter, file, sha256, image_sha256, bytes, blocks, outcome, exit_code,"
    " failed_step, message, app_line, started, ended, duration_s, tool_version) VALUES ($1, $2,"
    " $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, $19, $20, $21,"
    " $22, $23, $24) ON CONFLICT (attempt_id) DO ";

// What a completed row replaces of a row already there (a started one, or itself sent again).
const char* const UpdateAttempt =
    "UPDATE SET serial = excluded.serial, counter = excluded.counter, bytes = excluded.bytes,"
    " blocks = excluded.blocks, sha256 = excluded.sha256, image_sha256 = excluded.image_sha256,"
    " outcome = excluded.outcome, exit_code = excluded.exit_code,"
    " failed_step = excluded.failed_step, message = excluded.message,"
    " app_line = excluded.app_line, ended = excluded.ended, duration_s = excluded.duration_s";

std::string text(const std::optional<std::string>& cell) {
  return cell ? *cell : std::string();
}

unsigned long long number(const std::optional<std::string>& cell) {
  return cell ? std::strtoull(cell->c_str(), nullptr, 10) : 0;
}

std::vector<DbValue> attemptValues(const AttemptRow& row) {
  auto t = [](const std::string& value) { return dbTextOrNull(recordText(value)); };
  return {dbText(row.attemptId),
          dbText(row.boardId.empty() ? row.attemptId : row.boardId),
          dbText(recordText(row.station)),
          t(row.operatorName),
          t(row.port),
          t(row.slot),
          dbInt(static_cast<int64_t>(row.board)),
          dbInt(row.attempt),
          row.serial ? dbInt(static_cast<int64_t>(*row.serial)) : dbNull(),
          t(row.counter),
          t(row.file),
          t(row.sha256),
          t(row.imageSha256),
          dbInt(static_cast<int64_t>(row.bytes)),
          dbInt(static_cast<int64_t>(row.blocks)),
          dbText(recordText(row.outcome)),
          dbInt(row.exitCode),
          t(row.failedStep),
          t(row.message),
          t(row.appLine),
          dbText(row.started),
          t(row.ended),
          row.outcome == OutcomeStarted ? dbNull() : dbReal(row.seconds),
          t(row.toolVersion)};
}

}  // namespace

AttemptRow attemptFromRow(const DbRow& row) {
  AttemptRow a;
  if (row.size() < 24) return a;
  a.attemptId = text(row[0]);
  a.boardId = text(row[1]);
  a.station = text(row[2]);
  a.operatorName = text(row[3]);
  a.port = text(row[4]);
  a.slot = text(row[5]);
  a.board = static_cast<unsigned long>(number(row[6]));
  a.attempt = static_cast<int>(number(row[7]));
  if (row[8]) a.serial = number(row[8]);
  a.counter = text(row[9]);
  a.file = text(row[10]);
  a.sha256 = text(row[11]);
  a.imageSha256 = text(row[12]);
  a.bytes = number(row[13]);
  a.blocks = static_cast<unsigned long>(number(row[14]));
  a.outcome = text(row[15]);
  a.exitCode = static_cast<int>(std::strtol(text(row[16]).c_str(), nullptr, 10));
  a.failedStep = text(row[17]);
  a.message = text(row[18]);
  a.appLine = text(row[19]);
  a.started = text(row[20]);
  a.ended = text(row[21]);
  a.seconds = row[22] ? std::strtod(row[22]->c_str(), nullptr) : 0;
  a.toolVersion = text(row[23]);
  return a;
}

bool writeAttempt(Db* db, const AttemptRow& row) {
  const bool started = row.outcome == OutcomeStarted;
  return dbExec(db, std::string(InsertAttempt) + (started ? "NOTHING" : UpdateAttempt),
                attemptValues(row));
}

nlohmann::ordered_json attemptJson(const AttemptRow& row) {
  nlohmann::ordered_json o = {
      {"attempt_id", row.attemptId},
      {"board_id", row.boardId},
      {"station", row.station},
      {"operator", row.operatorName},
      {"port", row.port},
      {"slot", row.slot},
      {"board", row.board},
      {"attempt", row.attempt},
      {"serial", nullptr},
      {"counter", row.counter},
      {"file", row.file},
      {"sha256", row.sha256},
      {"image_sha256", row.imageSha256},
      {"bytes", row.bytes},
      {"blocks", row.blocks},
      {"outcome", row.outcome},
      {"exit_code", row.exitCode},
      {"failed_step", row.failedStep},
      {"message", row.message},
      {"app_line", row.appLine},
      {"started", row.started},
      {"ended", row.ended},
      {"duration_s", row.seconds},
      {"tool_version", row.toolVersion},
  };
  if (row.serial) o["serial"] = *row.serial;
  return o;
}

bool attemptFromJson(const nlohmann::json& o, AttemptRow* row) {
  if (!o.is_object() || !o.contains("attempt_id") || !o["attempt_id"].is_string()) return false;
  auto s = [&o](const char* key) {
    return o.contains(key) && o[key].is_string() ? o[key].get<std::string>() : std::string();
  };
  auto n = [&o](const char* key) {
    return o.contains(key) && o[key].is_number() ? o[key].get<double>() : 0.0;
  };
  *row = AttemptRow();
  row->attemptId = s("attempt_id");
  row->boardId = s("board_id");
  row->station = s("station");
  row->operatorName = s("operator");
  row->port = s("port");
  row->slot = s("slot");
  row->board = o.value("board", 0UL);
  row->attempt = o.value("attempt", 1);
  if (o.contains("serial") && o["serial"].is_number_unsigned())
    row->serial = o["serial"].get<uint64_t>();
  row->counter = s("counter");
  row->file = s("file");
  row->sha256 = s("sha256");
  row->imageSha256 = s("image_sha256");
  row->bytes = o.value("bytes", 0ULL);
  row->blocks = o.value("blocks", 0UL);
  row->outcome = s("outcome");
  row->exitCode = o.value("exit_code", 0);
  row->failedStep = s("failed_step");
  row->message = s("message");
  row->appLine = s("app_line");
  row->started = s("started");
  row->ended = s("ended");
  row->seconds = n("duration_s");
  row->toolVersion = s("tool_version");
  return !row->outcome.empty() && !row->started.empty();
}
