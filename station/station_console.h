// The station's console (console/) wired to a gang's parent: its options, the
// view fed from the workers' events and boards' lines, the server started
// and stopped with the gang. Every function does nothing without a console.
#pragma once

#include <cstddef>
#include <string>

#include "station/plan.h"
#include "station/worker_protocol.h"
#include "console/console_server.h"

namespace CLI {
class App;
}

// --console, --console-token-file and --console-host on program.
void addConsoleOptions(CLI::App* program, Options* options);
// Before any board is addressed: --console needs several ports or --loop, a
// build that has it and an address; ExitOk, or ExitUsage told.
int checkConsoleOptions(const Options& options);

struct StationConsole;

// With --console: the view of the gang's ports, served, its URL printed.
// nullptr without --console (*code ExitOk) or when it cannot listen (*code
// ExitUsage, told).
StationConsole* openStationConsole(const Options& options, ConsoleStop stop, int* code);
// A worker's event on the port at `index`.
void consoleWorkerEvent(StationConsole* console, size_t index, const WorkerEvent& event);
// A board taken on the port (serial: empty when not numbered).
void consoleBoardStarted(StationConsole* console, size_t index, unsigned long board,
                         const std::string& serial);
// A board's report line: `last` for its last attempt, else an attempt that is
// tried again.
void consoleBoardLine(StationConsole* console, size_t index, const std::string& line, bool last);
// The station has ended: told to the page, then the server stops.
void closeStationConsole(StationConsole* console);
