#include "cli/board_report.h"

#include <nlohmann/json.hpp>

#include "cli/exit_codes.h"

std::string boardReportLine(const BoardReport& report) {
  char started[32] = "";
  if (const std::tm* utc = std::gmtime(&report.started)) {
    std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%SZ", utc);
  }
  nlohmann::ordered_json object = {
      {"port", report.port},
      {"file", report.file},
      {"sha256",
       report.sha256.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(report.sha256)},
      {"bytes", report.bytes},
      {"blocks", report.blocks},
      {"outcome", outcomeWord(report.exitCode)},
      {"exit_code", report.exitCode},
      {"started", started},
      {"duration_s", static_cast<double>(static_cast<long long>(report.seconds * 1000)) / 1000},
  };
  if (report.exitCode != ExitOk) {
    object["failed_step"] = report.failedStep;
    object["message"] = report.message;
  }
  // Texts from files and devices need not be UTF-8: replace what is not.
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
