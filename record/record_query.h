// Asking the record: the attempts (history) and the yield per group, read alike from a SQLite
// file and a PostgreSQL server, and shown as a table, CSV, JSON or JUnit XML.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/attempt_row.h"
#include "record/record_db.h"

enum class RecordFormat { Table, Csv, Json, Junit };
// "table", "csv", "json", "junit"; false for another word.
bool parseRecordFormat(const std::string& word, RecordFormat* format);

// A started row this much older than now is a board abandoned (its station died or stopped).
constexpr std::chrono::hours AbandonedAfter{1};

struct HistoryFilter {
  std::optional<uint64_t> serial;
  std::string station;      // empty: every station
  std::string since;        // stored form (parseUtcTime); empty: from the first
  unsigned long limit = 0;  // 0: every attempt
};

// The attempts, newest first.
bool queryHistory(Db* db, const HistoryFilter& filter, std::vector<AttemptRow>* rows);
// Table, CSV and JSON: one entry per attempt; JUnit: one test case per board (its last
// attempt), with a failure element holding its message.
std::string formatHistory(const std::vector<AttemptRow>& rows, RecordFormat format,
                          std::chrono::system_clock::time_point now);

enum class YieldBy { Station, Port, Image, Hour, Day };
bool parseYieldBy(const std::string& word, YieldBy* by);

struct YieldGroup {
  std::string key;
  unsigned long boards = 0;        // ended (passed, failed) or abandoned
  unsigned long firstPass = 0;     // passed at the first attempt
  unsigned long afterRetries = 0;  // passed at a later attempt
  unsigned long failed = 0;
  unsigned long abandoned = 0;
  double medianSeconds = 0;  // of the ended boards, all their attempts together
};

// Each board's attempts (by board id) counted by its last attempt, grouped by `by`.
std::vector<YieldGroup> yieldOf(const std::vector<AttemptRow>& rows, YieldBy by,
                                std::chrono::system_clock::time_point now);
// Every attempt of the boards whose first attempt started at `since` or later (empty: all).
bool queryBoardsSince(Db* db, const std::string& since, std::vector<AttemptRow>* rows);
// The yield of those boards.
bool queryYield(Db* db, YieldBy by, const std::string& since,
                std::chrono::system_clock::time_point now, std::vector<YieldGroup>* groups);
// Table, CSV or JSON.
std::string formatYield(const std::vector<YieldGroup>& groups, YieldBy by, RecordFormat format);
