// A station's options on the command line: added to the program command, checked and taken.
#include "cli/station_options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "operations/exit_codes.h"
#include "station/app_check.h"
#include "station/serial_file.h"

void addStationOptions(CLI::App* program, Options* options) {
  CLI::Option* loop = program->add_flag(
      "--loop", options->loop,
      "a station: after each board, wait for the next one's call and program it, until Ctrl-C "
      "or --count boards passed (always through a worker per port)");
  program->add_option("--count", options->count, "with --loop: stop once N boards have passed")
      ->type_name("N")
      ->check(CLI::Range(1ul, 4294967295ul))
      ->needs(loop);
  program
      ->add_option("--swap-seconds", options->swapSeconds,
                   "with --loop: a call counts as a new board only after the port has been free "
                   "of calls this long since the last board ended; an earlier one is the same "
                   "board restarting")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 3600.0))
      ->needs(loop);
  program
      ->add_option("--retries", options->retries,
                   "program a board again from the erase, at its next call, when its run ended "
                   "with a communication or erase error, up to N more times (with --reset the "
                   "tool resets it first; with --loop --reset is needed)")
      ->type_name("N")
      ->check(CLI::Range(0, 100));
  program->add_option("--serial-at", options->serialAt,
                      "write a serial number into each board's image at this address (0x7FF0): "
                      "the image's bytes there are replaced, or added");
  program
      ->add_option("--serial-format", options->serialFormat,
                   "how the number is written: u32le, u32be, u64le, u64be or ascii:W (W "
                   "decimal digits, zero-padded)")
      ->capture_default_str();
  CLI::Option* start =
      program->add_option("--serial-start", options->serialStart,
                          "number the boards from N up; the next free number is shown at the end");
  start->type_name("N");
  program
      ->add_option("--serial-file", options->serialFile,
                   "take each board's number from this text file, which then holds the next "
                   "one (locked through FILE.lock, shared by every station on the machine)")
      ->type_name("FILE")
      ->excludes(start);
}

namespace {

int refuse(int code, const std::string& text) {
  fprintf(stderr, "error: %s\n", text.c_str());
  return code;
}

bool hasMap(const Options& options) {
  return options.map.flash.given || options.map.boot.given;
}

// --serial-at's address: 0 to 2^64-1 as written, checked for its place after.
bool takeAddress(const std::string& text, uint64_t* address) {
  char* end = nullptr;
  errno = 0;
  *address = strtoull(text.c_str(), &end, 0);
  return !text.empty() && text[0] != '-' && *end == 0 && errno == 0;
}

// The first number, checked against the format before any board is addressed.
int takeFirstSerial(Options* options) {
  std::string error;
  std::vector<uint8_t> bytes;
  if (!options->serialFile.empty()) {
    if (!peekSerialNumber(options->serialFile, SerialLockWaitMilliseconds, &options->firstSerial,
                          &error)) {
      return refuse(ExitFileError, "--serial-file " + options->serialFile + ": " + error);
    }
    if (!encodeSerial(options->firstSerial, options->serial, &bytes, &error)) {
      return refuse(ExitFileError, "--serial-file " + options->serialFile + ": " + error);
    }
    return ExitOk;
  }
  if (!parseSerialNumber(options->serialStart, &options->firstSerial, &error) ||
      !encodeSerial(options->firstSerial, options->serial, &bytes, &error)) {
    return refuse(ExitUsage, "--serial-start: " + error);
  }
  return ExitOk;
}

}  // namespace

int takeStationOptions(Options* options) {
  if (options->loop && options->ports.empty()) {
    return refuse(ExitUsage, "--loop needs --port (one or more)");
  }
  // A person's reset cannot be told from the next board: a retry in a
  // station needs the tool's own.
  if (options->loop && options->retries > 0 && options->reset.empty()) {
    return refuse(ExitUsage, "--retries with --loop needs --reset");
  }
  const bool source = !options->serialStart.empty() || !options->serialFile.empty();
  if (options->serialAt.empty()) {
    if (source) return refuse(ExitUsage, "--serial-start and --serial-file need --serial-at ADDR");
    if (options->expect.find(SerialPlaceholder) != std::string::npos) {
      return refuse(ExitUsage,
                    "--expect names {serial}, but the boards are not numbered: give "
                    "--serial-at with --serial-start or --serial-file");
    }
    return ExitOk;
  }
  // A gang's worker is handed its numbers; everyone else needs a source.
  if (!source && !options->events) {
    return refuse(ExitUsage, "--serial-at needs --serial-start N or --serial-file FILE");
  }
  std::string error;
  if (!parseSerialFormat(options->serialFormat, &options->serial, &error)) {
    return refuse(ExitUsage, "--serial-format: " + error);
  }
  uint64_t address = 0;
  if (!takeAddress(options->serialAt, &address)) {
    return refuse(ExitUsage, "--serial-at " + options->serialAt + " is not an address");
  }
  if (!serialPlaceFits(address, options->serial, hasMap(*options) ? &options->map : nullptr,
                       &error)) {
    return refuse(ExitUsage, "--serial-at: " + error);
  }
  options->serialAddress = static_cast<uint32_t>(address);
  options->numbered = true;
  return source ? takeFirstSerial(options) : ExitOk;
}
