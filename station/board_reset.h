// A board reset through a control line of its port (--reset, --reset-ms):
// the pulse before a board's first call and before each retry.
#pragma once

#include "station/board_report.h"
#include "station/plan.h"
#include "station/progress.h"

// With --reset, resets the board on the open port: the line active for
// --reset-ms, then released. ExitOk (a serial server that did not confirm
// is warned of, once per port), or ExitPortError with the port and the
// system's reason told and kept in the board's report. Nothing without it.
int resetBoard(const LinkPlan& link, Progress* progress, BoardReport* board);
