// One round of a watch: the file read, compared with what the board holds,
// and programmed on the port the watch keeps.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "operations/exit_codes.h"
#include "cli/reset_line.h"
#include "cli/station_options.h"
#include "station/board_image.h"
#include "station/board_reset.h"
#include "station/board_run.h"
#include "station/interrupt.h"
#include "station/target_run.h"
#include "cli/watch.h"
#include "image/firmware_image.h"
#include "image/hex_token_reader.h"
#include "link/bootloader.h"

namespace {

// The segments a run of the image programs, addresses and bytes, in a few
// words: two images with the same segments have the same text.
std::string segmentsOf(const ImageSnapshot& run) {
  unsigned long blocks = 0;
  const FirmwareImage image =
      programmedImage(run, runStartCursors(run, ReaderCursors{0, 0}), &blocks);
  std::string text;
  for (const ImageSegment& segment : image.segments) {
    text += std::to_string(segment.address) + "+" + std::to_string(segment.bytes.size()) + ":" +
            sha256Hex(segment.bytes.data(), segment.bytes.size()) + ";";
  }
  return text;
}

// The port open again after the line went away, waited for as a station
// waits: told once, and once when it is back. ExitOk, or ExitInterrupted.
int portBack(WatchState* s, BoardReport* board) {
  bool said = false;
  std::string away;
  while (!targetPortOpensAgain(s->device, &away)) {
    if (!said)
      fprintf(stderr, "%s is %s: waiting for it to return.\n", s->device.c_str(), away.c_str());
    said = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    if (interrupted.load()) {
      board->message = "Interrupted: the port is closed.";
      fprintf(stderr, "%s\n", board->message.c_str());
      return ExitInterrupted;
    }
  }
  if (said) fprintf(stderr, "%s is back.\n", s->device.c_str());
  return ExitOk;
}

// The board reset (--reset) or waited for, then programmed.
int programOnce(WatchState* s, const LoadedImage& loaded, BoardReport* board) {
  const Options& options = *s->options;
  int code = serialPort.load() == InvalidSerialPort ? portBack(s, board) : ExitOk;
  Progress progress = progressFor(stderr, options.quiet, false);
  if (code == ExitOk) code = resetBoard(options.link, &progress, board);
  if (code == ExitOk) code = awaitTarget(options.link, &progress, board);
  if (code != ExitOk) return code;
  ImageSnapshot image;
  std::string error;
  boardImage(options.serials, loaded, nullptr, &image, &board->imageSha256, &error);
  return runOnConnectedTarget(
      {TargetCommand::Program, &options, &image, &progress, board, nullptr});
}

// The round's attempts: again after a communication or erase error while
// --retries allows.
int programWithRetries(WatchState* s, const LoadedImage& loaded, BoardReport* board) {
  const Options& options = *s->options;
  for (int tries = 1;; ++tries) {
    board->attempt = tries;
    const int code = programOnce(s, loaded, board);
    if (!worthRetrying(code) || tries > options.station.retries || interrupted.load()) return code;
    startAgain(options, tries, board);
  }
}

void reportRound(WatchState* s, BoardReport* board) {
  board->exitCode = s->lastCode;
  if (board->exitCode == ExitOk) board->failedStep.clear();
  const std::string line = boardReportLine(*board);
  recordEnded(s->record, 0, line, false);
  if (s->report->open) writeReportLine(s->report, line);
  if (s->options->quiet && board->exitCode == ExitOk) return;  // failures only
  fprintf(stderr, "Round %d: %s.\n", s->rounds, exitCodeText(board->exitCode));
}

}  // namespace

void watchRound(WatchState* s, bool forced) {
  const Options& options = *s->options;
  fileTaken(&s->file);
  BoardReport board;
  board.port = s->device;
  board.file = options.image.file;
  board.board = 1;
  board.started = std::time(nullptr);
  const auto started = std::chrono::steady_clock::now();
  LoadedImage loaded;
  bool declined = false;
  int code = prepareTargetRun(TargetCommand::Program, options, &loaded, &board, &declined);
  const std::string segments = code == ExitOk ? segmentsOf(loaded.run) : "";
  if (code == ExitOk && !forced && !options.force && segments == s->lastSegments) {
    fprintf(stderr,
            "%s holds the same data as the board: not programmed again (r or --force "
            "programs it).\n",
            options.image.file.c_str());
    return;
  }
  ++s->rounds;
  recordStarted(s->record, 0, s->device, options.image.file, board.board, std::nullopt);
  if (code == ExitOk) code = programWithRetries(s, loaded, &board);
  board.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // The board holds the image once it is programmed, whether its application
  // answered or not; after any other end what it holds is not known.
  if (code == ExitOk || code == ExitAppCheckFailed) {
    s->lastSegments = segments;
  } else if (board.failedStep != "file") {
    s->lastSegments.clear();
  }
  s->lastCode = code;
  reportRound(s, &board);
}
