// A station's options: --loop and its limits, --retries, and serial numbers
// (where each board's number goes, how it is written, where it comes from).
#pragma once

#include <cstdint>
#include <string>

#include "cli/commands.h"
#include "cli/serial_file.h"

namespace CLI {
class App;
}

// Adds --loop, --count, --swap-seconds, --retries and the serial options to
// the program command.
void addStationOptions(CLI::App* program, Options* options);

// Checks them before any board is addressed and takes their values: ExitOk,
// ExitUsage for options that do not go together or do not fit (the address,
// --serial-start, a --report that is the serial file or its lock),
// ExitFileError for a serial file that holds no number that fits, has
// several hard links, is read-only or holds 18446744073709551615. The reason
// is told.
int takeStationOptions(Options* options);

// The next board's number: counted up in *counter from --serial-start, or
// taken from the serial file (which then holds the following one). NoneLeft
// when the next number would not fit the format (or 64 bits), with "No
// serial number is left after N." in *error; Failed with the reason when the
// file gives none.
SerialTake nextSerialNumber(const Options& options, SerialCounter* counter, uint64_t* number,
                            std::string* error);
// What a run says of --serial-start's count at its end: "The next free
// serial number is N." or "No serial number is left after N."
std::string serialCounterEnd(const SerialCounter& counter);

// The image a board is programmed from, with its serial number written in
// when it has one, and the SHA-256 of the data bytes that image programs.
// False with the reason when the number does not fit.
bool boardImage(const Options& options, const LoadedImage& loaded, const uint64_t* serial,
                ImageSnapshot* out, std::string* dataSha256, std::string* error);
