// How a run shows itself on the terminal: bars redrawn in place on a terminal,
// plain lines otherwise, and one line per event for a gang's worker processes
// (station/worker_protocol.h).
#pragma once

#include <cstdio>
#include <string>

#include "operations/run_logic.h"

enum class ProgressStyle { Bars, Lines, Events, Quiet };

struct Progress {
  ProgressStyle style;
  FILE* out;
  int eraseSteps;
  int programSteps;
  bool lineOpen;        // a bar is drawn and its line not yet ended
  std::string failure;  // the last failure or warning the run showed
};

Progress progressFor(FILE* out, bool quiet, bool events);
// The table of callbacks that draws a run on the progress.
RunReport progressReport(Progress* progress);
// A bar of `width` characters for `steps` of `end`: `fill` for what is done,
// dots for the rest.
std::string progressBarText(int steps, int end, int width, char fill);

// A plain message line between or after runs (ends an open bar first).
void progressNote(Progress* progress, const char* text);
// Ends an open bar line.
void progressFinish(Progress* progress);
