// The commands that ask the line's record: counter create/list/show, history and yield, each
// with --db (default K4471_DB). The Windows build has no database and refuses them.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

struct RecordOptions {
  std::string db;
  std::string counter, start, serialFormat = "u32le";  // counter create and show
  std::string serial, station, since;                  // history filters (since: yield too)
  unsigned long limit = 0;
  std::string format = "table", by = "station";
};

struct RecordCommands {
  CLI::App* counter = nullptr;
  CLI::App* counterCreate = nullptr;
  CLI::App* counterList = nullptr;
  CLI::App* counterShow = nullptr;
  CLI::App* history = nullptr;
  CLI::App* yield = nullptr;
};

void addRecordCommands(CLI::App* app, RecordOptions* options, RecordCommands* commands);
// Whether one of them was given.
bool recordCommandGiven(const RecordCommands& commands);
// Runs the one given: ExitOk, ExitUsage, or ExitDatabaseError with the server's reason.
int runRecordCommand(const RecordCommands& commands, const RecordOptions& options);
// The record named by --db (native builds), open: ExitOk, or the exit code
// told (ExitUsage for no or a bad target, ExitDatabaseError with the server's
// reason). Only createMissing makes a SQLite file that is not there.
struct Db;
int openNamedRecord(const std::string& named, bool createMissing, Db* db);
