// Asking the record: its attempts, and the yield per group.
#include "record/record_query.h"

#include <algorithm>
#include <map>

#include "record/record_text.h"

bool parseRecordFormat(const std::string& word, RecordFormat* format) {
  const std::pair<const char*, RecordFormat> words[] = {{"table", RecordFormat::Table},
                                                        {"csv", RecordFormat::Csv},
                                                        {"json", RecordFormat::Json},
                                                        {"junit", RecordFormat::Junit}};
  for (const auto& w : words) {
    if (word == w.first) return *format = w.second, true;
  }
  return false;
}

bool parseYieldBy(const std::string& word, YieldBy* by) {
  const std::pair<const char*, YieldBy> words[] = {{"station", YieldBy::Station},
                                                   {"port", YieldBy::Port},
                                                   {"image", YieldBy::Image},
                                                   {"hour", YieldBy::Hour},
                                                   {"day", YieldBy::Day}};
  for (const auto& w : words) {
    if (word == w.first) return *by = w.second, true;
  }
  return false;
}

bool queryHistory(Db* db, const HistoryFilter& filter, std::vector<AttemptRow>* rows) {
  std::string sql = std::string("SELECT ") + AttemptColumns + " FROM k4471_attempt WHERE 1 = 1";
  std::vector<DbValue> params;
  auto where = [&](const char* condition, DbValue value) {
    params.push_back(value);
    sql += std::string(" AND ") + condition + " $" + std::to_string(params.size());
  };
  if (filter.serial) where("serial =", dbInt(static_cast<int64_t>(*filter.serial)));
  if (!filter.station.empty()) where("station =", dbText(recordText(filter.station)));
  if (!filter.since.empty()) where("started >=", dbText(filter.since));
  sql += " ORDER BY started DESC, attempt DESC, attempt_id";
  if (filter.limit > 0) {
    params.push_back(dbInt(static_cast<int64_t>(filter.limit)));
    sql += " LIMIT $" + std::to_string(params.size());
  }
  std::vector<DbRow> found;
  rows->clear();
  if (!dbExec(db, sql, params, &found)) return false;
  for (const DbRow& row : found) rows->push_back(attemptFromRow(row));
  return true;
}

namespace {

// What a board is grouped by.
std::string groupKey(const AttemptRow& first, const AttemptRow& last, YieldBy by) {
  switch (by) {
    case YieldBy::Station:
      return last.station;
    case YieldBy::Port:
      return last.station + " " + last.port;
    case YieldBy::Image:
      return last.file + (last.sha256.empty() ? "" : " (" + last.sha256.substr(0, 12) + ")");
    case YieldBy::Hour:
      return first.started.substr(0, 13) + ":00Z";
    case YieldBy::Day:
      return first.started.substr(0, 10);
  }
  return std::string();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Board {
  const AttemptRow* first = nullptr;
  const AttemptRow* last = nullptr;
  double seconds = 0;
};

}  // namespace

std::vector<YieldGroup> yieldOf(const std::vector<AttemptRow>& rows, YieldBy by,
                                std::chrono::system_clock::time_point now) {
  std::map<std::string, Board> boards;
  for (const AttemptRow& row : rows) {
    Board& board = boards[row.boardId.empty() ? row.attemptId : row.boardId];
    if (!board.first || row.attempt < board.first->attempt) board.first = &row;
    if (!board.last || row.attempt > board.last->attempt) board.last = &row;
    board.seconds += row.seconds;
  }
  std::map<std::string, YieldGroup> groups;
  std::map<std::string, std::vector<double>> times;
  for (const auto& entry : boards) {
    const Board& board = entry.second;
    const AttemptRow& last = *board.last;
    std::chrono::system_clock::time_point started;
    bool open = last.outcome == OutcomeStarted;
    if (open && (!storedTime(last.started, &started) || now - started < AbandonedAfter)) continue;
    std::string key = groupKey(*board.first, last, by);
    YieldGroup& group = groups[key];
    group.key = key;
    ++group.boards;
    if (open) {
      ++group.abandoned;
      continue;
    }
    bool passed = last.outcome == "success";
    group.firstPass += passed && last.attempt <= 1;
    group.afterRetries += passed && last.attempt > 1;
    group.failed += !passed;
    times[key].push_back(board.seconds);
  }
  std::vector<YieldGroup> result;
  for (auto& entry : groups) {
    entry.second.medianSeconds = median(times[entry.first]);
    result.push_back(entry.second);
  }
  return result;
}

bool queryBoardsSince(Db* db, const std::string& since, std::vector<AttemptRow>* rows) {
  std::string sql = std::string("SELECT ") + AttemptColumns + " FROM k4471_attempt";
  std::vector<DbValue> params;
  if (!since.empty()) {
    sql +=
        " WHERE board_id IN (SELECT board_id FROM k4471_attempt WHERE attempt_id = board_id"
        " AND started >= $1)";
    params.push_back(dbText(since));
  }
  std::vector<DbRow> found;
  rows->clear();
  if (!dbExec(db, sql, params, &found)) return false;
  for (const DbRow& row : found) rows->push_back(attemptFromRow(row));
  return true;
}

bool queryYield(Db* db, YieldBy by, const std::string& since,
                std::chrono::system_clock::time_point now, std::vector<YieldGroup>* groups) {
  std::vector<AttemptRow> rows;
  if (!queryBoardsSince(db, since, &rows)) return false;
  *groups = yieldOf(rows, by, now);
  return true;
}
