// The steps of a run on one target, for the fronts that put them together:
// one board with its retries and serial number, and a station's worker.
#pragma once

#include <string>

#include "image/image_snapshot.h"
#include "image/prepared_image.h"
#include "station/board_report.h"
#include "station/plan.h"
#include "station/progress.h"
#include "station/simulated_target.h"

// The image read and checked (a worker's handed over by its parent, with its
// board number and serial number), or the consent to erase everything. ExitOk
// to go on; *declined when nothing is to be done.
int prepareTargetRun(TargetCommand command, const Options& options, LoadedImage* loaded,
                     BoardReport* board, bool* declined);
// Takes the board's port (a simulated target's, with --simulate) for the
// link; board->port names it. ExitOk, or the exit code with the reason told.
int openTargetPortFor(const LinkPlan& link, SimulatedTarget* simulated, BoardReport* board);
// Opens board->port again after a run closed it.
int reopenTargetPort(BoardReport* board);
// The same for a station waiting for its port, saying nothing: false with
// why it does not open (portAwayText), and whether that is the port simply
// not being there (unplugged; its server down, refusing or hanging up).
bool targetPortOpensAgain(const std::string& device, std::string* away, bool* absent = nullptr);
// Waits on the open port for the target's call (within --wait) and answers
// it. ExitOk once connected.
int awaitTarget(const LinkPlan& link, Progress* progress, BoardReport* board);
// A command on a target that is connected, and where it shows and reports.
struct ConnectedRun {
  TargetCommand command;
  const Options* options;
  const ImageSnapshot* image;  // Program's
  Progress* progress;
  BoardReport* board;
  SimulatedTarget* simulated;  // --simulate's, else nullptr
};
// The command: its outcome told, then the application launched or the port
// closed (and a simulated target's flash compared with the image).
int runOnConnectedTarget(const ConnectedRun& run);
