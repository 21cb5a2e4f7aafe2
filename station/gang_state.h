// What a gang's parent shares between the threads that follow its workers:
// the station's count of boards and numbers, the gang itself, their lock, and
// how each board gets its number.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "station/board_image.h"
#include "station/board_report.h"
#include "station/gang.h"
#include "station/gang_target.h"
#include "station/plan.h"

struct StationConsole;
struct StationRecord;

// Held while the targets, the station and the report are changed.
extern std::mutex targetsLock;
// Told when a board ends or the station stops granting boards.
extern std::condition_variable stationChanged;

// A station's count of boards and numbers, shared by its followers.
struct Station {
  unsigned long granted = 0, passed = 0, failed = 0, inFlight = 0;
  SerialCounter counter;  // --serial-start's
  bool done = false;      // no further board is granted
  int fault = 0;          // the exit code of a number that could not be taken
  std::string noneLeft;   // "No serial number is left after N.", when so
};

// What the workers share: the file as it was given, what each worker is fed
// (the file's bytes as the parent read them, and the permission to take its
// board), and the report.
struct Gang {
  std::string file;
  std::vector<uint8_t> input;
  ReportFile* report;
  bool plain;    // progress as plain lines
  bool notices;  // a port's notices as plain lines (no bars)
  const Options* options;
  Station* station;                   // a station's (--loop), else nullptr
  StationConsole* console = nullptr;  // --console's
  StationRecord* record = nullptr;    // --db's
  std::vector<Target>* targets = nullptr;
  bool workerReports = false;  // each worker sends its board's line
};

// Whether a station's worker may take the board that called: waits while the
// boards under way could still make up --count.
bool grantBoard(const Options& options, Station* station, std::unique_lock<std::mutex>* hold);
// The board that called: its number from where numbers come (SerialTake::Taken also when it
// needs none), its board number given. Called with the lock held (*hold).
SerialTake numberBoard(Target* target, const Gang& gang, std::unique_lock<std::mutex>* hold,
                       uint64_t* serial, std::string* error);
// A gang's board's number, before any board is addressed: ExitOk, or the exit code told.
int numberTarget(const Target& target, const Gang& gang, Station* station, uint64_t* number,
                 std::string* why);
