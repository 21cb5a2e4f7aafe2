// The watch's rounds: the first at once, the next on each settled change of
// the file or the r key, with the application monitored between them when
// asked; q, Ctrl-C or SIGTERM between two rounds end it.
#include "cli/watch.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "operations/exit_codes.h"
#include "cli/keys.h"
#include "station/monitor.h"
#include "station/interrupt.h"
#include "station/target_run.h"
#include "link/bootloader.h"

namespace {

enum class WatchEvent { None, Changed, Again, Quit, Interrupted };

// What happened since the last look: an interrupt, a key, a settled change.
WatchEvent lookAround(WatchState* s) {
  if (interrupted.load()) return WatchEvent::Interrupted;
  const int key = s->keys ? typedKey() : 0;
  if (key == 'q' || key == 'Q') return WatchEvent::Quit;
  if (key == 'r' || key == 'R') return WatchEvent::Again;
  return fileChangeSettled(&s->file) ? WatchEvent::Changed : WatchEvent::None;
}

// The monitor's stop: what ended it is kept for the watch.
struct MonitorWatch {
  WatchState* state;
  WatchEvent event;
};

bool monitorStops(void* context) {
  MonitorWatch* watch = static_cast<MonitorWatch*>(context);
  watch->event = lookAround(watch->state);
  return watch->event != WatchEvent::None;
}

void sayWaiting(const WatchState& s) {
  fprintf(stderr, "Watching %s for a change%s.\n", s.file.path.c_str(),
          s.keys ? " (r: program again now, q: end)" : " (Ctrl-C to end)");
}

// The application's lines until something happens; a dead line is said,
// the port closed, and the watch goes on waiting.
WatchEvent monitorBetweenRounds(WatchState* s) {
  fprintf(stderr, "Monitoring the application; the file's next change programs it again%s.\n",
          s->keys ? " (r: now, q: end)" : "");
  MonitorWatch watch = {s, WatchEvent::None};
  MonitorSetup setup = monitorSetupFor(*s->options, s->lastCode);
  setup.stop = monitorStops;
  setup.context = &watch;
  switch (monitorApplication(setup)) {
    case MonitorEnd::Interrupted:
      return WatchEvent::Interrupted;
    case MonitorEnd::Stopped:
      return watch.event;
    case MonitorEnd::LineDied:
      break;
  }
  closeTargetPort();
  fprintf(stderr, "The line to the target died while monitoring (unplugged?).\n");
  return WatchEvent::None;
}

// Waits for what comes next after a round.
WatchEvent awaitNext(WatchState* s) {
  const bool monitor = s->options->monitor && serialPort.load() != InvalidSerialPort &&
                       (s->lastCode == ExitOk || s->lastCode == ExitAppCheckFailed);
  WatchEvent event = monitor ? monitorBetweenRounds(s) : WatchEvent::None;
  if (event == WatchEvent::None) sayWaiting(*s);
  while (event == WatchEvent::None) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event = lookAround(s);
  }
  return event;
}

// The port the rounds share, taken once. ExitOk, or the reason told.
int openWatchPort(WatchState* s) {
  BoardReport board;
  const int code = openTargetPortFor(s->options->link, nullptr, &board);
  s->device = board.port;
  return code;
}

}  // namespace

int runWatch(const Options& options, ReportFile* report, StationRecord* record) {
  WatchState s;
  s.options = &options;
  s.report = report;
  s.record = record;
  startFileWatch(&s.file, options.image.file, options.settleMs);
  int code = openWatchPort(&s);
  if (code != ExitOk) return code;
  s.keys = startKeys();
  WatchEvent event = WatchEvent::Again;
  while (event == WatchEvent::Changed || event == WatchEvent::Again) {
    std::string broken;
    if (recordBroken(record, &broken)) {
      fprintf(stderr, "error: %s: the board is not programmed again\n", broken.c_str());
      s.lastCode = ExitDatabaseError;
      break;
    }
    watchRound(&s, event == WatchEvent::Again);
    // An interrupt inside a round ends the watch with the round.
    if (s.lastCode == ExitInterrupted) break;
    event = awaitNext(&s);
  }
  endKeys();
  closeTargetPort();
  code = s.lastCode;
  const char* boards = code == ExitOk ? "the board is programmed" : nullptr;
  if (report->open && !closeReportFile(report, boards) && code == ExitOk) code = ExitFileError;
  return code;
}
