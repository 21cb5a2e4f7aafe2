// The monitor (--monitor): after the launch the port stays open and every
// line the application prints is shown as it comes, escaped so that no byte
// from the board can steer the terminal; a board reset by hand into its
// bootloader is said once instead of its calls.
#pragma once

#include <chrono>
#include <string>

#include "cli/board_report.h"
#include "cli/commands.h"
#include "cli/progress.h"

// Bytes the application printed, fit for a terminal: printable ASCII and
// UTF-8 text as they are (but the C1 control characters), a backslash
// doubled, and every other byte as \xHH (ESC as \x1b, so that an ANSI
// sequence is shown, never obeyed).
std::string monitorLineText(const std::string& bytes);

// How a monitor ended.
enum class MonitorEnd {
  Interrupted,  // Ctrl-C or a termination request
  LineDied,     // the line to the target failed (unplugged, a server gone)
  Stopped,      // its stop said so
};

// Asked between reads (a few times a second) whether the monitor should end.
using MonitorStop = bool (*)(void* context);

struct MonitorSetup {
  bool timestamps = false;
  std::chrono::steady_clock::time_point launched;  // what the timestamps count from
  bool afterAnswer = false;  // --expect found its text: the rest of that line is no line of its own
  MonitorStop stop = nullptr;
  void* context = nullptr;
};

// The setup for the run that launched last (launchForDevLoop): its launch
// time and whether --expect was answered.
MonitorSetup monitorSetupFor(const Options& options, int runCode);

// Shows the application's lines on standard output (notes on standard error)
// from the port the launch kept open, until an interrupt, a dead line or the
// stop. The port stays open.
MonitorEnd monitorApplication(const MonitorSetup& setup);

// The launch at the end of a run: the time noted for the timestamps, and the
// port kept open for the monitor or a watch's next round (launchAndCheck).
int launchForDevLoop(const Options& options, Progress* progress, BoardReport* board);

// The monitor after a run on one board without --watch, when its launch kept
// the port open: the run's own code when it ends by an interrupt, 6 when the
// line dies (said). The port is closed.
int monitorAfterRun(const Options& options, int runCode);
