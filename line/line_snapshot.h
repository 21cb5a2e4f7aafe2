// What the line's page shows, read from the record at one moment: each station with its
// heartbeat's life, its last boards and its yield for the day, the day's yield per hour, and
// the reason when the record could not be read (the last good reading is then kept).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "record/attempt_row.h"
#include "record/record_db.h"
#include "record/record_query.h"
#include "record/station_status.h"

// The attempts shown per station, newest first.
constexpr unsigned long LastBoardsShown = 10;

struct LineStation {
  StationStatus status;
  StationLife life = StationLife::NotHeardFrom;
  std::vector<AttemptRow> last;  // newest first, at most LastBoardsShown
  YieldGroup yield;              // the day's (boards 0: none)
};

struct LineSnapshot {
  std::string target;  // as shown: without user details
  std::string day;     // the UTC day the yields are of, YYYY-MM-DD
  std::string readAt;  // when the record was last read (stored form); empty: never
  std::string fault;   // why the last reading failed; empty when it did not
  std::vector<LineStation> stations;
  std::vector<YieldGroup> hours;  // the day's yield per hour
  YieldGroup total;               // the day's yield of the line
};

// Reads the line from the record as of `now`. False with db->fault and db->error (the
// snapshot then unchanged).
bool readLine(Db* db, std::chrono::system_clock::time_point now, LineSnapshot* snapshot);
// Every attempt at the unit with this serial number, newest first.
bool readUnit(Db* db, uint64_t serial, std::vector<AttemptRow>* rows);
// The share of the boards that passed at the first attempt, in percent (0 without boards).
double firstPassYield(const YieldGroup& group);
