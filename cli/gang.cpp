#include "cli/console.h"
#include "cli/gang.h"

#include <chrono>
#include <ctime>
#include <cstdio>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/board_report.h"
#include "cli/progress.h"
#include "cli/worker_process.h"
#include "cli/worker_protocol.h"
#include "operations/run_logic.h"

namespace {

struct Target {
  std::string port;
  WorkerProcess worker;
  std::string status = "starting";
  std::string outcome;  // the last message of the run
  unsigned outcomeIcon = 0;
  int eraseSteps = 0;
  int programSteps = 0;
  bool finished = false;
  int exitCode = -1;
  std::string report;  // the worker's report line
  std::time_t started = 0;
};

std::mutex targetsLock;

std::string firstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

// Takes one event line of a worker; returns a line worth printing in the plain
// style, or an empty string.
std::string takeEvent(Target* target, const std::string& line) {
  WorkerEvent event;
  if (!decodeWorkerEvent(line, &event)) return "";
  std::lock_guard<std::mutex> hold(targetsLock);
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
      target->report = event.text;
      return "";
    case WorkerEventKind::Message:
      target->outcome = firstLine(event.text);
      target->outcomeIcon = event.icon;
      target->status = target->outcome;
      return target->outcome;
  }
  return "";
}

// One line of a worker's output; false at its end.
bool readWorkerLine(WorkerProcess* worker, std::string* line, std::string* pending) {
  while (!takeLine(pending, line)) {
    char buffer[256];
    long got = readWorkerOutput(worker, buffer, sizeof buffer);
    if (got <= 0) return false;
    pending->append(buffer, static_cast<size_t>(got));
  }
  return true;
}

// What the workers share: the file as it was given, what each worker is fed
// (the file's bytes as the parent read them, and the permission to take its
// board), and the report.
struct Gang {
  std::string file;
  std::vector<uint8_t> input;
  ReportFile* report;
  bool plain;  // progress as plain lines
};

// A worker that did not end by itself: a signal (128 and its number) or, on
// Windows, an exception code. 130 is a worker's own end on an interrupt.
bool workerDied(int code) {
  return code != ExitInterrupted && (code > 128 || code < 0);
}

std::string diedText(int code) {
  char text[160];
  if (code > 128 && code < 128 + 65) {
    snprintf(text, sizeof text, "the worker was killed by signal %d", code - 128);
  } else {
    snprintf(text, sizeof text, "the worker ended abnormally (status 0x%X)",
             static_cast<unsigned>(code));
  }
  return std::string(text) + "; the board may hold a partial image: program it again";
}

const char* resultText(const Target& target) {
  return workerDied(target.exitCode) ? "worker died" : exitCodeText(target.exitCode);
}

// The board's line: the worker's own, else what is known of it.
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
  board.file = file;
  board.exitCode = target.exitCode;
  if (workerDied(target.exitCode)) board.outcome = "worker-died";
  board.started = target.started;
  board.seconds = static_cast<double>(std::time(nullptr) - target.started);
  board.failedStep = "worker";
  board.message = target.outcome.empty() ? exitCodeText(target.exitCode) : target.outcome;
  return boardReportLine(board);
}

// The board has ended: its line goes out now, not when the whole gang ends.
void finish(Target* target, int code, const Gang& gang) {
  std::lock_guard<std::mutex> hold(targetsLock);
  target->exitCode = code;
  target->finished = true;
  if (workerDied(code)) {
    target->outcome = diedText(code);
    target->status = target->outcome;
  }
  if (gang.report) writeReportLine(gang.report, reportLineOf(*target, gang.file));
}

void followWorker(Target* target, const Gang* gang) {
  // A worker reads all of its input before it writes a line.
  writeWorkerInput(&target->worker, gang->input.data(), gang->input.size());
  std::string line, pending;
  while (readWorkerLine(&target->worker, &line, &pending)) {
    std::string shown = takeEvent(target, line);
    if (gang->plain && !shown.empty()) {
      std::lock_guard<std::mutex> hold(targetsLock);
      fprintf(stderr, "%s: %s\n", target->port.c_str(), shown.c_str());
    }
  }
  finish(target, waitWorker(&target->worker), *gang);
}

void drawTable(std::vector<Target>& targets, bool redraw) {
  std::lock_guard<std::mutex> hold(targetsLock);
  if (redraw) fprintf(stderr, "\x1b[%zuA", targets.size());
  for (const Target& t : targets) {
    std::string bar = t.programSteps > 0 ? progressBarText(t.programSteps, ProgramBarSteps, 20, '#')
                                         : progressBarText(t.eraseSteps, EraseBarSteps, 20, '=');
    fprintf(stderr, "\x1b[2K%-20s [%s] %s\n", t.port.c_str(), bar.c_str(),
            t.status.substr(0, 60).c_str());
  }
  fflush(stderr);
}

void startWorkers(std::vector<Target>* targets, const GangRun& run, const Gang& gang) {
  for (Target& target : *targets) {
    const std::vector<std::string> arguments =
        workerArguments(run.self, target.port, *run.options, run.report != nullptr);
    target.started = std::time(nullptr);
    if (!startWorker(arguments, &target.worker, true)) {
      target.outcome = "the worker process did not start";
      finish(&target, ExitCommunicationError, gang);
    } else {
      forwardInterruptsTo(target.worker);
    }
  }
}

void showProgress(std::vector<Target>& targets) {
  drawTable(targets, false);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bool all = true;
    {
      std::lock_guard<std::mutex> hold(targetsLock);
      for (const Target& t : targets) all = all && t.finished;
    }
    drawTable(targets, true);
    if (all) break;
  }
}

int summarise(const std::vector<Target>& targets) {
  int failed = 0;
  fprintf(stderr, "\n%-20s %-22s %s\n", "PORT", "RESULT", "MESSAGE");
  for (const Target& t : targets) {
    if (t.exitCode != ExitOk) ++failed;
    fprintf(stderr, "%-20s %-22s %s\n", t.port.c_str(), resultText(t), t.outcome.c_str());
  }
  if (failed == 0) {
    fprintf(stderr, "All %zu targets programmed.\n", targets.size());
    return ExitOk;
  }
  std::string names;
  for (const Target& t : targets) {
    if (t.exitCode != ExitOk) names += (names.empty() ? "" : ", ") + t.port;
  }
  fprintf(stderr, "%d of %zu targets failed: %s\n", failed, targets.size(), names.c_str());
  return ExitSomeTargetsFailed;
}

}  // namespace

int runGang(const GangRun& run) {
  const Options& options = *run.options;
  std::vector<Target> targets(options.ports.size());
  for (size_t i = 0; i < targets.size(); ++i) targets[i].port = options.ports[i];
  const bool bars = !options.quiet && isTerminal(stderr) && enableEscapeSequences(stderr);
  Gang gang = {options.file, {}, run.report, !options.quiet && !bars};
  appendImageMessage(run.image->bytes, &gang.input);
  ParentMessage go;
  go.kind = ParentMessageKind::Go;
  const std::vector<uint8_t> goLine = encodeParentMessage(go);
  gang.input.insert(gang.input.end(), goLine.begin(), goLine.end());
  startWorkers(&targets, run, gang);
  if (!options.quiet) {
    fprintf(stderr, "Programming %zu targets: reset each of them now.\n", targets.size());
  }

  std::vector<std::thread> followers;
  for (Target& target : targets) {
    if (!target.finished) followers.emplace_back(followWorker, &target, &gang);
  }
  if (bars) showProgress(targets);
  for (std::thread& follower : followers) follower.join();
  return summarise(targets);
}
