// The record's answers shown: a table for people, CSV and JSON for programs, JUnit XML for CI.
#include <cstdio>
#include <map>

#include "record/record_query.h"
#include "record/record_text.h"

namespace {

using Table = std::vector<std::vector<std::string>>;

// Characters on a terminal: UTF-8 lead bytes only.
size_t shownWidth(const std::string& text) {
  size_t width = 0;
  for (char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return width;
}

// The header row first; cells escaped, columns padded.
std::string tableText(const Table& table) {
  std::vector<size_t> widths;
  Table shown = table;
  for (auto& row : shown) {
    for (size_t c = 0; c < row.size(); ++c) {
      row[c] = escapeForTable(row[c]);
      if (widths.size() <= c) widths.push_back(0);
      widths[c] = std::max(widths[c], shownWidth(row[c]));
    }
  }
  std::string out;
  for (const auto& row : shown) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - shownWidth(row[c]) + 2, ' ');
    }
    out += line + "\n";
  }
  return out;
}

std::string csvText(const Table& table) {
  std::string out;
  for (const auto& row : table) {
    for (size_t c = 0; c < row.size(); ++c) out += (c ? "," : "") + csvCell(row[c]);
    out += "\r\n";
  }
  return out;
}

std::string seconds(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.3f", value);
  return text;
}

std::string serialText(const AttemptRow& row) {
  return row.serial ? std::to_string(*row.serial) : std::string();
}

Table historyTable(const std::vector<AttemptRow>& rows) {
  Table table = {{"started", "station", "port", "board", "attempt", "serial", "outcome",
                  "duration_s", "file", "failed_step", "message"}};
  for (const AttemptRow& r : rows) {
    table.push_back({r.started, r.station, r.port, std::to_string(r.board),
                     std::to_string(r.attempt), serialText(r), r.outcome,
                     r.outcome == OutcomeStarted ? "" : seconds(r.seconds), r.file, r.failedStep,
                     r.message});
  }
  return table;
}

// Every field, for programs.
Table historyCsv(const std::vector<AttemptRow>& rows) {
  Table table;
  for (const AttemptRow& r : rows) {
    std::vector<std::string> cells;
    nlohmann::ordered_json object = attemptJson(r);
    if (table.empty()) {
      table.emplace_back();
      for (auto& item : object.items()) table[0].push_back(item.key());
    }
    for (auto& item : object.items()) {
      cells.push_back(item.value().is_string() ? item.value().get<std::string>()
                      : item.value().is_null() ? std::string()
                                               : item.value().dump());
    }
    table.push_back(cells);
  }
  return table;
}

std::string jsonText(const nlohmann::ordered_json& value) {
  return value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

// One test case for a board: its last attempt.
std::string junitCase(const AttemptRow& r, std::chrono::system_clock::time_point now) {
  std::string name = r.serial ? "serial " + std::to_string(*r.serial)
                              : "board " + std::to_string(r.board) + " on " + r.port;
  std::string out = "    <testcase classname=\"" + xmlText(r.station) + "\" name=\"" +
                    xmlText(name) + "\" time=\"" + seconds(r.seconds) + "\">\n";
  std::chrono::system_clock::time_point started;
  if (r.outcome == OutcomeStarted) {
    bool abandoned = storedTime(r.started, &started) && now - started >= AbandonedAfter;
    out += abandoned ? "      <failure type=\"abandoned\" message=\"started " + r.started +
                           ", never ended\"/>\n"
                     : "      <skipped message=\"in progress\"/>\n";
  } else if (r.outcome != "success") {
    std::string message = r.failedStep.empty() ? r.message : r.failedStep + ": " + r.message;
    out += "      <failure type=\"" + xmlText(r.outcome) + "\" message=\"" + xmlText(message) +
           "\">" + xmlText(message) + "</failure>\n";
  }
  return out + "    </testcase>\n";
}

std::string junitText(const std::vector<AttemptRow>& rows,
                      std::chrono::system_clock::time_point now) {
  std::map<std::string, const AttemptRow*> last;  // newest first: the first seen is the last
  std::vector<const AttemptRow*> boards;
  for (const AttemptRow& r : rows) {
    const std::string& id = r.boardId.empty() ? r.attemptId : r.boardId;
    if (last.emplace(id, &r).second) boards.push_back(&r);
  }
  std::string cases;
  size_t failures = 0;
  for (const AttemptRow* r : boards) {
    std::string one = junitCase(*r, now);
    failures += one.find("<failure") != std::string::npos;
    cases += one;
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
         "  <testsuite name=\"k4471\" tests=\"" +
         std::to_string(boards.size()) + "\" failures=\"" + std::to_string(failures) + "\">\n" +
         cases + "  </testsuite>\n</testsuites>\n";
}

}  // namespace

std::string formatHistory(const std::vector<AttemptRow>& rows, RecordFormat format,
                          std::chrono::system_clock::time_point now) {
  switch (format) {
    case RecordFormat::Table:
      return tableText(historyTable(rows));
    case RecordFormat::Csv:
      return csvText(historyCsv(rows));
    case RecordFormat::Junit:
      return junitText(rows, now);
    case RecordFormat::Json:
      break;
  }
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const AttemptRow& r : rows) list.push_back(attemptJson(r));
  return jsonText(list);
}

std::string formatYield(const std::vector<YieldGroup>& groups, YieldBy by, RecordFormat format) {
  const char* names[] = {"station", "port", "image", "hour", "day"};
  const std::string key = names[static_cast<int>(by)];
  Table table = {{key, "boards", "first_pass", "first_pass_yield", "passed_after_retries", "failed",
                  "abandoned", "median_s"}};
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const YieldGroup& g : groups) {
    double yield = g.boards ? 100.0 * g.firstPass / g.boards : 0;
    char percent[16];
    snprintf(percent, sizeof percent, "%.1f", yield);
    table.push_back({g.key, std::to_string(g.boards), std::to_string(g.firstPass),
                     std::string(percent) + (format == RecordFormat::Table ? " %" : ""),
                     std::to_string(g.afterRetries), std::to_string(g.failed),
                     std::to_string(g.abandoned), seconds(g.medianSeconds)});
    list.push_back({{key, g.key},
                    {"boards", g.boards},
                    {"first_pass", g.firstPass},
                    {"first_pass_yield", yield},
                    {"passed_after_retries", g.afterRetries},
                    {"failed", g.failed},
                    {"abandoned", g.abandoned},
                    {"median_s", g.medianSeconds}});
  }
  if (format == RecordFormat::Json) return jsonText(list);
  return format == RecordFormat::Csv ? csvText(table) : tableText(table);
}
