// The line and a unit's attempts as JSON.
#include <nlohmann/json.hpp>

#include "console/text_escape.h"
#include "line/line_page.h"

namespace {

using Json = nlohmann::ordered_json;

std::string dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json text(const std::string& value) {
  return cleanText(value);
}

// Optional texts as null when empty.
Json textOrNull(const std::string& value) {
  return value.empty() ? Json(nullptr) : text(value);
}

// An attempt with the report line's names, each of its texts made safe.
Json attemptOut(const AttemptRow& row) {
  Json json = attemptJson(row);
  for (auto& item : json.items()) {
    if (item.value().is_string()) item.value() = cleanText(item.value().get<std::string>());
  }
  return json;
}

Json yieldOut(const YieldGroup& g) {
  return {{"boards", g.boards},
          {"first_pass", g.firstPass},
          {"first_pass_yield", static_cast<long long>(firstPassYield(g) * 10) / 10.0},
          {"passed_after_retries", g.afterRetries},
          {"failed", g.failed},
          {"abandoned", g.abandoned},
          {"median_s", static_cast<long long>(g.medianSeconds * 1000) / 1000.0}};
}

Json stationOut(const LineStation& s) {
  Json json = {{"name", text(s.status.name)},
               {"state", stationLifeName(s.life)},
               {"version", textOrNull(s.status.version)},
               {"last_alive", textOrNull(s.status.lastAlive)},
               {"last_started", textOrNull(s.status.lastStarted)},
               {"yield", yieldOut(s.yield)},
               {"last_boards", Json::array()}};
  for (const AttemptRow& row : s.last) json["last_boards"].push_back(attemptOut(row));
  return json;
}

}  // namespace

std::string lineJson(const LineSnapshot& line) {
  Json json = {{"target", text(line.target)},        {"day", line.day},
               {"read_at", textOrNull(line.readAt)}, {"reachable", line.fault.empty()},
               {"error", textOrNull(line.fault)},    {"yield", yieldOut(line.total)},
               {"stations", Json::array()},          {"hours", Json::array()}};
  for (const LineStation& station : line.stations) json["stations"].push_back(stationOut(station));
  for (const YieldGroup& hour : line.hours) {
    Json out = {{"hour", text(hour.key)}};
    out.update(yieldOut(hour));
    json["hours"].push_back(out);
  }
  return dump(json);
}

std::string unitJson(const UnitAnswer& unit) {
  Json json = {{"serial", unit.serial},
               {"reachable", unit.fault.empty()},
               {"error", textOrNull(unit.fault)},
               {"attempts", Json::array()}};
  for (const AttemptRow& row : unit.attempts) json["attempts"].push_back(attemptOut(row));
  return dump(json);
}
