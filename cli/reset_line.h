// A board reset through a control line of its port (--reset, --reset-ms):
// the options, their check against the ports, and the pulse before a
// board's first call and before each retry.
#pragma once

#include "station/board_report.h"
#include "station/plan.h"
#include "station/progress.h"

namespace CLI {
class App;
}

// The shortest and longest --reset-ms.
constexpr int ShortestResetMilliseconds = 1;
constexpr int LongestResetMilliseconds = 60000;

// Adds --reset and --reset-ms to a command that addresses a target.
void addResetOptions(CLI::App* command, Options* options);

// Checks --reset against the ports (a raw TCP port has no control lines:
// ExitUsage, told) and gives the line to the link, so that every port opens
// with both lines held at their released level. ExitOk without --reset.
int takeResetOptions(const Options& options);

// With --reset, resets the board on the open port: the line active for
// --reset-ms, then released. ExitOk (a serial server that did not confirm
// is warned of, once per port), or ExitPortError with the port and the
// system's reason told and kept in the board's report. Nothing without it.
int resetBoard(const Options& options, Progress* progress, BoardReport* board);
