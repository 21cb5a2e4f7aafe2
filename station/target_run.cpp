// The steps of a run on one target (station/target_run.h): the port, the wait
// for the target's call, and the run itself.
#include "station/target_run.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "station/monitor.h"
#include "station/port_selection.h"
#include "image/hex_token_reader.h"
#include "link/adapter_latency.h"
#include "link/bootloader.h"
#include "link/trace.h"
#include "operations/exit_codes.h"
#include "station/app_check.h"
#include "station/failure.h"
#include "station/interrupt.h"
#include "station/port_words.h"
#include "station/run_image.h"
#include "station/say.h"
#include "station/terminal.h"
#include "station/worker_protocol.h"

namespace {

const char* const PartialImageText =
    "Interrupted: the target holds a partial image; program it again.";
const char* const NotStartedText =
    "Interrupted before the target was addressed: the target has not been changed.";

// Set when the wait for the target's call has run out of time.
std::atomic<int> waitExpired{0};

int exitCodeOf(RunOutcome outcome) {
  switch (outcome) {
    case RunSucceeded:
      return ExitOk;
    case RunInterrupted:
    case RunStoppedBeforeStart:
      return ExitInterrupted;
    case RunFileError:
      return ExitFileError;
    case RunEraseError:
      return ExitEraseError;
    case RunCommunicationError:
      return ExitCommunicationError;
  }
  return ExitCommunicationError;
}

// What an interrupted run tells the user; nullptr when it was not interrupted.
const char* interruptionText(RunOutcome outcome, TargetCommand command) {
  if (outcome == RunStoppedBeforeStart) return NotStartedText;
  if (outcome != RunInterrupted) return nullptr;
  return command == TargetCommand::Program
             ? PartialImageText
             : "Interrupted: the erase did not finish; erase the target again.";
}

// What a run was waiting for, for the message when the target fell silent.
const char* waitName(const Progress& progress, TargetCommand command) {
  if (command == TargetCommand::Erase || progress.eraseSteps < EraseBarSteps) return "erasing";
  return "programming";
}

// Ends the wait for the target's call after `seconds` (0: never), unless
// `done` is set first.
std::thread startWaitLimit(int64_t seconds, std::atomic<int>* done) {
  if (seconds <= 0) return std::thread();
  return std::thread([seconds, done] {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done->load() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (done->load()) return;
    waitExpired.store(1);
    requestLinkAbort();
  });
}

// Opens the port as the link's, once, before the wait for the call: no
// failure (also for a selector that finds no adapter now: it is waited for),
// or ExitPortError told.
Failure openLinkPort(const std::string& device, const char* step) {
  if (openSelectedPort(device) == LinkOk || !selectionProblem().empty()) return Failure();
  return toldFailure(ExitPortError, step, portFailureText(device, selectedPortFault()));
}

// A port that went away while the command waited: gone while it waited for
// the call, or not there (yet) when opened again, or a selector that finds
// no single adapter.
bool lineLostNow(int32_t result, bool lineLostNoted) {
  if (result != LinkPortUnavailable) return false;
  if (!selectionProblem().empty()) return true;
  const PortOpenStatus status = selectedPortFault().status;
  if (status == PortOpenStatus::Opened) return lastReadEnd() == ReadEnd::LineFailed;
  return lineLostNoted && status == PortOpenStatus::Absent;
}

// The port opened again and the target's call answered.
int32_t reconnect(const std::string& device) {
  return openSelectedPort(device) == LinkOk ? awaitTargetCall() : LinkPortUnavailable;
}

void noteLineLost(Progress* progress, const std::string& problem) {
  const std::string text = problem.empty() ? "The line went away: waiting for it to return."
                                           : problem + ": waiting for it.";
  progressNote(progress, text.c_str());
}

// Waits for the target's call after a reset (by a person, or by the tool
// through a control line). No failure once connected.
Failure waitForCall(const std::string& device, bool resetByLine, Progress* progress) {
  std::string text = "Waiting for the target on " + device +
                     (resetByLine ? " after its reset" : ": reset the target now") +
                     " (Ctrl-C to stop).";
  progressNote(progress, text.c_str());
  bool lineLostNoted = false;
  // The first wait is on the port opened already; after that each attempt
  // opens it again.
  bool portOpen = serialPort.load() != InvalidSerialPort;
  for (;;) {
    int32_t result = portOpen ? awaitTargetCall() : reconnect(device);
    portOpen = false;
    if (result == LinkOk) {
      text = "Connected to the target on " + device + " (115200 8-N-1).";
      progressNote(progress, text.c_str());
      return Failure();
    }
    if (waitExpired.load()) {
      return toldFailure(ExitCommunicationError, "connect", "no target called on " + device);
    }
    if (result == LinkAborted || interrupted.load()) {
      progressNote(progress, "Interrupted: the port is closed.");
      return Failure{ExitInterrupted, "connect", "Interrupted: the port is closed."};
    }
    // A port that went away while we waited is waited for; one that does
    // not open for another reason (another program took it) is an error.
    const bool lineLost = lineLostNow(result, lineLostNoted);
    if (result == LinkPortUnavailable && !lineLost) {
      return toldFailure(ExitPortError, "connect", portFailureText(device, selectedPortFault()));
    }
    if (lineLost) {
      // An adapter unplugged, a board powered off: wait for it to come back.
      if (!lineLostNoted) noteLineLost(progress, selectionProblem());
      lineLostNoted = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      continue;
    }
    lineLostNoted = false;
    // The target did not confirm: wait for its next call.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

Failure waitForTarget(const std::string& device, int64_t waitSeconds, bool resetByLine,
                      Progress* progress) {
  std::atomic<int> done{0};
  std::thread limit = startWaitLimit(waitSeconds, &done);
  Failure failure = waitForCall(device, resetByLine, progress);
  done.store(1);
  if (limit.joinable()) limit.join();
  // A limit that struck just as the target connected must not end the run.
  if (failure.exitCode == ExitOk) clearLinkAbort();
  return failure;
}

// Names the wait when a run ended because no reply came in time or the line
// failed; empty when it ended for another reason.
std::string lostLinkText(const Progress& progress, TargetCommand command, int64_t timeoutSeconds) {
  char text[160];
  const ReadEnd end = lastReadEnd();
  switch (end) {
    case ReadEnd::ReplyLimit:
    case ReadEnd::OtherData:
    case ReadEnd::TimeLimit:
      snprintf(text, sizeof text, "no reply from the target for %lld s while %s%s",
               static_cast<long long>(end == ReadEnd::TimeLimit ? TimedReadMilliseconds / 1000
                                                                : timeoutSeconds),
               waitName(progress, command),
               end == ReadEnd::OtherData ? "; it sent other data" : "");
      return text;
    case ReadEnd::LineFailed:
      snprintf(text, sizeof text, "the line to the target failed while %s (unplugged?)",
               waitName(progress, command));
      return text;
    default:
      return "";
  }
}

// Only the word itself agrees: any case, spaces around it allowed.
bool isYes(const char* answer) {
  while (isspace(static_cast<unsigned char>(*answer))) ++answer;
  for (const char* word = "yes"; *word; ++word, ++answer) {
    if (tolower(static_cast<unsigned char>(*answer)) != *word) return false;
  }
  for (; *answer; ++answer) {
    if (!isspace(static_cast<unsigned char>(*answer))) return false;
  }
  return true;
}

enum class EraseAllAnswer { Go, Declined, NobodyToAsk };

// Asks before the entire flash is erased.
EraseAllAnswer confirmEraseAll(const Options& options) {
  if (options.yes) return EraseAllAnswer::Go;
  if (!isTerminal(stdin)) {
    fprintf(stderr, "error: erase --all needs --yes when there is no terminal to ask\n");
    return EraseAllAnswer::NobodyToAsk;
  }
  fprintf(stderr, "Warning: %s\nType \"yes\" to erase the entire flash: ", EraseAllWarningText);
  fflush(stderr);
  char answer[64] = {0};
  if (!fgets(answer, sizeof answer, stdin)) return EraseAllAnswer::Declined;
  return isYes(answer) ? EraseAllAnswer::Go : EraseAllAnswer::Declined;
}

// A gang's worker is handed its image and the permission to take a board
// by its parent (station/worker_protocol.h). *declined when it may take none.
Failure takeParentOrders(const Options& options, LoadedImage* loaded, BoardReport* board,
                         bool* declined) {
  long long size = 0;
  ImageLoadFault fault;
  FILE* in = openImageFile("-", &size, &fault);
  WorkerOrders orders;
  std::string error;
  const bool go = in && readWorkerOrders(in, &orders, &error);
  if (!error.empty() || !orders.imageGiven) {
    if (error.empty()) error = "no image";
    return toldFailure(ExitFileError, "file", "File Error: the input from the gang: " + error);
  }
  if (!go) {
    *declined = true;
    return toldFailure(ExitInterrupted, "file", NotStartedText);
  }
  loaded->run = std::move(orders.image);
  board->board = orders.board;
  uint64_t serial = 0;
  if (!orders.serial.empty()) {
    if (!parseSerialNumber(orders.serial, &serial, &error)) {
      return toldFailure(ExitUsage, "file", "the serial number from the gang: " + error);
    }
    board->serial = serial;
  }
  return checkImage(options.image.file, options, loaded);
}

}  // namespace

int prepareTargetRun(TargetCommand command, const Options& options, LoadedImage* loaded,
                     BoardReport* board, bool* declined) {
  if (command == TargetCommand::Program) {
    const Failure failure = options.role == RunRole::Worker
                                ? takeParentOrders(options, loaded, board, declined)
                                : loadAndCheck(options.image.file, options, loaded);
    if (int code = reportFailure(failure, board)) return code;
    board->sha256 = loaded->sha256;
  }
  if (command == TargetCommand::Erase && options.all) {
    switch (confirmEraseAll(options)) {
      case EraseAllAnswer::Go:
        break;
      case EraseAllAnswer::Declined:
        fprintf(stderr, "Nothing erased.\n");
        *declined = true;
        break;
      case EraseAllAnswer::NobodyToAsk:
        return ExitUsage;
    }
  }
  return ExitOk;
}

int openTargetPortFor(const LinkPlan& link, SimulatedTarget* simulated, BoardReport* board) {
  board->failedStep = "port";
  std::string device;
  if (link.simulate) {
    std::string error;
    if (!startSimulatedTarget(simulated, &error)) {
      return reportFailure(toldFailure(ExitPortError, "port", error), board);
    }
    device = simulated->device;
  } else {
    if (link.ports.empty()) {
      fprintf(stderr,
              "error: no port given: use --port DEVICE (see \"k4471-cli ports\") or "
              "--simulate\n");
      return ExitUsage;
    }
    device = link.ports[0];
  }
  board->port = device;
  if (int code = reportFailure(openLinkPort(device, "port"), board)) return code;
  board->device = selectedDevice();
  // Shown with --verbose, which sends the trace to standard error (or, in a
  // gang's worker, to its parent).
  const std::string note = adapterLatencyNote(device, lastAdapterLatency());
  if (!note.empty()) linkTrace(("note: " + note + "\n").c_str());
  return ExitOk;
}

namespace {

// The command itself, once the target has called.
RunOutcome runCommand(const ConnectedRun& run) {
  const Options& options = *run.options;
  Progress* progress = run.progress;
  BoardReport* board = run.board;
  switch (run.command) {
    case TargetCommand::Program: {
      const ProgramTarget target =
          options.image.bootloader ? ProgramTarget::Bootloader : ProgramTarget::Application;
      setReaderCursors(ReaderCursors{0, 0});
      ProgramTally tally;
      RunOutcome outcome = runProgramming(target, *run.image, progressReport(progress), &tally);
      board->bytes = tally.bytes;
      board->blocks = tally.blocks;
      board->failedStep = tally.failedStep;
      return outcome;
    }
    case TargetCommand::Erase: {
      EraseMode mode = options.all ? EraseMode::EntireFlash : EraseMode::Default;
      RunOutcome outcome = runErase(mode, progressReport(progress));
      board->failedStep = outcome == RunSucceeded ? "" : "erase";
      return outcome;
    }
    case TargetCommand::Launch:
      board->failedStep.clear();
      return RunSucceeded;
  }
  return RunSucceeded;
}

// A board that failed because it was pulled out with its adapter: its port's
// device is gone. Never tried again; its serial number stays spent.
int removedIfGone(int code, BoardReport* board) {
  const bool lineFailed = lastReadEnd() == ReadEnd::LineFailed;
  const std::string device = board->device.empty() ? board->port : board->device;
  if (!portDeviceGone(board->port, device, lineFailed)) return code;
  board->outcome = RemovedOutcome;
  const std::string step = board->failedStep.empty() ? "the run" : board->failedStep;
  return reportFailure(toldFailure(ExitCommunicationError, "",
                                   "the board was removed from " + board->port + " during " + step +
                                       ": its port's device " + device + " is gone"),
                       board);
}

// After the run: its outcome told, the application launched or the port
// closed, and a simulated target's flash compared with the image.
int finishRun(const ConnectedRun& run, RunOutcome outcome) {
  const TargetCommand command = run.command;
  const Options& options = *run.options;
  Progress* progress = run.progress;
  BoardReport* board = run.board;
  int code = exitCodeOf(outcome);
  progressFinish(progress);
  board->message = progress->failure;
  if (code == ExitCommunicationError) {
    std::string why = lostLinkText(*progress, command, options.link.timeoutSeconds);
    if (!why.empty()) reportFailure(toldFailure(code, "", why), board);
    code = removedIfGone(code, board);
  }
  if (const char* text = interruptionText(outcome, command)) {
    // A gang's worker says it once, for its parent to show also when quiet.
    if (options.role != RunRole::Worker) progressNote(progress, text);
    if (options.quiet || options.role == RunRole::Worker) say("%s\n", text);
    board->message = text;
  }
  const bool launch = command == TargetCommand::Launch || options.launch;
  if (launch && code == ExitOk) {
    code = launchForDevLoop(options, progress, board);
  } else if (!options.watch) {
    closeTargetPort();  // a watch keeps the port (and its lock) for its next round
  }
  if (options.link.simulate && command == TargetCommand::Program && code == ExitOk) {
    std::string verdict;
    if (!simulatedFlashHolds(run.simulated, *run.image, &verdict)) code = ExitCommunicationError;
    progressNote(progress, verdict.c_str());
  }
  return code;
}

}  // namespace

int reopenTargetPort(BoardReport* board) {
  // The step stays the failed attempt's.
  const int code = reportFailure(openLinkPort(board->port, ""), board);
  if (code == ExitOk) board->device = selectedDevice();
  return code;
}

bool targetPortOpensAgain(const std::string& device, std::string* away, bool* absent) {
  if (openSelectedPort(device) == LinkOk) return true;
  *away = selectionProblem();
  const PortOpenStatus status = selectedPortFault().status;
  if (absent)
    *absent =
        away->empty() && (status == PortOpenStatus::Absent || status == PortOpenStatus::NoDevice);
  if (away->empty()) *away = portAwayText(device, selectedPortFault());
  return false;
}

int awaitTarget(const LinkPlan& link, Progress* progress, BoardReport* board) {
  board->failedStep = "connect";
  const int code = reportFailure(
      waitForTarget(board->port, link.waitSeconds, !link.reset.empty(), progress), board);
  if (code == ExitOk) board->device = selectedDevice();
  return code;
}

int runOnConnectedTarget(const ConnectedRun& run) {
  setReplyLimit(run.options->link.timeoutSeconds * 1000);
  RunOutcome outcome = runCommand(run);
  setReplyLimit(0);
  return finishRun(run, outcome);
}
