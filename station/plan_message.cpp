// A gang's plan as one message for its workers (station/plan_message.h).
#include "station/plan_message.h"

#include <algorithm>
#include <limits>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "station/port_selector.h"

using Json = nlohmann::json;

namespace {

// The fields of the image, the map and the link.
template <typename Plan, typename Visit>
void eachImageAndLinkField(Plan& plan, Visit&& visit) {
  // The image and its format.
  visit("file", plan.image.file);
  visit("bootloader", plan.image.bootloader);
  visit("format", plan.image.format);
  visit("address", plan.image.address);
  visit("output", plan.image.output);
  visit("format_by_content", plan.image.formatByContent);
  visit("image_format", plan.image.imageFormat);
  visit("binary_address", plan.image.binaryAddress);
  // The board's map.
  visit("flash", plan.flashMap.flash);
  visit("boot_region", plan.flashMap.bootRegion);
  visit("map", plan.flashMap.map);
  // The link.
  visit("ports", plan.link.ports);
  visit("other_ports", plan.link.otherPorts);
  visit("simulate", plan.link.simulate);
  visit("timeout", plan.link.timeoutSeconds);
  visit("wait", plan.link.waitSeconds);
  visit("reset", plan.link.reset);
  visit("reset_ms", plan.link.resetMs);
  visit("slots", plan.link.slots);
  visit("port_resets", plan.link.portResets);
}

// The rest of the plan, part by part.
template <typename Plan, typename Visit>
void eachStationAndRunField(Plan& plan, Visit&& visit) {
  // The station.
  visit("loop", plan.station.loop);
  visit("count", plan.station.count);
  visit("swap_seconds", plan.station.swapSeconds);
  visit("retries", plan.station.retries);
  visit("console", plan.station.console);
  visit("console_token_file", plan.station.consoleTokenFile);
  visit("console_host", plan.station.consoleHost);
  visit("station_file", plan.station.stationFile);
  // Serial numbers.
  visit("serial_at", plan.serials.serialAt);
  visit("serial_format", plan.serials.serialFormat);
  visit("serial_start", plan.serials.serialStart);
  visit("serial_file", plan.serials.serialFile);
  visit("numbered", plan.serials.numbered);
  visit("serial_address", plan.serials.serialAddress);
  visit("serial", plan.serials.serial);
  visit("first_serial", plan.serials.firstSerial);
  visit("serial_path", plan.serials.serialPath);
  // The line's record (the parent's alone; a worker's plan has none).
  visit("db", plan.record.db);
  visit("station", plan.record.station);
  visit("operator", plan.record.operatorName);
  visit("db_spool", plan.record.dbSpool);
  visit("serial_counter", plan.record.serialCounter);
  // The report.
  visit("report", plan.reporting.path);
  visit("report_append", plan.reporting.append);
  // The run itself, the application's answer and the developer's loop.
  visit("all", plan.all);
  visit("yes", plan.yes);
  visit("launch", plan.launch);
  visit("quiet", plan.quiet);
  visit("verbose", plan.verbose);
  visit("expect", plan.expect);
  visit("expect_timeout", plan.expectTimeoutSeconds);
  visit("monitor", plan.monitor);
  visit("timestamps", plan.timestamps);
  visit("watch", plan.watch);
  visit("force", plan.force);
  visit("settle_ms", plan.settleMs);
}

// Every field of the plan that a worker receives, once, for both ways: a
// new field of the plan is a line above, in its part.
template <typename Plan, typename Visit>
void eachPlanField(Plan& plan, Visit&& visit) {
  eachImageAndLinkField(plan, visit);
  eachStationAndRunField(plan, visit);
}

// ---- Into JSON ----

template <typename T>
Json toJson(const T& value) {
  if constexpr (std::is_enum_v<T>) {
    return static_cast<int>(value);
  } else {
    return value;
  }
}

Json toJson(const MapRange& range) {
  return Json{{"given", range.given}, {"start", range.start}, {"end", range.end}};
}

Json toJson(const FlashMap& map) {
  return Json{{"flash", toJson(map.flash)}, {"boot", toJson(map.boot)}};
}

Json toJson(const SerialFormat& format) {
  return Json{{"encoding", toJson(format.encoding)}, {"width", format.width}};
}

// ---- Out of JSON: false for a value of another type or out of range ----

bool take(const Json& json, std::string* value) {
  if (!json.is_string()) return false;
  *value = json.get<std::string>();
  return true;
}

bool take(const Json& json, bool* value) {
  if (!json.is_boolean()) return false;
  *value = json.get<bool>();
  return true;
}

bool take(const Json& json, double* value) {
  if (!json.is_number()) return false;
  *value = json.get<double>();
  return true;
}

template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
bool take(const Json& json, T* value) {
  if (json.is_number_unsigned()) {
    const uint64_t number = json.get<uint64_t>();
    if (number > static_cast<uint64_t>(std::numeric_limits<T>::max())) return false;
    *value = static_cast<T>(number);
    return true;
  }
  if (!json.is_number_integer() || !std::is_signed_v<T>) return false;
  const int64_t number = json.get<int64_t>();
  if (number < static_cast<int64_t>(std::numeric_limits<T>::min())) return false;
  *value = static_cast<T>(number);
  return true;
}

// An enumeration, by its number up to its last value.
template <typename T>
bool takeEnum(const Json& json, T last, T* value) {
  int number = 0;
  if (!take(json, &number) || number < 0 || number > static_cast<int>(last)) return false;
  *value = static_cast<T>(number);
  return true;
}

bool take(const Json& json, ImageFormat* value) {
  return takeEnum(json, ImageFormat::Binary, value);
}

bool take(const Json& json, std::vector<std::string>* value) {
  if (!json.is_array()) return false;
  value->clear();
  for (const Json& item : json) {
    std::string text;
    if (!take(item, &text)) return false;
    value->push_back(text);
  }
  return true;
}

bool take(const Json& json, MapRange* range) {
  return json.is_object() && json.contains("given") && json.contains("start") &&
         json.contains("end") && take(json["given"], &range->given) &&
         take(json["start"], &range->start) && take(json["end"], &range->end);
}

bool take(const Json& json, FlashMap* map) {
  return json.is_object() && json.contains("flash") && json.contains("boot") &&
         take(json["flash"], &map->flash) && take(json["boot"], &map->boot);
}

bool take(const Json& json, SerialFormat* format) {
  return json.is_object() && json.contains("encoding") && json.contains("width") &&
         takeEnum(json["encoding"], SerialEncoding::Ascii, &format->encoding) &&
         take(json["width"], &format->width);
}

}  // namespace

std::string encodePlan(const Options& plan) {
  Json out = Json::object();
  eachPlanField(plan, [&out](const char* name, const auto& value) { out[name] = toJson(value); });
  return out.dump();
}

bool decodePlan(const std::string& text, Options* plan, std::string* error) {
  const Json in = Json::parse(text, nullptr, false);
  if (!in.is_object()) {
    *error = "the plan is no JSON object";
    return false;
  }
  error->clear();
  eachPlanField(*plan, [&in, error](const char* name, auto& value) {
    if (!error->empty()) return;
    if (!in.contains(name)) {
      *error = std::string("the plan has no ") + name;
    } else if (!take(in[name], &value)) {
      *error = std::string("the plan's ") + name + " does not fit";
    }
  });
  return error->empty();
}

Options workerPlan(const Options& gang, const std::string& port, bool report) {
  Options plan = gang;
  plan.link.ports = {port};
  // The port's own slot name and reset line.
  const size_t index = static_cast<size_t>(
      std::find(gang.link.ports.begin(), gang.link.ports.end(), port) - gang.link.ports.begin());
  plan.link.reset = resetOf(gang, index);
  plan.link.slots = {slotOf(gang, index)};
  plan.link.portResets.clear();
  // A port by USB identity or place must not find another port's adapter
  // when it opens its port again: its worker is told the others.
  plan.link.otherPorts.clear();
  bool selectors = false;
  for (const std::string& other : gang.link.ports) selectors = selectors || isPortSelector(other);
  for (const std::string& other : gang.link.ports) {
    if (selectors && other != port) plan.link.otherPorts.push_back(other);
  }
  plan.record = RecordPlan{};
  plan.image.file = "-";  // the worker reads the parent's bytes, as from standard input
  plan.station.count = 0;
  plan.serials.serialStart.clear();
  plan.serials.serialFile.clear();
  plan.serials.serialPath.clear();
  plan.serials.firstSerial = 0;
  plan.reporting.path = report ? "-" : "";
  plan.reporting.append = false;
  plan.link.simulate = false;
  plan.station.console.clear();
  plan.station.consoleTokenFile.clear();
  plan.station.consoleHost.clear();
  plan.monitor = plan.timestamps = plan.watch = plan.force = false;
  return plan;
}
