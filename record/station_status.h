// The stations of the line as the record knows them: each one's heartbeat (written by its
// record writer every few seconds) and its newest attempt, and what that makes of it for a
// reader: alive, idle, or not heard from.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "record/record_db.h"

// A heartbeat older than this: the station is not heard from (it writes one every 5 s).
constexpr std::chrono::seconds HeartbeatLost{30};
// A station heard from whose newest attempt began longer ago than this is idle.
constexpr std::chrono::minutes IdleAfter{5};

// Writes (or renews) the station's heartbeat at `time`.
bool writeHeartbeat(Db* db, const std::string& station, const std::string& version,
                    std::chrono::system_clock::time_point time);

struct StationStatus {
  std::string name, version;  // version: empty for a station that never wrote a heartbeat
  std::string lastAlive;      // its last heartbeat (stored form); empty: none
  std::string lastStarted;    // its newest attempt's start; empty: none
};

// Every station with a heartbeat or an attempt, by name.
bool queryStations(Db* db, std::vector<StationStatus>* stations);

enum class StationLife { Alive, Idle, NotHeardFrom };
StationLife stationLife(const StationStatus& station, std::chrono::system_clock::time_point now);
// "alive", "idle", "not-heard-from".
const char* stationLifeName(StationLife life);
