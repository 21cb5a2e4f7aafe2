// A station's options: --loop and its limits, --retries, and serial numbers
// (where each board's number goes, how it is written, where it comes from).
#pragma once

#include <cstdint>
#include <string>

#include "station/plan.h"

namespace CLI {
class App;
}

// Adds --loop, --count, --swap-seconds, --retries and the serial options to
// the program command.
void addStationOptions(CLI::App* program, Options* options);

// Checks them before any board is addressed and takes their values: ExitOk,
// ExitUsage for options that do not go together or do not fit (the address,
// --serial-start), ExitFileError for a serial file that holds no number that
// fits. The reason is told.
int takeStationOptions(Options* options);

// The next board's number: counted up from --serial-start in *next, or taken
// from the serial file (which then holds the following one). False with the
// reason when the file gives none or the number does not fit the format.
bool nextSerialNumber(const Options& options, uint64_t* next, uint64_t* number, std::string* error);

// The image a board is programmed from, with its serial number written in
// when it has one, and the SHA-256 of the data bytes that image programs.
// False with the reason when the number does not fit.
bool boardImage(const Options& options, const LoadedImage& loaded, const uint64_t* serial,
                ImageSnapshot* out, std::string* dataSha256, std::string* error);
