// A board's report (station/board_report.h): its JSON line, and the report file.
#include "station/board_report.h"

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "operations/exit_codes.h"

std::string boardReportLine(const BoardReport& report) {
  char started[32] = "";
  if (const std::tm* utc = std::gmtime(&report.started)) {
    std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%SZ", utc);
  }
  nlohmann::ordered_json object = {
      {"port", report.port},
      {"device",
       report.device.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(report.device)},
      {"file", report.file},
      {"sha256",
       report.sha256.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(report.sha256)},
      {"bytes", report.bytes},
      {"blocks", report.blocks},
      {"outcome", report.outcome.empty() ? outcomeWord(report.exitCode) : report.outcome},
      {"exit_code", report.exitCode},
      {"started", started},
      {"duration_s", static_cast<double>(static_cast<long long>(report.seconds * 1000)) / 1000},
  };
  if (!report.slot.empty()) object["slot"] = report.slot;
  if (report.board > 0) object["board"] = report.board;
  object["attempt"] = report.attempt;
  if (report.serial) object["serial"] = *report.serial;
  if (!report.imageSha256.empty()) object["image_sha256"] = report.imageSha256;
  if (report.proved) object["proved"] = *report.proved;
  if (!report.proof.empty()) {
    nlohmann::ordered_json ranges = nlohmann::ordered_json::array();
    for (const ProofRange& range : report.proof) {
      ranges.push_back({{"start", range.start},
                        {"size", range.size},
                        {range.kind == ProofKind::Crc32 ? "crc32" : "sha256", range.value}});
    }
    object["proof"] = ranges;
  }
  if (report.exitCode != ExitOk) {
    object["failed_step"] = report.failedStep;
    object["message"] = report.message;
  }
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

namespace {

std::string reportName(const std::string& path) {
  return path == "-" ? std::string("standard output") : path;
}

}  // namespace

bool openReportFile(ReportFile* report, const std::string& path, bool append) {
  report->path = path;
  report->standardOutput = path == "-";
  std::string error;
  report->open = report->standardOutput || openLineFile(path, append, &report->file, &error);
  if (!report->open) {
    fprintf(stderr, "error: cannot write the report %s: %s\n", path.c_str(), error.c_str());
  }
  return report->open;
}

void writeReportLine(ReportFile* report, const std::string& line) {
  if (!report->open) return;
  std::string reason;
  bool ok = true;
  if (report->standardOutput) {
    errno = 0;
    ok = fprintf(stdout, "%s\n", line.c_str()) >= 0;
    ok = fflush(stdout) == 0 && ok;
    if (!ok) reason = errno ? strerror(errno) : "a write failed";
    clearerr(stdout);  // the next board's line is tried again
  } else {
    ok = writeToLineFile(&report->file, line + "\n", ReportLockWaitMilliseconds, &reason);
  }
  if (!ok && !report->failed) {
    report->failed = true;
    report->reason = reason;
  }
}

bool closeReportFile(ReportFile* report, const char* boards) {
  if (!report->open) return true;
  std::string reason;
  if (!report->standardOutput && !closeLineFile(&report->file, &reason) && !report->failed) {
    report->failed = true;
    report->reason = reason;
  }
  report->open = false;
  if (!report->failed) return true;
  fprintf(stderr, "error: the report could not be written to %s (%s)%s%s\n",
          reportName(report->path).c_str(), report->reason.c_str(), boards ? "; " : "",
          boards ? boards : "");
  return false;
}
