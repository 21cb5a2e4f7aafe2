// The machine-readable result of one board, for production lines: one JSON
// object per board, one per line.
#pragma once

#include <cstdio>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "operations/exit_codes.h"
#include "station/flash_proof.h"
#include "station/output_file.h"

// The outcome of a board pulled out in the middle of its run (with exit
// code 6): its port's device went with it.
constexpr const char* RemovedOutcome = "removed";

struct BoardReport {
  std::string port;    // as given
  std::string slot;    // a station file's name for it; empty: none
  std::string device;  // what the port stood for when it was opened; empty: not opened
  std::string file;
  std::string sha256;  // of the image's bytes; empty when it was not read
  unsigned long long bytes = 0;
  unsigned long blocks = 0;
  int exitCode = 0;
  std::string outcome;  // empty: the word of exitCode
  std::time_t started = 0;
  double seconds = 0;
  std::string failedStep;  // empty when it did not fail
  std::string message;
  // A station's board: its number in this run (0: not counted), its attempt
  // (1-based), its serial number when numbered, and the SHA-256 of the data
  // bytes programmed into it in address order (empty: not known).
  unsigned long board = 0;
  int attempt = 1;
  std::optional<uint64_t> serial;
  std::string imageSha256;
  // With --expect: whether the application proved the flash (its digests
  // matched and their ranges hold every data byte programmed); unset for a
  // board not checked. The ranges with their expected values.
  std::optional<bool> proved;
  std::vector<ProofRange> proof;
  bool proofCovers = false;
};

// One line of JSON (without its line end). Texts that are not UTF-8 (a file
// name, a device) have their stray bytes replaced.
std::string boardReportLine(const BoardReport& report);

// The report file. It is opened before any board is addressed, so that one
// that cannot be written is known first, and each board's line is written
// as that board ends, so that what was done outlives the station: with one
// write, and with --report-append under a lock on the file (waited for at
// most ReportLockWaitMilliseconds), so that stations sharing one log never
// tear each other's lines.
struct ReportFile {
  bool open = false;
  bool standardOutput = false;  // "-"
  LineFile file;                // else the file
  std::string path;             // "-" for standard output
  std::string reason;           // why the first line that failed did not go out
  bool failed = false;
};
// As long as a station waits for another's hold on the serial file.
constexpr int ReportLockWaitMilliseconds = 10000;
// Truncates the file, or appends to it. False with the reason told.
bool openReportFile(ReportFile* report, const std::string& path, bool append);
void writeReportLine(ReportFile* report, const std::string& line);
// False when a line could not be written: said plainly, with what the boards
// hold (`boards`, such as "the board is programmed").
bool closeReportFile(ReportFile* report, const char* boards);
