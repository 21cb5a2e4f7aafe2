// Several boards at once: a worker process per port, the parent showing and
// reporting them, and a station's boards and numbers handed out.
#include "station/gang.h"

#include <chrono>
#include <ctime>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>

#include "station/station_console.h"
#include "operations/run_logic.h"
#include "station/board_image.h"
#include "station/board_report.h"
#include "station/gang_target.h"
#include "station/interrupt.h"
#include "station/progress.h"
#include "station/terminal.h"
#include "station/worker_process.h"
#include "station/worker_protocol.h"

namespace {

// A station's count of boards and numbers, shared by its followers.
struct Station {
  unsigned long granted = 0, passed = 0, failed = 0, inFlight = 0;
  SerialCounter counter;  // --serial-start's
  bool done = false;      // no further board is granted
  int fault = 0;          // the exit code of a number that could not be taken
  std::string noneLeft;   // "No serial number is left after N.", when so
};

std::mutex targetsLock;
std::condition_variable stationChanged;

// What the workers share: the file as it was given, what each worker is fed
// (the file's bytes as the parent read them, and the permission to take its
// board), and the report.
struct Gang {
  std::string file;
  std::vector<uint8_t> input;
  ReportFile* report;
  bool plain;    // progress as plain lines
  bool notices;  // a port's notices as plain lines (no bars)
  const Options* options;
  Station* station;                   // a station's (--loop), else nullptr
  StationConsole* console = nullptr;  // --console's
  std::vector<Target>* targets = nullptr;
};

void sendMessage(Target* target, ParentMessageKind kind, unsigned long board = 0,
                 const std::string& serial = "") {
  const std::vector<uint8_t> bytes = encodeParentMessage(ParentMessage{kind, {}, board, serial});
  sendWorkerInput(&target->worker, bytes.data(), bytes.size());
}

// The board has ended: its line goes out now, not when the whole gang ends.
void finish(Target* target, int code, const Gang& gang) {
  std::lock_guard<std::mutex> hold(targetsLock);
  target->exitCode = code;
  target->finished = true;
  if (workerDied(code)) {
    // Once the board's last line is out, the worker had no board in hand.
    target->outcome = target->reported ? workerDiedCause(code) : workerDiedText(code);
    target->status = target->outcome;
  }
  if (gang.report && !target->reported) {
    target->report.clear();  // an attempt's, written already
    writeReportLine(gang.report, reportLineOf(*target, gang.file));
  }
  consoleBoardLine(gang.console, target->index, reportLineOf(*target, gang.file), true);
}

// A gang's board line, each attempt's as it ends; the last one ends the board.
void takeGangReport(Target* target, const Gang& gang, bool attempt) {
  std::lock_guard<std::mutex> hold(targetsLock);
  writeReportLine(gang.report, reportLineOf(*target, gang.file));
  target->report.clear();
  if (attempt) {
    ++target->attempt;
  } else {
    target->reported = true;
  }
}

// A station that grants no further board ends the workers that wait for
// one (their input ends); those inside a board end after it.
void endIdleWorkers(std::vector<Target>* targets) {
  for (Target& target : *targets) {
    if (!target.inFlight) closeWorkerInput(&target.worker);
  }
}

// Whether a station's worker may take the board that called: waits while the
// boards under way could still make up --count.
bool grantBoard(const Options& options, Station* station, std::unique_lock<std::mutex>* hold) {
  for (;;) {
    if (interrupted.load() || station->fault) station->done = true;
    if (options.count && station->passed >= options.count) station->done = true;
    if (station->done) return false;
    if (!options.count || station->passed + station->inFlight < options.count) return true;
    stationChanged.wait_for(*hold, std::chrono::milliseconds(100));
  }
}

// A station's worker has a new board calling: its number and "go", or stop.
void answerReady(Target* target, std::vector<Target>* targets, const Gang& gang) {
  std::unique_lock<std::mutex> hold(targetsLock);
  Station* station = gang.station;
  const Options& options = *gang.options;
  uint64_t serial = 0;
  std::string error;
  const SerialTake took = grantBoard(options, station, &hold) && options.numbered
                              ? nextSerialNumber(options, &station->counter, &serial, &error)
                              : SerialTake::Taken;
  if (took == SerialTake::Failed) fprintf(stderr, "error: %s\n", error.c_str());
  if (took == SerialTake::NoneLeft) {
    // The board that called is not addressed; the boards under way end.
    station->noneLeft = error;
    target->outcome = "no serial number left: this board is not programmed";
    target->status = target->outcome;
    if (gang.plain) {
      fprintf(stderr,
              "%s: %s The board that called is not programmed; no further board is "
              "taken.\n",
              targetName(*target).c_str(), error.c_str());
    }
  }
  if (took != SerialTake::Taken) {
    station->fault = ExitFileError;
    station->done = true;
  }
  if (station->done) {
    endIdleWorkers(targets);
    return;
  }
  target->board = ++station->granted;
  target->serial = options.numbered ? std::optional<uint64_t>(serial) : std::nullopt;
  target->attempt = 1;
  target->started = std::time(nullptr);
  target->inFlight = true;
  ++station->inFlight;
  sendMessage(target, ParentMessageKind::Board, target->board);
  if (options.numbered) sendMessage(target, ParentMessageKind::Serial, 0, std::to_string(serial));
  sendMessage(target, ParentMessageKind::Go);
  consoleBoardStarted(gang.console, target->index, target->board,
                      options.numbered ? std::to_string(serial) : "");
}

// A board of a station has ended (or its worker, with it): counted, and its
// line written now.
void boardEnded(Target* target, std::vector<Target>* targets, const Gang& gang, int code) {
  Station* station = gang.station;
  const bool granted = target->inFlight;
  target->inFlight = false;
  if (granted) --station->inFlight;
  (code == ExitOk ? target->passed : target->failed)++;
  (code == ExitOk ? station->passed : station->failed)++;
  if (code == ExitInterrupted) target->boardInterrupted = true;
  if (gang.report) writeReportLine(gang.report, reportLineOf(*target, gang.file));
  consoleBoardLine(gang.console, target->index, reportLineOf(*target, gang.file), true);
  target->report.clear();
  if (gang.options->count && station->passed >= gang.options->count) station->done = true;
  if (station->done) endIdleWorkers(targets);
  stationChanged.notify_all();
}

// A board's line. An attempt that is followed by another (--retries) is
// written, not counted: the board is still under way.
void takeStationReport(Target* target, std::vector<Target>* targets, const Gang& gang,
                       bool attempt) {
  std::lock_guard<std::mutex> hold(targetsLock);
  if (attempt) {
    if (gang.report) writeReportLine(gang.report, reportLineOf(*target, gang.file));
    consoleBoardLine(gang.console, target->index, target->report, false);
    target->report.clear();
    ++target->attempt;
    return;
  }
  nlohmann::json line = nlohmann::json::parse(target->report, nullptr, false);
  const int code = line.is_object() && line["exit_code"].is_number_integer()
                       ? line["exit_code"].get<int>()
                       : ExitCommunicationError;
  const unsigned long board = target->board;
  const bool removed = line.is_object() && line.value("outcome", "") == RemovedOutcome;
  boardEnded(target, targets, gang, code);
  if (gang.plain) {
    fprintf(stderr, "%s: board %lu %s\n", targetName(*target).c_str(), board,
            code == ExitOk ? "passed"
            : removed      ? "removed"
                           : exitCodeText(code));
  }
}

// A station's worker has ended: a board it had under way failed with it; one
// that died between boards counts none, and fails the station.
void finishStation(Target* target, std::vector<Target>* targets, const Gang& gang, int code) {
  std::lock_guard<std::mutex> hold(targetsLock);
  closeWorkerInput(&target->worker);
  target->exitCode = code;
  target->finished = true;
  if (!target->inFlight) {
    if (workerDied(code)) target->outcome = target->status = workerDiedCause(code);
    return;
  }
  target->outcome = workerDied(code) ? workerDiedText(code) : "the worker ended inside a board";
  target->status = target->outcome;
  target->report.clear();
  boardEnded(target, targets, gang, workerDied(code) ? code : ExitCommunicationError);
}

// What a worker is fed: the image, and for a gang its board's number and go.
void feedWorker(Target* target, const Gang& gang, const std::string& serial) {
  sendWorkerInput(&target->worker, gang.input.data(), gang.input.size());
  if (gang.station) return;
  sendMessage(target, ParentMessageKind::Board, target->board);
  if (!serial.empty()) sendMessage(target, ParentMessageKind::Serial, 0, serial);
  sendMessage(target, ParentMessageKind::Go);
  consoleBoardStarted(gang.console, target->index, target->board, serial);
  closeWorkerInput(&target->worker);
}

void followWorker(Target* target, std::vector<Target>* targets, const Gang* gang,
                  std::string serial) {
  {
    std::lock_guard<std::mutex> hold(targetsLock);
    feedWorker(target, *gang, serial);
  }
  std::string line, pending;
  WorkerEvent event;
  while (readWorkerLine(&target->worker, &line, &pending)) {
    if (!decodeWorkerEvent(line, &event)) continue;
    consoleWorkerEvent(gang->console, target->index, event);
    std::string shown;
    {
      std::lock_guard<std::mutex> hold(targetsLock);
      shown = takeWorkerEvent(target, event);
    }
    const bool report =
        event.kind == WorkerEventKind::Report || event.kind == WorkerEventKind::Attempt;
    if (gang->station) {
      if (event.kind == WorkerEventKind::Ready) answerReady(target, targets, *gang);
      if (report) {
        takeStationReport(target, targets, *gang, event.kind == WorkerEventKind::Attempt);
      }
    } else if (gang->report && report) {
      takeGangReport(target, *gang, event.kind == WorkerEventKind::Attempt);
    }
    if (!shown.empty() && (gang->plain || (gang->notices && isPortNotice(event)))) {
      std::lock_guard<std::mutex> hold(targetsLock);
      fprintf(stderr, "%s: %s\n", targetName(*target).c_str(), shown.c_str());
    }
  }
  const int code = waitWorker(&target->worker);
  if (gang->station) {
    finishStation(target, targets, *gang, code);
  } else {
    finish(target, code, *gang);
  }
}

void drawTable(std::vector<Target>& targets, bool redraw, bool station) {
  std::lock_guard<std::mutex> hold(targetsLock);
  if (redraw) fprintf(stderr, "\x1b[%zuA", targets.size());
  for (const Target& t : targets) {
    std::string bar = t.programSteps > 0 ? progressBarText(t.programSteps, ProgramBarSteps, 20, '#')
                                         : progressBarText(t.eraseSteps, EraseBarSteps, 20, '=');
    std::string status = t.status.substr(0, 60);
    if (station) {
      status = "board " + std::to_string(t.board) + ", " + std::to_string(t.passed) + " passed, " +
               std::to_string(t.failed) + " failed: " + status.substr(0, 40);
    }
    fprintf(stderr, "\x1b[2K%-20s [%s] %s\n", targetName(t).c_str(), bar.c_str(), status.c_str());
  }
  fflush(stderr);
}

void startWorkers(std::vector<Target>* targets, const GangRun& run, const Gang& gang) {
  for (Target& target : *targets) {
    if (target.finished) continue;
    const std::vector<std::string> arguments = workerArguments(
        run.self, target.port, *run.options,
        run.report != nullptr || run.options->loop || !run.options->console.empty());
    target.started = std::time(nullptr);
    if (!startWorker(arguments, &target.worker, true)) {
      target.outcome = "the worker process did not start";
      finish(&target, ExitCommunicationError, gang);
    } else {
      forwardInterruptsTo(target.worker);
    }
  }
}

void showProgress(std::vector<Target>& targets, bool station) {
  drawTable(targets, false, station);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bool all = true;
    {
      std::lock_guard<std::mutex> hold(targetsLock);
      for (const Target& t : targets) all = all && t.finished;
    }
    drawTable(targets, true, station);
    if (all) break;
  }
}

int summarise(const std::vector<Target>& targets) {
  int failed = 0;
  fprintf(stderr, "\n%-20s %-22s %s\n", "PORT", "RESULT", "MESSAGE");
  for (const Target& t : targets) {
    if (t.exitCode != ExitOk) ++failed;
    fprintf(stderr, "%-20s %-22s %s\n", targetName(t).c_str(), resultText(t), t.outcome.c_str());
  }
  if (failed == 0) {
    fprintf(stderr, "All %zu targets programmed.\n", targets.size());
    return ExitOk;
  }
  std::string names;
  for (const Target& t : targets) {
    if (t.exitCode != ExitOk) names += (names.empty() ? "" : ", ") + targetName(t);
  }
  fprintf(stderr, "%d of %zu targets failed: %s\n", failed, targets.size(), names.c_str());
  return ExitSomeTargetsFailed;
}

// A station's end: each port's tally and the boards' count, and the ports
// whose worker died.
int summariseStation(const std::vector<Target>& targets, const Station& station) {
  fprintf(stderr, "\n%-20s %-8s %-8s %-8s %s\n", "PORT", "BOARDS", "PASSED", "FAILED", "LAST");
  bool interruptedBoard = false;
  std::string died;
  for (const Target& t : targets) {
    fprintf(stderr, "%-20s %-8lu %-8lu %-8lu %s\n", targetName(t).c_str(), t.passed + t.failed,
            t.passed, t.failed, t.outcome.c_str());
    interruptedBoard = interruptedBoard || t.boardInterrupted;
    if (workerDied(t.exitCode)) died += (died.empty() ? "" : ", ") + targetName(t);
  }
  fprintf(stderr, "%lu boards: %lu passed, %lu failed.\n", station.passed + station.failed,
          station.passed, station.failed);
  if (!died.empty()) fprintf(stderr, "The worker died on %s.\n", died.c_str());
  if (interruptedBoard) return ExitInterrupted;
  if (station.fault) return station.fault;
  return station.failed == 0 && died.empty() ? ExitOk : ExitSomeTargetsFailed;
}

// A gang's boards take their numbers before any of them is addressed; one
// that cannot have one is not started (nor those after it). The exit code of
// the numbers that could not be taken, else ExitOk.
int numberTargets(std::vector<Target>* targets, const Gang& gang, Station* station,
                  std::vector<std::string>* serials) {
  int fault = ExitOk;
  std::string why;
  for (size_t i = 0; i < targets->size(); ++i) {
    Target& target = (*targets)[i];
    target.board = i + 1;
    uint64_t number = 0;
    if (gang.options->numbered && !fault) {
      const SerialTake took = nextSerialNumber(*gang.options, &station->counter, &number, &why);
      if (took == SerialTake::Failed) fprintf(stderr, "error: %s\n", why.c_str());
      if (took == SerialTake::NoneLeft) station->noneLeft = why;
      if (took != SerialTake::Taken) fault = ExitFileError;
    }
    if (fault) {
      target.outcome = why;
      finish(&target, fault, gang);
    } else if (gang.options->numbered) {
      (*serials)[i] = std::to_string(number);
      target.serial = number;
    }
  }
  return fault;
}

// POST /api/stop on the console: as a stop between boards, no board is
// granted any more and the station ends when the boards under way end.
void stopStation(void* context) {
  const Gang* gang = static_cast<const Gang*>(context);
  std::lock_guard<std::mutex> hold(targetsLock);
  if (!gang->station) return;
  gang->station->done = true;
  endIdleWorkers(gang->targets);
  stationChanged.notify_all();
}

}  // namespace

int runGang(const GangRun& run) {
  const Options& options = *run.options;
  std::vector<Target> targets(options.ports.size());
  for (size_t i = 0; i < targets.size(); ++i) {
    targets[i].port = options.ports[i];
    targets[i].slot = slotOf(options, i);
    targets[i].index = i;
  }
  // Trace lines (--verbose) need plain lines, each with its port.
  const bool bars =
      !options.quiet && !options.verbose && isTerminal(stderr) && enableEscapeSequences(stderr);
  Station station;
  station.counter.next = options.firstSerial;
  Gang gang = {options.file,
               {},
               run.report,
               !options.quiet && !bars,
               !bars,
               &options,
               options.loop ? &station : nullptr};
  appendImageMessage(run.image->bytes, &gang.input);
  gang.targets = &targets;
  int consoleFault = ExitOk;
  gang.console = openStationConsole(options, ConsoleStop{&gang, stopStation}, &consoleFault);
  if (consoleFault) return consoleFault;
  std::vector<std::string> serials(targets.size());
  const int numbering = options.loop ? ExitOk : numberTargets(&targets, gang, &station, &serials);
  startWorkers(&targets, run, gang);
  if (!options.quiet) {
    fprintf(stderr, "%s%s %zu %s: %s.\n",
            options.station.empty() ? "" : ("Station " + options.station + ": ").c_str(),
            options.loop ? "A station on" : "Programming", targets.size(),
            options.loop ? (targets.size() == 1 ? "port" : "ports")
                         : (targets.size() == 1 ? "target" : "targets"),
            options.reset.empty() ? "reset each of them now"
            : options.loop        ? "each port's first board is reset through its line"
                                  : "each is reset through its port");
  }

  std::vector<std::thread> followers;
  for (size_t i = 0; i < targets.size(); ++i) {
    if (!targets[i].finished) {
      followers.emplace_back(followWorker, &targets[i], &targets, &gang, serials[i]);
    }
  }
  if (bars) showProgress(targets, options.loop);
  for (std::thread& follower : followers) follower.join();
  closeStationConsole(gang.console);
  int code = options.loop ? summariseStation(targets, station) : summarise(targets);
  // Boards left without a number: the run ends as the station's would.
  if (numbering != ExitOk && code != ExitInterrupted) code = numbering;
  if (!options.serialStart.empty()) {
    fprintf(stderr, "%s\n", serialCounterEnd(station.counter).c_str());
  } else if (!station.noneLeft.empty()) {
    fprintf(stderr, "%s\n", station.noneLeft.c_str());
  }
  return code;
}
