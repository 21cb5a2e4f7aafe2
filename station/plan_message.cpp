// A gang's plan as one message for its workers (station/plan_message.h).
#include "station/plan_message.h"

#include <limits>
#include <type_traits>

#include <nlohmann/json.hpp>

using Json = nlohmann::json;

namespace {

// Every field of the plan that a worker receives, once, for both ways.
template <typename Plan, typename Visit>
void eachPlanField(Plan& plan, Visit&& visit) {
  visit("file", plan.file);
  visit("ports", plan.ports);
  visit("bootloader", plan.bootloader);
  visit("all", plan.all);
  visit("yes", plan.yes);
  visit("launch", plan.launch);
  visit("simulate", plan.simulate);
  visit("quiet", plan.quiet);
  visit("verbose", plan.verbose);
  visit("timeout", plan.timeoutSeconds);
  visit("wait", plan.waitSeconds);
  visit("expect", plan.expect);
  visit("expect_timeout", plan.expectTimeoutSeconds);
  visit("report", plan.report);
  visit("report_append", plan.reportAppend);
  visit("format", plan.format);
  visit("address", plan.address);
  visit("output", plan.output);
  visit("flash", plan.flash);
  visit("boot_region", plan.bootRegion);
  visit("format_by_content", plan.formatByContent);
  visit("image_format", plan.imageFormat);
  visit("binary_address", plan.binaryAddress);
  visit("map", plan.map);
  visit("loop", plan.loop);
  visit("count", plan.count);
  visit("swap_seconds", plan.swapSeconds);
  visit("retries", plan.retries);
  visit("serial_at", plan.serialAt);
  visit("serial_format", plan.serialFormat);
  visit("serial_start", plan.serialStart);
  visit("serial_file", plan.serialFile);
  visit("numbered", plan.numbered);
  visit("serial_address", plan.serialAddress);
  visit("serial", plan.serial);
  visit("first_serial", plan.firstSerial);
  visit("serial_path", plan.serialPath);
  visit("reset", plan.reset);
  visit("reset_ms", plan.resetMs);
  visit("console", plan.console);
  visit("console_token_file", plan.consoleTokenFile);
  visit("console_host", plan.consoleHost);
  visit("monitor", plan.monitor);
  visit("timestamps", plan.timestamps);
  visit("watch", plan.watch);
  visit("force", plan.force);
  visit("settle_ms", plan.settleMs);
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
  plan.ports = {port};
  plan.file = "-";  // the worker reads the parent's bytes, as from standard input
  plan.count = 0;
  plan.serialStart.clear();
  plan.serialFile.clear();
  plan.serialPath.clear();
  plan.firstSerial = 0;
  plan.report = report ? "-" : "";
  plan.reportAppend = false;
  plan.simulate = false;
  plan.console.clear();
  plan.consoleTokenFile.clear();
  plan.consoleHost.clear();
  plan.monitor = plan.timestamps = plan.watch = plan.force = false;
  return plan;
}
