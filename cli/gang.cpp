#include "cli/gang.h"

#include <chrono>
#include <ctime>
#include <cstdio>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/board_report.h"
#include "cli/progress.h"
#include "cli/terminal.h"
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
};

std::mutex targetsLock;

std::string unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      out += text[i + 1] == 'n' ? '\n' : text[i + 1];
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string firstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

// Takes one event line of a worker; returns a line worth printing in the plain
// style, or an empty string.
std::string takeEvent(Target* target, const std::string& line) {
  std::lock_guard<std::mutex> hold(targetsLock);
  if (line.rfind("erase ", 0) == 0) {
    target->eraseSteps = atoi(line.c_str() + 6);
    target->status = "erasing";
    return target->eraseSteps == 20 ? "erased" : "";
  }
  if (line.rfind("program ", 0) == 0) {
    target->programSteps = atoi(line.c_str() + 8);
    target->status = "programming";
    return target->programSteps % 25 == 0
               ? "programming " + std::to_string(target->programSteps) + "%"
               : "";
  }
  if (line.rfind("note ", 0) == 0) {
    target->status = firstLine(unescaped(line.substr(5)));
    return target->status;
  }
  if (line.rfind("report ", 0) == 0) {
    target->report = line.substr(7);
    return "";
  }
  if (line.rfind("message ", 0) == 0) {
    size_t tab = line.find('\t');
    unsigned icon = static_cast<unsigned>(atoi(line.c_str() + 8));
    std::string text = tab == std::string::npos ? "" : unescaped(line.substr(tab + 1));
    target->outcome = firstLine(text);
    target->outcomeIcon = icon;
    target->status = target->outcome;
    return target->outcome;
  }
  return "";
}

// One line of a worker's output (a carriage return before the line feed
// dropped); false at its end.
bool readWorkerLine(WorkerProcess* worker, std::string* line, std::string* pending) {
  for (;;) {
    size_t end = pending->find('\n');
    if (end != std::string::npos) {
      *line = pending->substr(0, end);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      pending->erase(0, end + 1);
      return true;
    }
    char buffer[256];
    long got = readWorkerOutput(worker, buffer, sizeof buffer);
    if (got <= 0) return false;
    pending->append(buffer, static_cast<size_t>(got));
  }
}

void followWorker(Target* target, bool plain, const ImageSnapshot* stream) {
  // A worker reads all of its image before it writes a line.
  if (stream) writeWorkerInput(&target->worker, stream->bytes.data(), stream->bytes.size());
  std::string line, pending;
  while (readWorkerLine(&target->worker, &line, &pending)) {
    std::string shown = takeEvent(target, line);
    if (plain && !shown.empty()) {
      std::lock_guard<std::mutex> hold(targetsLock);
      fprintf(stderr, "%s: %s\n", target->port.c_str(), shown.c_str());
    }
  }
  int code = waitWorker(&target->worker);
  std::lock_guard<std::mutex> hold(targetsLock);
  target->exitCode = code;
  target->finished = true;
}

void drawTable(std::vector<Target>& targets, bool redraw) {
  std::lock_guard<std::mutex> hold(targetsLock);
  if (redraw) fprintf(stderr, "\x1b[%zuA", targets.size());
  for (const Target& t : targets) {
    std::string bar = t.programSteps > 0 ? progressBarText(t.programSteps, 100, 20, '#')
                                         : progressBarText(t.eraseSteps, 20, 20, '=');
    fprintf(stderr, "\x1b[2K%-20s [%s] %s\n", t.port.c_str(), bar.c_str(),
            t.status.substr(0, 60).c_str());
  }
  fflush(stderr);
}

}  // namespace

int runGang(const std::string& self, const std::string& file, const std::vector<std::string>& ports,
            bool bootloader, bool launch, bool quiet, std::vector<std::string>* reports,
            const ImageSnapshot* stream, const std::vector<std::string>& passOn) {
  std::vector<Target> targets(ports.size());
  bool bars = !quiet && isTerminal(stderr) && enableEscapeSequences(stderr);
  for (size_t i = 0; i < ports.size(); ++i) {
    targets[i].port = ports[i];
    std::vector<std::string> arguments = {self,     "program", stream ? "-" : file,
                                          "--port", ports[i],  "--progress-events"};
    if (bootloader) arguments.push_back("--bootloader");
    if (launch) arguments.push_back("--launch");
    arguments.insert(arguments.end(), passOn.begin(), passOn.end());
    if (reports) arguments.insert(arguments.end(), {"--report", "-"});
    if (!startWorker(arguments, &targets[i].worker, stream != nullptr)) {
      targets[i].finished = true;
      targets[i].exitCode = ExitCommunicationError;
      targets[i].outcome = "the worker process did not start";
    } else {
      forwardInterruptsTo(targets[i].worker);
    }
  }
  if (!quiet) fprintf(stderr, "Programming %zu targets: reset each of them now.\n", ports.size());

  std::vector<std::thread> followers;
  for (Target& target : targets) {
    if (!target.finished) followers.emplace_back(followWorker, &target, !quiet && !bars, stream);
  }
  if (bars) {
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
  for (std::thread& follower : followers) follower.join();
  if (reports) {
    for (const Target& t : targets) {
      if (!t.report.empty()) {
        // A fed worker read "-": name the file as it was given.
        nlohmann::ordered_json line =
            nlohmann::ordered_json::parse(t.report, nullptr, false, false);
        if (stream && line.is_object()) line["file"] = file;
        reports->push_back(stream && line.is_object() ? line.dump() : t.report);
        continue;
      }
      // The worker ended without its report: say what is known.
      BoardReport board;
      board.port = t.port;
      board.file = file;
      board.exitCode = t.exitCode;
      board.started = std::time(nullptr);
      board.failedStep = "worker";
      board.message = t.outcome.empty() ? exitCodeText(t.exitCode) : t.outcome;
      reports->push_back(boardReportLine(board));
    }
  }

  int failed = 0;
  fprintf(stderr, "\n%-20s %-22s %s\n", "PORT", "RESULT", "MESSAGE");
  for (const Target& t : targets) {
    if (t.exitCode != ExitOk) ++failed;
    fprintf(stderr, "%-20s %-22s %s\n", t.port.c_str(), exitCodeText(t.exitCode),
            t.outcome.c_str());
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
