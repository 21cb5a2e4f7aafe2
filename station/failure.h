// A failure of a run: one value from where it happens to the board's report
// line and the exit code.
#pragma once

#include <string>

#include "operations/exit_codes.h"
#include "station/board_report.h"

struct Failure {
  int exitCode = ExitOk;  // ExitOk: no failure
  const char* step = "";  // the failed step as the report names it: file, port, connect, start
  std::string message;
};

// A failure told on standard error ("error: MESSAGE") as it happens.
Failure toldFailure(int exitCode, const char* step, const std::string& message);
// The failure into the board's report (its step, when it names one, and its
// message); its exit code returned, ExitOk for none.
int reportFailure(const Failure& failure, BoardReport* board);
