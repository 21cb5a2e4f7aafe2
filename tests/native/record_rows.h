// What the record's tests share: rows made up for a test, texts no field is spared, and a CSV
// reader to read back what the record wrote.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "record/attempt_row.h"
#include "record/record_db.h"
#include "record/record_text.h"

// A board's attempt at a given time, started or ended with the outcome.
inline AttemptRow madeUpAttempt(const std::string& station, const std::string& outcome,
                                std::chrono::system_clock::time_point started, int attempt = 1,
                                const std::string& boardId = "") {
  AttemptRow row;
  row.attemptId = newAttemptId();
  row.boardId = boardId.empty() ? row.attemptId : boardId;
  row.station = station;
  row.port = "/dev/ttyUSB0";
  row.board = 1;
  row.attempt = attempt;
  row.file = "blink.hex";
  row.sha256 = "b8c9b5bf18bea1d5213061a2db4e52156a490214e1b9e33736b1000bb6f96dd6";
  row.started = utcTimeText(started);
  row.outcome = outcome;
  row.toolVersion = "1.0.0";
  if (outcome != OutcomeStarted) {
    row.ended = utcTimeText(started + std::chrono::seconds(4));
    row.seconds = 4.0 + attempt;
    row.exitCode = outcome == "success" ? 0 : 6;
  }
  return row;
}

// Quotes, control bytes, a formula and bytes that are not UTF-8, in every text field.
inline AttemptRow hostileAttempt() {
  AttemptRow row =
      madeUpAttempt("st\"at'ion,1\x01", "communication-error", std::chrono::system_clock::now());
  row.operatorName = "=SUM(A1:A2)";
  row.port = "/dev/tty\x1b[31mUSB\t0\r\n";
  row.slot = "@slot";
  row.file = "<im&age>\xff\xfe.hex";
  row.failedStep = "+programming";
  row.message = "-line \"1\"\n\x7f bad \xc0\xaf end";
  row.appLine = "app \x02 up </failure>]]>";
  return row;
}

// A CSV text read back per RFC 4180: rows of cells.
inline std::vector<std::vector<std::string>> readCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1);
  std::string cell;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cell += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().push_back(cell);
      cell.clear();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      rows.back().push_back(cell);
      cell.clear();
      rows.emplace_back();
      ++i;
    } else {
      cell += c;
    }
  }
  if (rows.back().empty()) rows.pop_back();
  return rows;
}

// Each test on the record's tables emptied first; false with the database's reason.
inline bool emptyRecordTables(Db* db) {
  for (const char* table : {"k4471_attempt", "k4471_counter", "k4471_serial", "k4471_station"}) {
    if (!dbExec(db, std::string("DELETE FROM ") + table)) return false;
  }
  return true;
}
