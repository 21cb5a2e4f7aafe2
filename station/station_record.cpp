// The line's record wired to a station's parent: every attempt a row, numbers from a counter.
#include "station/station_record.h"

#include <cstdio>
#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#include "console/machine_name.h"
#include "operations/exit_codes.h"
#include "record/record_spool.h"
#include "record/record_text.h"
#include "record/record_writer.h"
#include "station/serial_number.h"

namespace {

// The board in hand on one port: what its rows share.
struct PortAttempt {
  std::string boardId, attemptId, started;
  int attempt = 1;
  std::optional<uint64_t> serial;
  std::string counter;
};

}  // namespace

struct StationRecord {
  RecordWriter* writer = nullptr;
  DbTarget target;
  std::string station, operatorName, version, counter, spoolPath;
  std::mutex mutex;  // guards ports; never held over a database call
  std::map<size_t, PortAttempt> ports;
  std::vector<std::string> slots;  // each port's slot name, by its index (a station file's)
};

namespace {

int refuse(int code, const std::string& text) {
  fprintf(stderr, "error: %s\n", text.c_str());
  return code;
}

int databaseError(const Db& db) {
  return refuse(ExitDatabaseError, "database error: " + dbFaultText(db));
}

// The counters there, for the message that refuses a missing one.
std::string counterNames(Db* db) {
  std::vector<SerialCounter> counters;
  std::string names;
  if (!listCounters(db, &counters)) return names;
  for (const SerialCounter& counter : counters) names += (names.empty() ? "" : ", ") + counter.name;
  return names;
}

// --serial-counter's counter: there, and writing its numbers in the boards' format.
int checkCounter(const Options& options, Db* db) {
  SerialCounter counter;
  const CounterResult result = showCounter(db, options.record.serialCounter, &counter);
  if (result == CounterResult::DbFault) return databaseError(*db);
  if (result == CounterResult::Missing) {
    const std::string names = counterNames(db);
    return refuse(ExitUsage, "--serial-counter: there is no counter " +
                                 options.record.serialCounter + " in " + db->target.shown + " (" +
                                 (names.empty() ? std::string("it holds none: make one with "
                                                              "k4471-cli counter create")
                                                : "its counters: " + names) +
                                 ")");
  }
  const std::string format = serialFormatName(options.serials.serial);
  if (counter.format != format) {
    return refuse(ExitUsage, "--serial-counter " + options.record.serialCounter +
                                 " writes its numbers as " + counter.format +
                                 ", not as --serial-format " + format);
  }
  return ExitOk;
}

// The database there and its tables made, the counter checked, before any board.
int checkRecord(const Options& options, const DbTarget& target) {
  Db db;
  int code = ExitOk;
  if (!openRecord(&db, target, true)) {
    code = databaseError(db);
  } else if (!options.record.serialCounter.empty()) {
    code = checkCounter(options, &db);
  }
  dbClose(&db);
  return code;
}

AttemptRow startedRow(const StationRecord& record, const PortAttempt& slot, const std::string& port,
                      const std::string& file, unsigned long board) {
  AttemptRow row;
  row.attemptId = slot.attemptId;
  row.boardId = slot.boardId;
  row.station = record.station;
  row.operatorName = record.operatorName;
  row.port = port;
  row.board = board;
  row.attempt = slot.attempt;
  row.serial = slot.serial;
  row.counter = slot.counter;
  row.file = file;
  row.started = slot.started;
  row.toolVersion = record.version;
  return row;
}

// A report line as a completed row: the one place a board's report becomes a row, so that
// both hold the same fields.
AttemptRow completedRow(const StationRecord& record, const PortAttempt& slot,
                        const std::string& line) {
  nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
  if (!object.is_object()) object = nlohmann::json::object();
  object["attempt_id"] = slot.attemptId;
  AttemptRow row;
  attemptFromJson(object, &row);
  if (row.outcome.empty()) row.outcome = "communication-error";
  row.boardId = slot.boardId;
  row.station = record.station;
  row.operatorName = record.operatorName;
  if (!row.serial) row.serial = slot.serial;
  row.counter = slot.counter;
  row.started = slot.started;
  row.ended = utcTimeText(std::chrono::system_clock::now());
  row.toolVersion = record.version;
  return row;
}

std::string slotAt(const StationRecord& record, size_t index) {
  return index < record.slots.size() ? record.slots[index] : std::string();
}

PortAttempt firstAttempt() {
  PortAttempt slot;
  slot.boardId = slot.attemptId = newAttemptId();
  slot.started = utcTimeText(std::chrono::system_clock::now());
  return slot;
}

}  // namespace

StationRecord* openStationRecord(const Options& options, const std::string& version, int* code) {
  *code = ExitOk;
  if (options.record.db.empty() || (options.role == RunRole::Worker))
    return nullptr;  // a worker never writes it
  DbTarget target;
  std::string error;
  if (!parseDbTarget(options.record.db, &target, &error)) {
    *code = refuse(ExitUsage, "--db: " + error);
    return nullptr;
  }
  if ((*code = checkRecord(options, target)) != ExitOk) return nullptr;
  RecordWriterSetup setup;
  setup.target = target;
  setup.spoolPath = options.record.dbSpool.empty() ? defaultSpoolPath() : options.record.dbSpool;
  setup.station = options.record.station.empty() ? machineName() : options.record.station;
  if (setup.station.empty()) setup.station = "station";
  setup.toolVersion = version;
  RecordWriter* writer = startRecordWriter(setup, &error);
  if (!writer) {
    *code = refuse(ExitFileError, "the record's spool " + setup.spoolPath + ": " + error);
    return nullptr;
  }
  StationRecord* record = new StationRecord;
  record->writer = writer;
  record->target = target;
  record->station = setup.station;
  record->operatorName = options.record.operatorName;
  record->version = version;
  record->counter = options.record.serialCounter;
  record->spoolPath = setup.spoolPath;
  record->slots = options.link.slots;
  return record;
}

bool recordNumbers(const StationRecord* record) {
  return record && !record->counter.empty();
}

void recordStarted(StationRecord* record, size_t index, const std::string& port,
                   const std::string& file, unsigned long board, std::optional<uint64_t> serial) {
  if (!record) return;
  std::lock_guard<std::mutex> hold(record->mutex);
  PortAttempt& slot = record->ports[index] = firstAttempt();
  slot.serial = serial;
  AttemptRow row = startedRow(*record, slot, port, file, board);
  row.slot = slotAt(*record, index);
  recordAttempt(record->writer, row);
}

void recordEnded(StationRecord* record, size_t index, const std::string& line, bool again) {
  if (!record) return;
  std::lock_guard<std::mutex> hold(record->mutex);
  auto found = record->ports.find(index);
  if (found == record->ports.end()) found = record->ports.emplace(index, firstAttempt()).first;
  PortAttempt& slot = found->second;
  const AttemptRow row = completedRow(*record, slot, line);
  recordAttempt(record->writer, row);
  if (!again) {
    record->ports.erase(found);
    return;
  }
  slot.attemptId = newAttemptId();
  slot.started = utcTimeText(std::chrono::system_clock::now());
  ++slot.attempt;
  AttemptRow next = startedRow(*record, slot, row.port, row.file, row.board);
  next.slot = row.slot;
  recordAttempt(record->writer, next);
}

RecordTake takeRecordNumber(StationRecord* record, size_t index, const std::string& port,
                            const std::string& file, unsigned long board, uint64_t* number,
                            std::string* reason, bool* noneLeft) {
  *noneLeft = false;
  if (!record) return RecordTake::Refused;
  PortAttempt slot = firstAttempt();
  AttemptRow row = startedRow(*record, slot, port, file, board);
  row.slot = slotAt(*record, index);
  const CounterResult result = takeBoardSerial(record->writer, record->counter, &row, reason);
  if (result == CounterResult::DbFault) return RecordTake::Unreachable;
  if (result != CounterResult::Done || !row.serial) {
    *noneLeft = result == CounterResult::Exhausted;
    return RecordTake::Refused;
  }
  *number = *row.serial;
  slot.serial = row.serial;
  slot.counter = row.counter;
  std::lock_guard<std::mutex> hold(record->mutex);
  record->ports[index] = slot;
  return RecordTake::Taken;
}

bool recordBroken(StationRecord* record, std::string* reason) {
  return record && recordWriterBroken(record->writer, reason);
}

namespace {

// The counter's next free number, asked at the end.
void sayNextNumber(const StationRecord& record) {
  Db db;
  SerialCounter counter;
  CounterResult result = CounterResult::DbFault;
  if (dbConnect(&db, record.target, false)) result = showCounter(&db, record.counter, &counter);
  if (result != CounterResult::Done) {
    fprintf(stderr, "The next free serial number of counter %s is not known: %s\n",
            record.counter.c_str(), dbFaultText(db).c_str());
  } else if (counter.next > counter.last) {
    fprintf(stderr, "No serial number is left in counter %s after %llu.\n", record.counter.c_str(),
            static_cast<unsigned long long>(counter.last));
  } else {
    fprintf(stderr, "The next free serial number is %llu (counter %s).\n",
            static_cast<unsigned long long>(counter.next), record.counter.c_str());
  }
  dbClose(&db);
}

}  // namespace

void closeStationRecord(StationRecord* record) {
  if (!record) return;
  size_t lost = 0;
  const size_t spooled = finishRecordWriter(record->writer, &lost);
  const char* shown = record->target.shown.c_str();
  if (lost > 0) {
    fprintf(stderr, "%zu %s not in the record %s: neither it nor the spool %s could take %s.\n",
            lost, lost == 1 ? "row is" : "rows are", shown, record->spoolPath.c_str(),
            lost == 1 ? "it" : "them");
  }
  if (spooled > 0) {
    fprintf(stderr, "%zu %s still spooled in %s for %s: the next run with this spool sends %s.\n",
            spooled, spooled == 1 ? "row is" : "rows are", record->spoolPath.c_str(), shown,
            spooled == 1 ? "it" : "them");
  } else if (lost == 0) {
    fprintf(stderr, "Every row is in the record %s.\n", shown);
  }
  if (!record->counter.empty()) sayNextNumber(*record);
  delete record;
}
