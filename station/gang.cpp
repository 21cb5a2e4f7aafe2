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
#include "station/gang_table.h"
#include "station/gang_state.h"
#include "station/gang_target.h"
#include "station/interrupt.h"
#include "station/record_number.h"
#include "station/station_record.h"
#include "station/plan_message.h"
#include "station/progress.h"
#include "station/terminal.h"
#include "station/worker_process.h"
#include "station/worker_protocol.h"

std::mutex targetsLock;
std::condition_variable stationChanged;

namespace {

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
  if ((gang.report || gang.record) && !target->reported) {
    target->report.clear();  // an attempt's, written already
    const std::string line = reportLineOf(*target, gang.file);
    if (gang.report) writeReportLine(gang.report, line);
    recordEnded(gang.record, target->index, line, false);
  }
  consoleBoardLine(gang.console, target->index, reportLineOf(*target, gang.file), true);
}

// A gang's board line, each attempt's as it ends; the last one ends the board.
void takeGangReport(Target* target, const Gang& gang, bool attempt) {
  std::lock_guard<std::mutex> hold(targetsLock);
  const std::string line = reportLineOf(*target, gang.file);
  if (gang.report) writeReportLine(gang.report, line);
  recordEnded(gang.record, target->index, line, attempt);
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

// A station's worker has a new board calling: its number and "go", or stop.
void answerReady(Target* target, std::vector<Target>* targets, const Gang& gang) {
  std::unique_lock<std::mutex> hold(targetsLock);
  Station* station = gang.station;
  const Options& options = *gang.options;
  uint64_t serial = 0;
  std::string error;
  const SerialTake took = numberBoard(target, gang, &hold, &serial, &error);
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
  target->serial = options.serials.numbered ? std::optional<uint64_t>(serial) : std::nullopt;
  target->attempt = 1;
  target->started = std::time(nullptr);
  target->inFlight = true;
  ++station->inFlight;
  if (!recordNumbers(gang.record)) {
    recordStarted(gang.record, target->index, target->port, gang.file, target->board,
                  target->serial);
  }
  sendMessage(target, ParentMessageKind::Board, target->board);
  if (options.serials.numbered)
    sendMessage(target, ParentMessageKind::Serial, 0, std::to_string(serial));
  sendMessage(target, ParentMessageKind::Go);
  consoleBoardStarted(gang.console, target->index, target->board,
                      options.serials.numbered ? std::to_string(serial) : "");
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
  const std::string line = reportLineOf(*target, gang.file);
  if (gang.report) writeReportLine(gang.report, line);
  recordEnded(gang.record, target->index, line, false);
  consoleBoardLine(gang.console, target->index, line, true);
  target->report.clear();
  if (gang.options->station.count && station->passed >= gang.options->station.count)
    station->done = true;
  if (station->done) endIdleWorkers(targets);
  stationChanged.notify_all();
}

// A board's line. An attempt that is followed by another (--retries) is
// written, not counted: the board is still under way.
void takeStationReport(Target* target, std::vector<Target>* targets, const Gang& gang,
                       bool attempt) {
  std::lock_guard<std::mutex> hold(targetsLock);
  if (attempt) {
    const std::string line = reportLineOf(*target, gang.file);
    if (gang.report) writeReportLine(gang.report, line);
    recordEnded(gang.record, target->index, line, true);
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

// What a worker is fed: its plan, the image, and for a gang its board's
// number and go.
void feedWorker(Target* target, const Gang& gang, const std::string& serial) {
  const std::vector<uint8_t> plan =
      planMessage(workerPlan(*gang.options, target->port, gang.workerReports));
  sendWorkerInput(&target->worker, plan.data(), plan.size());
  sendWorkerInput(&target->worker, gang.input.data(), gang.input.size());
  if (gang.station) return;
  if (!recordNumbers(gang.record)) {
    recordStarted(gang.record, target->index, target->port, gang.file, target->board,
                  target->serial);
  }
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
    } else if ((gang->report || gang->record) && report) {
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

void startWorkers(std::vector<Target>* targets, const GangRun& run, const Gang& gang) {
  for (Target& target : *targets) {
    if (target.finished) continue;
    const std::vector<std::string> arguments = {run.self, "worker", target.port};
    target.started = std::time(nullptr);
    if (!startWorker(arguments, &target.worker, true)) {
      target.outcome = "the worker process did not start";
      finish(&target, ExitCommunicationError, gang);
    } else {
      forwardInterruptsTo(target.worker);
    }
  }
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
    if (gang.options->serials.numbered && !fault)
      fault = numberTarget(target, gang, station, &number, &why);
    if (fault) {
      target.outcome = why;
      finish(&target, fault, gang);
    } else if (gang.options->serials.numbered) {
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

// What the gang or station starts with, and who resets the boards.
void sayStart(const Options& options, size_t ports) {
  fprintf(
      stderr, "%s%s %zu %s: %s.\n",
      options.record.station.empty() ? "" : ("Station " + options.record.station + ": ").c_str(),
      options.station.loop ? "A station on" : "Programming", ports,
      options.station.loop ? (ports == 1 ? "port" : "ports") : (ports == 1 ? "target" : "targets"),
      options.link.reset.empty() ? "reset each of them now"
      : options.station.loop     ? "each port's first board is reset through its line"
                                 : "each is reset through its port");
}

}  // namespace

int runGang(const GangRun& run) {
  const Options& options = *run.options;
  std::vector<Target> targets(options.link.ports.size());
  for (size_t i = 0; i < targets.size(); ++i) targets[i].port = options.link.ports[i];
  for (size_t i = 0; i < targets.size(); ++i) targets[i].slot = slotOf(options, i);
  for (size_t i = 0; i < targets.size(); ++i) targets[i].index = i;
  // Trace lines (--verbose) need plain lines, each with its port.
  const bool bars =
      !options.quiet && !options.verbose && isTerminal(stderr) && enableEscapeSequences(stderr);
  Station station;
  station.counter.next = options.serials.firstSerial;
  Gang gang = {options.image.file,
               {},
               run.report,
               !options.quiet && !bars,
               !bars,
               &options,
               options.station.loop ? &station : nullptr};
  appendImageMessage(run.image->bytes, &gang.input);
  gang.targets = &targets;
  gang.record = run.record;
  gang.workerReports = run.report != nullptr || options.station.loop ||
                       !options.station.console.empty() || gang.record;
  int consoleFault = ExitOk;
  gang.console = openStationConsole(options, ConsoleStop{&gang, stopStation}, &consoleFault);
  if (consoleFault) return consoleFault;
  std::vector<std::string> serials(targets.size());
  const int numbering =
      options.station.loop ? ExitOk : numberTargets(&targets, gang, &station, &serials);
  startWorkers(&targets, run, gang);
  if (!options.quiet) sayStart(options, targets.size());

  std::vector<std::thread> followers;
  for (size_t i = 0; i < targets.size(); ++i) {
    if (!targets[i].finished) {
      followers.emplace_back(followWorker, &targets[i], &targets, &gang, serials[i]);
    }
  }
  if (bars) showProgress(targets, targetsLock, options.station.loop);
  for (std::thread& follower : followers) follower.join();
  closeStationConsole(gang.console);
  int code = options.station.loop
                 ? summariseStation(targets, station.passed, station.failed, station.fault)
                 : summarise(targets);
  // Boards left without a number: the run ends as the station's would.
  if (numbering != ExitOk && code != ExitInterrupted) code = numbering;
  if (!options.serials.serialStart.empty()) {
    fprintf(stderr, "%s\n", serialCounterEnd(station.counter).c_str());
  } else if (!station.noneLeft.empty()) {
    fprintf(stderr, "%s\n", station.noneLeft.c_str());
  }
  return code;
}
