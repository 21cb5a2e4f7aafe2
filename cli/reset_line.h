// A board reset through a control line of its port (--reset, --reset-ms):
// the options and their check against the ports (the pulse itself:
// station/board_reset.h).
#pragma once

#include <string>

#include "station/plan.h"

namespace CLI {
class App;
}

// The shortest and longest --reset-ms.
constexpr int ShortestResetMilliseconds = 1;
constexpr int LongestResetMilliseconds = 60000;

// Whether the text names a reset line (dtr, rts, dtr-inverted, rts-inverted).
bool isResetLine(const std::string& name);

// Adds --reset and --reset-ms to a command that addresses a target.
void addResetOptions(CLI::App* command, Options* options);

// Checks --reset against the ports (a raw TCP port has no control lines:
// ExitUsage, told) and gives the line to the link, so that every port opens
// with both lines held at their released level. ExitOk without --reset.
int takeResetOptions(const Options& options);
