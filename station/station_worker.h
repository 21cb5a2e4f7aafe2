// A station's worker: one port, every board that calls on it, each handed
// over by its parent (station/worker_protocol.h).
#pragma once

#include "station/plan.h"

// A station's worker (a worker with --loop): every new board that
// calls on its port, until its parent says stop or a signal comes between
// two boards (ExitOk); ExitInterrupted when a signal came inside a board.
int runStationWorker(const Options& options);
