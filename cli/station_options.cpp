// A station's options on the command line: added to the program command, checked and taken.
#include "cli/station_options.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <vector>

#include "operations/exit_codes.h"
#include "station/app_check.h"
#include "station/failure.h"
#include "station/serial_file.h"
#include "cli/number_options.h"
#include "station/output_file.h"

void addStationOptions(CLI::App* program, Options* options) {
  CLI::Option* loop = program->add_flag(
      "--loop", options->station.loop,
      "a station: after each board, wait for the next one's call and program it, until Ctrl-C "
      "or --count boards passed (always through a worker per port)");
  checkWholeNumber(program
                       ->add_option("--count", options->station.count,
                                    "with --loop: stop once N boards have passed")
                       ->type_name("N")
                       ->needs(loop),
                   1, 4294967295);
  checkNumber(program
                  ->add_option("--swap-seconds", options->station.swapSeconds,
                               "with --loop: a call counts as a new board only after the port has "
                               "been free of calls this long since the last board ended; an "
                               "earlier one is the same board restarting")
                  ->type_name("SECONDS")
                  ->capture_default_str()
                  ->needs(loop),
              0.0, 3600.0);
  checkWholeNumber(program
                       ->add_option("--retries", options->station.retries,
                                    "program a board again from the erase, at its next call, "
                                    "when its run ended with a communication or erase error, up "
                                    "to N more times (with --reset the tool resets it first; "
                                    "with --loop --reset is needed)")
                       ->type_name("N"),
                   0, 100);
  program->add_option("--serial-at", options->serials.serialAt,
                      "write a serial number into each board's image at this address (0x7FF0): "
                      "the image's bytes there are replaced, or added");
  program
      ->add_option("--serial-format", options->serials.serialFormat,
                   "how the number is written: u32le, u32be, u64le, u64be or ascii:W (W "
                   "decimal digits, zero-padded)")
      ->capture_default_str();
  CLI::Option* start =
      program->add_option("--serial-start", options->serials.serialStart,
                          "number the boards from N up; the next free number is shown at the end");
  start->type_name("N");
  program
      ->add_option("--serial-file", options->serials.serialFile,
                   "take each board's number from this text file, which then holds the next "
                   "one. Shared by the stations on the machine through a lock that lies beside "
                   "the file FILE leads to (links followed; its name plus .lock): every station "
                   "sharing the counter must run this version, and two mount paths to one file "
                   "are not detected. A file with several hard links, a read-only one or one "
                   "holding 18446744073709551615 is refused")
      ->type_name("FILE")
      ->excludes(start);
  program
      ->add_option("--serial-counter", options->record.serialCounter,
                   "take each board's number from counter NAME in the --db record (made with "
                   "counter create), shared by a line's stations; the next free number is shown "
                   "at the end")
      ->type_name("NAME")
      ->excludes(start)
      ->excludes("--serial-file");
}

namespace {

// Options are refused before any board is addressed: no step of a board.
Failure refuse(int code, const std::string& text) {
  return toldFailure(code, "", text);
}

bool hasMap(const Options& options) {
  return options.flashMap.map.flash.given || options.flashMap.map.boot.given;
}

// The first number, checked against the format before any board is addressed.
Failure takeFirstSerial(Options* options) {
  std::string error;
  std::vector<uint8_t> bytes;
  if (!options->serials.serialFile.empty()) {
    const std::string given = "--serial-file " + options->serials.serialFile + ": ";
    if (!peekSerialNumber(options->serials.serialPath, SerialLockWaitMilliseconds,
                          &options->serials.firstSerial, &error)) {
      return refuse(ExitFileError, given + error);
    }
    const uint64_t last = serialFormatLast(options->serials.serial);
    if (options->serials.firstSerial > last) {
      return refuse(ExitFileError,
                    given + "no serial number is left after " + std::to_string(last) +
                        ": the file holds " + std::to_string(options->serials.firstSerial) +
                        ", which does not fit " + serialFormatName(options->serials.serial));
    }
    return Failure();
  }
  if (!parseSerialNumber(options->serials.serialStart, &options->serials.firstSerial, &error) ||
      !encodeSerial(options->serials.firstSerial, options->serials.serial, &bytes, &error)) {
    return refuse(ExitUsage, "--serial-start: " + error);
  }
  return Failure();
}

// A report that is the serial file or its lock would empty the counter (or
// fill it with report lines): no failure, or ExitUsage told. By identity where
// both exist, else by the paths they resolve to.
Failure checkReportIsNoCounter(const Options& options) {
  if (options.serials.serialFile.empty() || options.reporting.path.empty() ||
      options.reporting.path == "-") {
    return Failure();
  }
  const std::string lock = serialLockPath(options.serials.serialPath);
  std::string what;
  if (samePlace(options.reporting.path, options.serials.serialPath)) {
    what = "the serial file " + options.serials.serialPath;
  } else if (samePlace(options.reporting.path, lock)) {
    what = "the serial file's lock " + lock;
  } else {
    return Failure();
  }
  return refuse(ExitUsage, "--report " + options.reporting.path + " is " + what +
                               ": the report would overwrite it");
}

// --loop and --retries: a station needs its ports, and a retry in a station
// the tool's own reset (a person's cannot be told from the next board).
Failure takeLoopOptions(const Options& options) {
  if (options.station.loop && options.link.ports.empty()) {
    return refuse(ExitUsage, "--loop needs --port (one or more)");
  }
  for (size_t i = 0;
       options.station.loop && options.station.retries > 0 && i < options.link.ports.size(); ++i) {
    if (resetOf(options, i).empty())
      return refuse(ExitUsage, "--retries with --loop needs --reset");
  }
  return Failure();
}

}  // namespace

Failure takeStationOptions(Options* options) {
  const Failure loop = takeLoopOptions(*options);
  if (loop.exitCode != ExitOk) return loop;
  const bool counter = !options->record.serialCounter.empty();
  if (counter && options->record.db.empty()) {
    return refuse(ExitUsage, "--serial-counter needs the record: --db TARGET or K4471_DB");
  }
  if (counter && options->link.ports.empty())
    return refuse(ExitUsage, "--serial-counter needs --port");
  const bool source =
      !options->serials.serialStart.empty() || !options->serials.serialFile.empty() || counter;
  if (options->serials.serialAt.empty()) {
    if (source) {
      return refuse(ExitUsage,
                    "--serial-start, --serial-file and --serial-counter need --serial-at ADDR");
    }
    bool serialNamed = false;
    for (const std::string& expect : options->expect) {
      serialNamed = serialNamed || expect.find(SerialPlaceholder) != std::string::npos;
    }
    if (serialNamed) {
      return refuse(ExitUsage,
                    "--expect names {serial}, but the boards are not numbered: give "
                    "--serial-at with --serial-start, --serial-file or --serial-counter");
    }
    return Failure();
  }
  // A gang's worker is handed its numbers; everyone else needs a source.
  if (!source && options->role != RunRole::Worker) {
    return refuse(
        ExitUsage,
        "--serial-at needs --serial-start N, --serial-file FILE or --serial-counter NAME");
  }
  std::string error;
  if (!parseSerialFormat(options->serials.serialFormat, &options->serials.serial, &error)) {
    return refuse(ExitUsage, "--serial-format: " + error);
  }
  uint64_t address = 0;
  if (!parseAddressNumber(options->serials.serialAt, &address, &error)) {
    return refuse(ExitUsage,
                  "--serial-at " + options->serials.serialAt + " is not an address: " + error);
  }
  if (!serialPlaceFits(address, options->serials.serial,
                       hasMap(*options) ? &options->flashMap.map : nullptr,
                       options->image.bootloader, &error)) {
    return refuse(ExitUsage, "--serial-at: " + error);
  }
  options->serials.serialAddress = static_cast<uint32_t>(address);
  options->serials.numbered = true;
  if (!source || counter) return Failure();  // the record's counter is checked as it opens
  // Resolved once: every station that names the file, by any link, locks
  // and writes the same path.
  if (!options->serials.serialFile.empty())
    options->serials.serialPath = resolveSerialFile(options->serials.serialFile);
  const Failure sameFile = checkReportIsNoCounter(*options);
  if (sameFile.exitCode != ExitOk) return sameFile;
  return takeFirstSerial(options);
}
