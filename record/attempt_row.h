// One attempt at one board: a row of the record, written as "started" before the board is
// addressed and completed when it ends, insert-or-update on its id.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "record/record_db.h"

// The outcome of a row whose board has not ended (or whose station died inside it).
extern const char* const OutcomeStarted;

// The same fields as a board's JSON report line, and who made it. Texts are stored through
// recordText (record_text.h); times are stored UTC (utcTimeText).
struct AttemptRow {
  std::string attemptId;  // 32 hexadecimal digits (newAttemptId), UNIQUE in the record
  std::string boardId;    // the attempt id of the board's first attempt: its attempts share it
  std::string station, operatorName, port, slot;
  unsigned long board = 0;  // its number in its station's run
  int attempt = 1;
  std::optional<uint64_t> serial;
  std::string counter;  // the counter the serial number came from, when one did
  std::string file, sha256, imageSha256;
  unsigned long long bytes = 0;
  unsigned long blocks = 0;
  std::string outcome = OutcomeStarted;
  int exitCode = 0;
  std::string failedStep, message, appLine;
  std::string started, ended;  // utcTimeText; ended empty while started
  double seconds = 0;
  std::string toolVersion;
};

// The fields of a row in the order the record's queries give them.
extern const char* const AttemptColumns;
AttemptRow attemptFromRow(const DbRow& row);

// Insert-or-update on the attempt id. A started row never replaces a completed one, so that
// rows sent again, late or out of order (from the spool) are neither doubled nor set back.
bool writeAttempt(Db* db, const AttemptRow& row);

// The row as JSON with the report line's names (also the spool's form of a row), and back.
nlohmann::ordered_json attemptJson(const AttemptRow& row);
bool attemptFromJson(const nlohmann::json& object, AttemptRow* row);

// The record's tables, made at first use. The version this tool knows.
constexpr int RecordSchemaVersion = 1;
// Makes the tables when missing and checks the schema version: false with db->error (naming
// the version found) when the database holds another.
bool ensureSchema(Db* db);
// Connects and ensures the schema: the way every command opens the record.
bool openRecord(Db* db, const DbTarget& target, bool createMissing);
