// One board in this process: the wait for its call, its serial number, the
// run, and the runs again after a communication or erase error (--retries).
#include "station/board_run.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "link/bootloader.h"
#include "operations/exit_codes.h"
#include "station/app_check.h"
#include "station/board_image.h"
#include "station/board_reset.h"
#include "station/failure.h"
#include "station/interrupt.h"
#include "station/target_run.h"
#include "station/worker_protocol.h"
#include "station/say.h"

bool worthRetrying(int code) {
  return code == ExitCommunicationError || code == ExitEraseError;
}

namespace {

// The board's number, taken when its first run starts (a gang's worker was
// handed it), and the image that carries it: no failure, or the reason told.
Failure numberBoard(const Options& options, const LoadedImage& loaded, SerialCounter* counter,
                    BoardReport* board, ImageSnapshot* image) {
  std::string error;
  // A gang's worker places the number its parent handed it, and takes none.
  if (options.serials.numbered && !board->serial && options.role != RunRole::Worker) {
    uint64_t number = 0;
    const SerialTake took = nextSerialNumber(options.serials, counter, &number, &error);
    if (took != SerialTake::Taken) {
      // Another station took the last numbers since the start: nothing is
      // sent to the board.
      say("error: %s%s\n", error.c_str(),
          took == SerialTake::NoneLeft ? " The board is not programmed." : "");
      return Failure{ExitFileError, "start", error};
    }
    board->serial = number;
  }
  const uint64_t* serial = board->serial ? &*board->serial : nullptr;
  if (!boardImage(options.serials, loaded, serial, image, &board->imageSha256, &error)) {
    return toldFailure(ExitFileError, "start", error);
  }
  proveBoard(options, loaded, board);
  return Failure();
}

// One attempt on the open port: the board's reset (--reset), the wait for
// its call, then the run.
int attemptOnce(TargetCommand command, const Options& options, const LoadedImage& loaded,
                SerialCounter* counter, BoardReport* board, SimulatedTarget* simulated) {
  const bool worker = options.role == RunRole::Worker;
  Progress progress = progressFor(worker ? stdout : stderr, options.quiet, worker);
  int code = resetBoard(options.link, &progress, board);
  if (code == ExitOk) code = awaitTarget(options.link, &progress, board);
  if (code != ExitOk) return code;
  if (command != TargetCommand::Program) {
    return runOnConnectedTarget({command, &options, &loaded.run, &progress, board, simulated});
  }
  ImageSnapshot image;
  code = reportFailure(numberBoard(options, loaded, counter, board, &image), board);
  if (code != ExitOk) {
    closeTargetPort();
    return code;
  }
  return runOnConnectedTarget({command, &options, &image, &progress, board, simulated});
}

}  // namespace

void startAgain(const Options& options, int tries, BoardReport* board) {
  say("Attempt %d of %d failed: the board is %s.\n", tries, options.station.retries + 1,
      options.link.reset.empty() ? "programmed again at its next call"
                                 : "reset and programmed again");
  board->message.clear();
  board->bytes = 0;
  board->blocks = 0;
}

int runOnOneTarget(const OneTarget& run, BoardReport* board) {
  const TargetCommand command = run.command;
  const Options& options = *run.options;
  LoadedImage loaded;
  board->file = options.image.file;
  if (!options.expect.empty()) board->proved = false;
  bool declined = false;
  int code = prepareTargetRun(command, options, &loaded, board, &declined);
  if (code != ExitOk || declined) return code;

  SimulatedTarget simulated;
  code = openTargetPortFor(options.link, &simulated, board);
  for (int tries = 1; code == ExitOk; ++tries) {
    board->attempt = tries;
    board->started = std::time(nullptr);
    const auto started = std::chrono::steady_clock::now();
    code = attemptOnce(command, options, loaded, run.counter, board, &simulated);
    board->seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!worthRetrying(code) || board->outcome == RemovedOutcome ||
        tries > options.station.retries || interrupted.load()) {
      break;
    }
    board->exitCode = code;
    if (run.attempt) run.attempt(*board);
    startAgain(options, tries, board);
    code = reopenTargetPort(board);
  }
  stopSimulatedTarget(&simulated);
  return code;
}

namespace {

// A board's line: to the parent for a gang's worker (an attempt that is tried
// again as such), else to the report.
void emitBoardLine(const Options& options, ReportFile* report, StationRecord* record,
                   BoardReport board, WorkerEventKind kind = WorkerEventKind::Report) {
  if (board.exitCode == ExitOk) board.failedStep.clear();
  std::string line = boardReportLine(board);
  recordEnded(record, 0, line, kind == WorkerEventKind::Attempt);
  if (options.role == RunRole::Worker) {
    WorkerEvent event;
    event.kind = kind;
    event.text = line;
    sendWorkerEvent(stdout, event);
    return;
  }
  writeReportLine(report, line);
}

}  // namespace

int runOneBoard(TargetCommand command, const Options& options, ReportFile* report,
                StationRecord* record, std::time_t startTime,
                std::chrono::steady_clock::time_point started) {
  BoardReport board;
  board.started = startTime;
  if (!options.link.ports.empty()) board.port = options.link.ports[0];  // also when the file fails
  board.slot = slotOf(options, 0);
  if (options.role != RunRole::Worker) board.board = 1;  // a gang's worker is told its number
  SerialCounter counter;
  counter.next = options.serials.firstSerial;
  OneTarget run = {command, &options, &counter, nullptr};
  if (!options.reporting.path.empty() || record) {
    run.attempt = [&options, report, record](const BoardReport& attempt) {
      emitBoardLine(options, report, record, attempt, WorkerEventKind::Attempt);
    };
  }
  recordStarted(record, 0, board.port, options.image.file, board.board, std::nullopt);
  board.exitCode = runOnOneTarget(run, &board);
  if (!options.serials.serialStart.empty()) say("%s\n", serialCounterEnd(counter).c_str());
  if (options.reporting.path.empty() && !record) return board.exitCode;
  if (board.attempt == 1) {
    board.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  emitBoardLine(options, report, record, board);
  if (options.role == RunRole::Worker || options.reporting.path.empty()) return board.exitCode;
  bool good = board.exitCode == ExitOk;
  if (!closeReportFile(report, good ? "the board is programmed" : nullptr) && good) {
    return ExitFileError;
  }
  return board.exitCode;
}
