// Programming several boards at once: one worker process per port (the link
// holds one port per process), one progress line per port, and a summary.
#pragma once

#include <string>
#include <vector>

#include "station/board_report.h"
#include "station/plan.h"
#include "station/station_record.h"
#include "operations/exit_codes.h"
#include "image/image_snapshot.h"

// A gang run: the options give the ports (at most MaxForwardedWorkers), the
// file as it was given and what each board needs.
struct GangRun {
  std::string self;  // this program, started once per port as its worker
  const Options* options;
  ReportFile* report;               // nullptr: no report; else each board's line as it ends
  const ImageSnapshot* image;       // the file's bytes as this process read them
  StationRecord* record = nullptr;  // --db's: every attempt a row (station/station_record.h)
};

// Every worker is fed `image`, so that every board gets the same bytes
// whatever happens to the file meanwhile.
int runGang(const GangRun& run);
