// The line read from the record: stations, last boards, the day's yields.
#include "line/line_snapshot.h"

#include <map>

#include "record/record_text.h"

namespace {

// The day's first moment in the stored form, so that "started >= it" takes the day.
std::string dayStart(const std::string& day) {
  return day + "T00:00:00.000Z";
}

bool readStations(Db* db, std::chrono::system_clock::time_point now,
                  std::vector<LineStation>* stations) {
  std::vector<StationStatus> found;
  if (!queryStations(db, &found)) return false;
  stations->clear();
  for (const StationStatus& status : found) {
    LineStation station;
    station.status = status;
    station.life = stationLife(status, now);
    station.yield.key = status.name;
    HistoryFilter filter;
    filter.station = status.name;
    filter.limit = LastBoardsShown;
    if (!queryHistory(db, filter, &station.last)) return false;
    stations->push_back(station);
  }
  return true;
}

}  // namespace

bool readLine(Db* db, std::chrono::system_clock::time_point now, LineSnapshot* snapshot) {
  LineSnapshot read;
  read.target = db->target.shown;
  read.readAt = utcTimeText(now);
  read.day = read.readAt.substr(0, 10);
  std::vector<AttemptRow> rows;
  if (!readStations(db, now, &read.stations) || !queryBoardsSince(db, dayStart(read.day), &rows)) {
    return false;
  }
  std::map<std::string, YieldGroup> byStation;
  for (const YieldGroup& group : yieldOf(rows, YieldBy::Station, now)) {
    byStation[group.key] = group;
  }
  for (LineStation& station : read.stations) {
    auto found = byStation.find(station.status.name);
    if (found != byStation.end()) station.yield = found->second;
  }
  read.hours = yieldOf(rows, YieldBy::Hour, now);
  const std::vector<YieldGroup> day = yieldOf(rows, YieldBy::Day, now);
  read.total.key = read.day;
  if (!day.empty()) read.total = day.front();
  *snapshot = read;
  return true;
}

bool readUnit(Db* db, uint64_t serial, std::vector<AttemptRow>* rows) {
  HistoryFilter filter;
  filter.serial = serial;
  return queryHistory(db, filter, rows);
}

double firstPassYield(const YieldGroup& group) {
  return group.boards ? 100.0 * group.firstPass / group.boards : 0;
}
