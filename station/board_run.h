// One board in this process: the wait for its call, its serial number, the
// run, and the runs again after a communication or erase error (--retries).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ctime>

#include "station/board_image.h"
#include "station/board_report.h"
#include "station/station_record.h"
#include "station/plan.h"

// One command on one target, with its retries and its serial number.
struct OneTarget {
  TargetCommand command;
  const Options* options;
  SerialCounter* counter;  // --serial-start's, unless a parent handed the number over
  // Called for each attempt of a board that is tried again (--retries) but
  // its last, as the attempt ends; may be empty.
  std::function<void(const BoardReport& board)> attempt;
};
// The run; the report of the board's last attempt is filled in.
int runOnOneTarget(const OneTarget& run, BoardReport* board);
// Whether a board whose attempt ended so is tried again (--retries): after a
// communication or erase error.
bool worthRetrying(int code);
// An attempt that failed and is tried again: said, and its board's run
// figures cleared for the next.
void startAgain(const Options& options, int tries, BoardReport* board);
// One board in this process, its report line written when asked for: to the
// report file, or for a gang's worker to its parent (each attempt that is
// tried again as such). startTime and started: when the process started.
int runOneBoard(TargetCommand command, const Options& options, ReportFile* report,
                StationRecord* record, std::time_t startTime,
                std::chrono::steady_clock::time_point started);
