// The developer's loop on one port: its options (--monitor, --timestamps,
// --watch, --settle-ms, --force) and their check before anything is opened.
#pragma once

#include "station/plan.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

// The shortest and longest --settle-ms.
constexpr int ShortestSettleMilliseconds = 10;
constexpr int LongestSettleMilliseconds = 60000;

// --monitor and --timestamps; `launch` is the option they need (nullptr for
// the launch command, which always launches).
void addMonitorOptions(CLI::App* command, CLI::Option* launch, Options* options);
// --watch, --settle-ms and --force on the program command.
void addWatchOptions(CLI::App* program, Options* options);

// Refuses what does not go with them (several ports, standard input, a
// station, serial numbers, a simulated target): ExitOk, or ExitUsage told.
int checkDevLoopOptions(const Options& options, TargetCommand command);
