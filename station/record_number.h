// A numbered board's wait for its number from the record's counter: tried again every few
// seconds while the database cannot be reached, until it comes or the station stops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "station/station_record.h"

struct NumberWait {
  std::function<bool()> stop;     // true: the station stops; the board is not addressed
  std::function<void()> waiting;  // called once, when the database is first found away
};

// Taken or Refused as takeRecordNumber says; Unreachable only once wait.stop() is true.
RecordTake waitForRecordNumber(StationRecord* record, size_t index, const std::string& port,
                               const std::string& file, unsigned long board, const NumberWait& wait,
                               uint64_t* number, std::string* reason, bool* noneLeft);
