// The stations' heartbeats and newest attempts, and their life as a reader sees it.
#include "record/station_status.h"

#include "record/record_text.h"

bool writeHeartbeat(Db* db, const std::string& station, const std::string& version,
                    std::chrono::system_clock::time_point time) {
  return dbExec(
      db,
      "INSERT INTO k4471_station (name, version, last_alive) VALUES ($1, $2, $3)"
      " ON CONFLICT (name) DO UPDATE SET version = excluded.version,"
      " last_alive = excluded.last_alive",
      {dbText(recordText(station)), dbText(recordText(version)), dbText(utcTimeText(time))});
}

bool queryStations(Db* db, std::vector<StationStatus>* stations) {
  // The stations with a heartbeat, then those with attempts only.
  const char* const sql =
      "SELECT s.name, s.version, s.last_alive,"
      " (SELECT MAX(a.started) FROM k4471_attempt a WHERE a.station = s.name)"
      " FROM k4471_station s"
      " UNION ALL"
      " SELECT station, NULL, NULL, MAX(started) FROM k4471_attempt"
      " WHERE station NOT IN (SELECT name FROM k4471_station) GROUP BY station"
      " ORDER BY 1";
  std::vector<DbRow> rows;
  stations->clear();
  if (!dbExec(db, sql, {}, &rows)) return false;
  for (const DbRow& row : rows) {
    if (row.size() < 4 || !row[0]) continue;
    StationStatus station;
    station.name = *row[0];
    station.version = row[1].value_or("");
    station.lastAlive = row[2].value_or("");
    station.lastStarted = row[3].value_or("");
    stations->push_back(station);
  }
  return true;
}

StationLife stationLife(const StationStatus& station, std::chrono::system_clock::time_point now) {
  std::chrono::system_clock::time_point alive, started;
  if (!storedTime(station.lastAlive, &alive) || now - alive > HeartbeatLost) {
    return StationLife::NotHeardFrom;
  }
  if (!storedTime(station.lastStarted, &started) || now - started > IdleAfter) {
    return StationLife::Idle;
  }
  return StationLife::Alive;
}

const char* stationLifeName(StationLife life) {
  switch (life) {
    case StationLife::Alive:
      return "alive";
    case StationLife::Idle:
      return "idle";
    case StationLife::NotHeardFrom:
      return "not-heard-from";
  }
  return "";
}
