// The line's page and its JSON, drawn from a snapshot of the record: every text that came from
// the record is made safe here (cleanText: stray bytes as U+FFFD, control characters visible)
// and escaped for HTML or JSON. The page needs no script: it reloads itself every few seconds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "line/line_snapshot.h"

// How often the page reloads itself, in seconds.
constexpr int LinePageRefreshSeconds = 5;

// GET /: the stations, their last boards, the day's yields, the serial number search.
std::string renderLinePage(const LineSnapshot& line);
// GET /serial?number=N: the unit's every attempt, or why there is none to show (`fault`: the
// record could not be read; `refusal`: the number asked is not one).
struct UnitAnswer {
  std::string asked;  // the number as asked
  uint64_t serial = 0;
  std::vector<AttemptRow> attempts;
  std::string fault, refusal;
};
std::string renderUnitPage(const UnitAnswer& unit);

// GET /api/line and GET /api/serial?number=N.
std::string lineJson(const LineSnapshot& line);
std::string unitJson(const UnitAnswer& unit);

// The page's style sheet (GET /line.css).
extern const char* const LineStyle;
