// The line's record in the Windows build: refused, as it has no database client.
#include <cstdio>

#include "operations/exit_codes.h"
#include "station/station_record.h"

StationRecord* openStationRecord(const Options& options, const std::string&, int* code) {
  *code = ExitOk;
  if (options.events || (options.db.empty() && options.serialCounter.empty())) return nullptr;
  fprintf(stderr,
          "error: the database (--db, K4471_DB, --serial-counter) is not available in the "
          "Windows build; use k4471-cli on Linux or macOS\n");
  *code = ExitUsage;
  return nullptr;
}

bool recordNumbers(const StationRecord*) {
  return false;
}

void recordStarted(StationRecord*, size_t, const std::string&, const std::string&, unsigned long,
                   std::optional<uint64_t>) {}

void recordEnded(StationRecord*, size_t, const std::string&, bool) {}

RecordTake takeRecordNumber(StationRecord*, size_t, const std::string&, const std::string&,
                            unsigned long, uint64_t*, std::string*, bool*) {
  return RecordTake::Refused;
}

bool recordBroken(StationRecord*, std::string*) {
  return false;
}

void closeStationRecord(StationRecord*) {}
