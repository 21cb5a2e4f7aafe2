// The machine-readable result of one board, for production lines: one JSON
// object per board, one per line.
#pragma once

#include <ctime>
#include <string>

#include "cli/exit_codes.h"

struct BoardReport {
  std::string port;
  std::string file;
  std::string sha256;  // of the image's bytes; empty when it was not read
  unsigned long long bytes = 0;
  unsigned long blocks = 0;
  int exitCode = 0;
  std::time_t started = 0;
  double seconds = 0;
  std::string failedStep;  // empty when it did not fail
  std::string message;
};

// One line of JSON (without its line end).
std::string boardReportLine(const BoardReport& report);
