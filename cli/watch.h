// The developer's loop (--watch): the board programmed, then again each time
// the image file changes, on one port kept open (with its lock) between the
// rounds; with --monitor the application's lines are shown between them.
#pragma once

#include <string>

#include "station/board_report.h"
#include "station/plan.h"
#include "station/station_record.h"
#include "cli/file_watch.h"

// What the watch keeps between its rounds.
struct WatchState {
  const Options* options = nullptr;
  ReportFile* report = nullptr;
  StationRecord* record = nullptr;  // --db's: every round a row
  FileWatch file;
  std::string device;        // the port
  std::string lastSegments;  // what the last good round put on the board; empty: unknown
  int lastCode = 0;          // the last round's exit code
  int rounds = 0;
  bool keys = false;  // r and q are read from the terminal
};

// Runs the rounds until q, Ctrl-C or SIGTERM between two rounds (the last
// round's code) or inside one (ExitInterrupted). The terminal's settings are
// restored on every way out, and the report closed. With a record, each round
// is a row; once rows can be neither written nor spooled, no further round.
int runWatch(const Options& options, ReportFile* report, StationRecord* record);

// One round (watch_round.cpp): the file read and checked (a fault told and
// reported, the board untouched), skipped when it holds the same segments as
// the last good round (unless forced: --force or the r key), else the board
// reset (--reset) or waited for and programmed. Its report line is written;
// s->lastCode is its code.
void watchRound(WatchState* s, bool forced);
