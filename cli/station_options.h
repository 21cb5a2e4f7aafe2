// A station's options: --loop and its limits, --retries, and serial numbers
// (where each board's number goes, how it is written, where it comes from),
// added to the program command, checked and taken.
#pragma once

#include <cstdint>
#include <string>

#include "station/failure.h"
#include "station/plan.h"
#include "station/serial_file.h"

namespace CLI {
class App;
}

// Adds --loop, --count, --swap-seconds, --retries and the serial options to
// the program command.
void addStationOptions(CLI::App* program, Options* options);

// Checks them before any board is addressed and takes their values: no
// failure, ExitUsage for options that do not go together or do not fit (the address,
// --serial-start, a --report that is the serial file or its lock),
// ExitFileError for a serial file that holds no number that fits, has
// several hard links, is read-only or holds 18446744073709551615. The reason
// is told.
Failure takeStationOptions(Options* options);
