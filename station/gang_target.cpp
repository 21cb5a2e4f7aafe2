// One port of a gang as its parent sees it (station/gang_target.h).
#include "station/gang_target.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "station/board_report.h"
#include "operations/exit_codes.h"
#include "operations/run_logic.h"

namespace {

std::string firstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

}  // namespace

bool isPortNotice(const WorkerEvent& event) {
  return event.kind == WorkerEventKind::PortAway || event.kind == WorkerEventKind::PortBack ||
         event.kind == WorkerEventKind::Said;
}

std::string takeWorkerEvent(Target* target, const WorkerEvent& event) {
  switch (event.kind) {
    case WorkerEventKind::Erase:
      target->eraseSteps = event.steps;
      target->status = "erasing";
      return target->eraseSteps == EraseBarSteps ? "erased" : "";
    case WorkerEventKind::Program:
      target->programSteps = event.steps;
      target->status = "programming";
      return target->programSteps % 25 == 0
                 ? "programming " + std::to_string(target->programSteps) + "%"
                 : "";
    case WorkerEventKind::Note:
      target->status = firstLine(event.text);
      return target->status;
    case WorkerEventKind::Report:
    case WorkerEventKind::Attempt:
      target->report = event.text;
      return "";
    case WorkerEventKind::Ready:  // a station's, answered by its follower
      return "";
    case WorkerEventKind::Trace:
      return event.text;
    case WorkerEventKind::Message:
      target->outcome = firstLine(event.text);
      target->outcomeIcon = event.icon;
      target->status = target->outcome;
      return target->outcome;
    case WorkerEventKind::PortAway:
      target->status = "away: " + firstLine(event.text);
      return "the port went away: " + firstLine(event.text) + "; waiting for it to return";
    case WorkerEventKind::PortBack:
      target->status = "port back";
      return "the port is back";
    case WorkerEventKind::Said:
      target->status = firstLine(event.text);
      return event.text;
  }
  return "";
}

bool readWorkerLine(WorkerProcess* worker, std::string* line, std::string* pending) {
  while (!takeLine(pending, line)) {
    char buffer[256];
    long got = readWorkerOutput(worker, buffer, sizeof buffer);
    if (got <= 0) return false;
    pending->append(buffer, static_cast<size_t>(got));
  }
  return true;
}

std::string reportLineOf(const Target& target, const std::string& file) {
  if (!target.report.empty()) {
    // The worker read its standard input: name the file as it was given.
    nlohmann::ordered_json line = nlohmann::ordered_json::parse(target.report, nullptr, false);
    if (!line.is_object()) return target.report;
    line["file"] = file;
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  }
  BoardReport board;
  board.port = target.port;
  board.slot = target.slot;
  board.file = file;
  board.exitCode = target.exitCode;
  if (workerDied(target.exitCode)) board.outcome = "worker-died";
  board.started = target.started;
  board.seconds = static_cast<double>(std::time(nullptr) - target.started);
  board.failedStep = "worker";
  board.message = target.outcome.empty() ? exitCodeText(target.exitCode) : target.outcome;
  board.board = target.board;
  board.serial = target.serial;
  board.attempt = target.attempt;
  return boardReportLine(board);
}

std::string targetName(const Target& target) {
  return target.slot.empty() ? target.port : target.slot + " (" + target.port + ")";
}

const char* resultText(const Target& target) {
  return workerDied(target.exitCode) ? "worker died" : exitCodeText(target.exitCode);
}

void sendMessage(Target* target, ParentMessageKind kind, unsigned long board,
                 const std::string& serial) {
  const std::vector<uint8_t> bytes =
      encodeParentMessage(ParentMessage{kind, {}, board, serial, ""});
  sendWorkerInput(&target->worker, bytes.data(), bytes.size());
}
