// A station's worker: one port, every board that calls on it. Its parent
// hands it the image once, then a number and the permission for each new
// board (station/worker_protocol.h).
#include "station/station_worker.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "station/port_selection.h"
#include "link/bootloader.h"
#include "operations/exit_codes.h"
#include "station/app_check.h"
#include "station/board_image.h"
#include "station/board_reset.h"
#include "station/board_run.h"
#include "station/failure.h"
#include "station/interrupt.h"
#include "station/run_image.h"
#include "station/target_run.h"
#include "station/worker_protocol.h"
#include "station/say.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the parent has said, read by a thread of its own, so that a stop
// ends the wait for the next board's call.
struct Inbox {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<ParentMessage> messages;
  bool ended = false;          // stop, or the end of the input
  bool betweenBoards = false;  // waiting for a call: a stop aborts the wait
  std::string error;
};

void readParent(FILE* in, Inbox* inbox) {
  ParentMessage message;
  std::string error;
  for (;;) {
    const bool got = readParentMessage(in, &message, &error);
    std::lock_guard<std::mutex> hold(inbox->lock);
    if (got) inbox->messages.push_back(message);
    if (!got || message.kind == ParentMessageKind::Stop) {
      inbox->ended = true;
      inbox->error = error;
      if (inbox->betweenBoards) requestLinkAbort();
    }
    inbox->changed.notify_all();
    if (inbox->ended) return;
  }
}

// The next message; false once the input ended with none left.
bool nextMessage(Inbox* inbox, ParentMessage* message) {
  std::unique_lock<std::mutex> hold(inbox->lock);
  inbox->changed.wait(hold, [inbox] { return !inbox->messages.empty() || inbox->ended; });
  if (inbox->messages.empty()) return false;
  *message = std::move(inbox->messages.front());
  inbox->messages.pop_front();
  return true;
}

// The orders for the next board: true on "go" with board and serial set.
bool takeOrders(Inbox* inbox, BoardReport* board) {
  ParentMessage message;
  while (nextMessage(inbox, &message)) {
    if (message.kind == ParentMessageKind::Board) board->board = message.board;
    if (message.kind == ParentMessageKind::Serial) {
      uint64_t serial = 0;
      std::string error;
      if (parseSerialNumber(message.serial, &serial, &error)) board->serial = serial;
    }
    if (message.kind == ParentMessageKind::Go) return true;
    if (message.kind == ParentMessageKind::Stop) return false;
  }
  return false;
}

void sendReady() {
  WorkerEvent event;
  event.kind = WorkerEventKind::Ready;
  sendWorkerEvent(stdout, event);
}

// The board's line: its report, or an attempt's that is tried again.
void sendReport(const BoardReport& board, WorkerEventKind kind = WorkerEventKind::Report) {
  BoardReport line = board;
  if (line.exitCode == ExitOk) line.failedStep.clear();
  WorkerEvent event;
  event.kind = kind;
  event.text = boardReportLine(line);
  sendWorkerEvent(stdout, event);
}

// A port that went away, with why, or that is back: for the parent to show.
void sendPortNotice(WorkerEventKind kind, const std::string& why = "") {
  WorkerEvent event;
  event.kind = kind;
  event.text = why;
  sendWorkerEvent(stdout, event);
}

// The port open again after a run closed it, or after the line went away:
// tried until it opens or the station stops. A board that brings its own
// port (an adapter on the board) calls as soon as the port appears, so the
// pause between two tries is short; a port that stays away is told once
// for each reason it stays away for (gone, then two selectors that find one
// adapter; a port that flits between two reasons is not told again), and
// once when it is back. A port simply not there is one reason, whatever its
// going looked like: a server going down hangs up, then refuses.
bool portBack(Inbox* inbox, const std::string& device) {
  std::set<std::string> told;
  for (;;) {
    std::string why;
    bool absent = false;
    if (targetPortOpensAgain(device, &why, &absent)) {
      if (!told.empty()) sendPortNotice(WorkerEventKind::PortBack);
      return true;
    }
    if (told.insert(absent ? std::string() : why).second)
      sendPortNotice(WorkerEventKind::PortAway, why);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> hold(inbox->lock);
    if (inbox->ended || interrupted.load()) return false;
  }
}

// Where the wait for the next board stands on a port.
struct Swap {
  bool first = true;             // no board yet: its first call is taken
  Clock::time_point quietSince;  // the last board's end, or the last call since
  bool restartNoted = false;
};

// Waits for a call that is a new board. False when the station stops first.
bool awaitNewBoard(const Options& options, Inbox* inbox, Swap* swap, BoardReport* port,
                   Progress* progress) {
  const auto window = std::chrono::duration<double>(options.station.swapSeconds);
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(inbox->lock);
      if (inbox->ended || interrupted.load()) return false;
      inbox->betweenBoards = true;
    }
    // A port by identity or place that found no adapter is not open.
    const LinkResult call =
        serialPort.load() == InvalidSerialPort ? LinkPortUnavailable : awaitCallFrame(0);
    {
      std::lock_guard<std::mutex> hold(inbox->lock);
      inbox->betweenBoards = false;
    }
    if (call == LinkAborted) return false;
    if (call != LinkOk) {
      if (!portBack(inbox, port->port)) return false;
      continue;
    }
    const auto now = Clock::now();
    if (swap->first || now - swap->quietSince >= window) return true;
    swap->quietSince = now;
    if (!swap->restartNoted) {
      const std::string text = "the board on " + port->port + " restarted; replace it";
      progressNote(progress, text.c_str());
      swap->restartNoted = true;
    }
  }
}

// The board that called: numbered, answered and programmed. A retry opens
// the port again, resets the board (--retries needs --reset here) and
// answers its call.
int programBoard(const Options& options, const LoadedImage& loaded, BoardReport* board,
                 Progress* progress) {
  // Each attempt's bars start empty, as each run's do.
  progress->eraseSteps = 0;
  progress->programSteps = 0;
  progress->failure.clear();
  board->started = std::time(nullptr);
  board->device = selectedDevice();
  const auto started = Clock::now();
  ImageSnapshot image;
  std::string error;
  const uint64_t* serial = board->serial ? &*board->serial : nullptr;
  int code = ExitOk;
  if (!boardImage(options.serials, loaded, serial, &image, &board->imageSha256, &error)) {
    code = reportFailure(Failure{ExitFileError, "start", error}, board);
  } else if (board->attempt > 1) {
    code = reopenTargetPort(board);
    if (code == ExitOk) code = resetBoard(options.link, progress, board);
    if (code == ExitOk) code = awaitTarget(options.link, progress, board);
  } else if (acknowledgeTargetCall() != LinkOk) {
    // The call was not confirmed: this board's next call is answered.
    code = reopenTargetPort(board);
    if (code == ExitOk) code = awaitTarget(options.link, progress, board);
  }
  if (code == ExitOk) {
    proveBoard(options, loaded, board);
    code =
        runOnConnectedTarget({TargetCommand::Program, &options, &image, progress, board, nullptr});
  } else {
    closeTargetPort();
  }
  board->exitCode = code;
  board->seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return code;
}

// The board with its retries: each attempt that is tried again is reported
// as such, the last one's line ends the board.
int programWithRetries(const Options& options, const LoadedImage& loaded, BoardReport* board,
                       Progress* progress) {
  int code = programBoard(options, loaded, board, progress);
  while (worthRetrying(code) && board->outcome != RemovedOutcome &&
         board->attempt <= options.station.retries && !interrupted.load()) {
    sendReport(*board, WorkerEventKind::Attempt);
    const std::string note = "Attempt " + std::to_string(board->attempt) + " of " +
                             std::to_string(options.station.retries + 1) +
                             " failed: the board is reset and programmed again.";
    progressNote(progress, note.c_str());
    ++board->attempt;
    board->message.clear();
    board->failedStep.clear();
    board->bytes = 0;
    board->blocks = 0;
    code = programBoard(options, loaded, board, progress);
  }
  sendReport(*board);
  return code;
}

}  // namespace

int runStationWorker(const Options& options) {
  Progress progress = progressFor(stdout, options.quiet, true);
  long long size = 0;
  ImageLoadFault fault;
  FILE* in = openImageFile("-", &size, &fault);
  Inbox inbox;
  BoardReport port;
  port.file = options.image.file;
  ParentMessage first;
  std::string error;
  if (!in || !readParentMessage(in, &first, &error) || first.kind != ParentMessageKind::Image) {
    say("error: File Error: the input from the station: %s\n", error.c_str());
    return ExitFileError;
  }
  std::thread(readParent, in, &inbox).detach();
  LoadedImage loaded;
  loaded.run.bytes = std::move(first.image);
  loaded.run.stream = true;
  // The parent checked these bytes: a failure here leaves the step unnamed.
  const Failure check = checkImage(options.image.file, options, &loaded);
  port.message = check.message;
  int code = check.exitCode;
  if (code == ExitOk) code = openTargetPortFor(options.link, nullptr, &port);
  // The first board is reset; a board that has ended never is: a reset
  // cannot tell the next board from the one still on the fixture.
  if (code == ExitOk) code = resetBoard(options.link, &progress, &port);
  if (code != ExitOk) {
    port.exitCode = code;
    sendReport(port);
    return code;
  }
  port.sha256 = loaded.sha256;
  Swap swap;
  while (awaitNewBoard(options, &inbox, &swap, &port, &progress)) {
    sendReady();
    BoardReport board = port;
    if (!takeOrders(&inbox, &board)) break;
    if (programWithRetries(options, loaded, &board, &progress) == ExitInterrupted) {
      return ExitInterrupted;
    }
    // A board pulled out took its port along: whatever calls once the port
    // is back is the next board.
    swap = Swap{board.outcome == RemovedOutcome, Clock::now(), false};
    if (!portBack(&inbox, port.port)) break;
  }
  closeTargetPort();
  clearLinkAbort();
  return ExitOk;
}
