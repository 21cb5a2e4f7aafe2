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
#include "station/interrupt.h"
#include "station/target_run.h"

bool worthRetrying(int code) {
  return code == ExitCommunicationError || code == ExitEraseError;
}

namespace {

// The board's number, taken when its first run starts (a gang's worker was
// handed it), and the image that carries it. ExitOk, or the reason told.
int numberBoard(const Options& options, const LoadedImage& loaded, SerialCounter* counter,
                BoardReport* board, ImageSnapshot* image) {
  std::string error;
  // A gang's worker places the number its parent handed it, and takes none.
  if (options.numbered && !board->serial && !options.events) {
    uint64_t number = 0;
    const SerialTake took = nextSerialNumber(options, counter, &number, &error);
    if (took != SerialTake::Taken) {
      // Another station took the last numbers since the start: nothing is
      // sent to the board.
      fprintf(stderr, "error: %s%s\n", error.c_str(),
              took == SerialTake::NoneLeft ? " The board is not programmed." : "");
      board->message = error;
      board->failedStep = "start";
      return ExitFileError;
    }
    board->serial = number;
  }
  const uint64_t* serial = board->serial ? &*board->serial : nullptr;
  if (!boardImage(options, loaded, serial, image, &board->imageSha256, &error)) {
    fprintf(stderr, "error: %s\n", error.c_str());
    board->message = error;
    board->failedStep = "start";
    return ExitFileError;
  }
  proveBoard(options, loaded, board);
  return ExitOk;
}

// One attempt on the open port: the board's reset (--reset), the wait for
// its call, then the run.
int attemptOnce(TargetCommand command, const Options& options, const LoadedImage& loaded,
                SerialCounter* counter, BoardReport* board, SimulatedTarget* simulated) {
  Progress progress = progressFor(options.events ? stdout : stderr, options.quiet, options.events);
  int code = resetBoard(options, &progress, board);
  if (code == ExitOk) code = awaitTarget(options, &progress, board);
  if (code != ExitOk) return code;
  if (command != TargetCommand::Program) {
    return runOnConnectedTarget(command, options, loaded.run, &progress, board, simulated);
  }
  ImageSnapshot image;
  code = numberBoard(options, loaded, counter, board, &image);
  if (code != ExitOk) {
    closeTargetPort();
    return code;
  }
  return runOnConnectedTarget(command, options, image, &progress, board, simulated);
}

}  // namespace

int runOnOneTarget(TargetCommand command, const Options& options, BoardReport* board,
                   SerialCounter* counter, AttemptReport attempt, void* context) {
  LoadedImage loaded;
  board->file = options.file;
  if (!options.expect.empty()) board->proved = false;
  bool declined = false;
  int code = prepareTargetRun(command, options, &loaded, board, &declined);
  if (code != ExitOk || declined) return code;

  SimulatedTarget simulated;
  code = openTargetPortFor(options, &simulated, board);
  for (int tries = 1; code == ExitOk; ++tries) {
    board->attempt = tries;
    board->started = std::time(nullptr);
    const auto started = std::chrono::steady_clock::now();
    code = attemptOnce(command, options, loaded, counter, board, &simulated);
    board->seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!worthRetrying(code) || board->outcome == RemovedOutcome || tries > options.retries ||
        interrupted.load()) {
      break;
    }
    board->exitCode = code;
    if (attempt) attempt(*board, context);
    fprintf(
        stderr, "Attempt %d of %d failed: the board is %s.\n", tries, options.retries + 1,
        options.reset.empty() ? "programmed again at its next call" : "reset and programmed again");
    board->message.clear();
    board->bytes = 0;
    board->blocks = 0;
    code = reopenTargetPort(board);
  }
  stopSimulatedTarget(&simulated);
  return code;
}
