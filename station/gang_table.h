// A gang's ports on the terminal: the table of progress lines redrawn while the boards run, and
// a gang's summary at its end.
#pragma once

#include <mutex>
#include <vector>

#include "station/gang_target.h"

// Draws the table every tenth of a second until every port has finished; `lock` guards the
// targets (station: each line with the port's tally).
void showProgress(std::vector<Target>& targets, std::mutex& lock, bool station);
// A gang's end (not a station's): each port's result; ExitOk or ExitSomeTargetsFailed.
int summarise(const std::vector<Target>& targets);
// A station's end: each port's tally, the boards' count (passed, failed) and the ports whose
// worker died; ExitInterrupted for a board interrupted, else the station's fault (its exit code),
// else ExitOk or ExitSomeTargetsFailed.
int summariseStation(const std::vector<Target>& targets, unsigned long passed, unsigned long failed,
                     int fault);
