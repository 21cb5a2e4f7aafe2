// The record's commands: counters, history and yield, read from and written to the database.
#include <chrono>
#include <cstdio>
#include <limits>

#include "operations/exit_codes.h"
#include "cli/record_commands.h"
#include "station/serial_number.h"
#include "record/record_query.h"
#include "record/record_text.h"
#include "record/serial_counter.h"

namespace {

int usage(const std::string& text) {
  fprintf(stderr, "error: %s\n", text.c_str());
  return ExitUsage;
}

int databaseError(const Db& db) {
  fprintf(stderr, "error: database error: %s%s%s\n",
          db.error.compare(0, db.target.shown.size(), db.target.shown) == 0
              ? ""
              : db.target.shown.c_str(),
          db.error.compare(0, db.target.shown.size(), db.target.shown) == 0 ? "" : ": ",
          db.error.c_str());
  return ExitDatabaseError;
}

// The record named by --db: ExitOk with it open, or the exit code told. Only counter create
// makes a SQLite file that is not there; a reader names the missing file.
int openFor(const RecordOptions& options, bool createMissing, Db* db) {
  return openNamedRecord(options.db, createMissing, db);
}

}  // namespace

int openNamedRecord(const std::string& named, bool createMissing, Db* db) {
  if (named.empty()) {
    return usage(
        "the record is named by --db TARGET or K4471_DB (a SQLite file, or "
        "postgresql://[USER@]HOST[:PORT]/DBNAME)");
  }
  DbTarget target;
  std::string error;
  if (!parseDbTarget(named, &target, &error)) return usage(error);
  if (!openRecord(db, target, createMissing)) return databaseError(*db);
  return ExitOk;
}

namespace {

// The format's largest number.
uint64_t largestOf(const SerialFormat& format) {
  if (format.encoding == SerialEncoding::U32Le || format.encoding == SerialEncoding::U32Be) {
    return 0xFFFFFFFFULL;
  }
  if (format.encoding != SerialEncoding::Ascii || format.width >= 20) {
    return std::numeric_limits<uint64_t>::max();
  }
  uint64_t largest = 1;
  for (unsigned digit = 0; digit < format.width; ++digit) largest *= 10;
  return largest - 1;
}

int counterCreate(const RecordOptions& options, Db* db) {
  std::string error;
  SerialFormat format;
  uint64_t start = 0;
  std::vector<uint8_t> bytes;
  if (!validCounterName(options.counter, &error)) return usage(error);
  if (!parseSerialFormat(options.serialFormat, &format, &error) ||
      !parseSerialNumber(options.start, &start, &error) ||
      !encodeSerial(start, format, &bytes, &error)) {
    return usage(error);
  }
  if (start > LargestCounterNumber) {
    return usage("--start takes at most " + std::to_string(LargestCounterNumber));
  }
  if (int code = openFor(options, true, db)) return code;
  CounterResult result =
      createCounter(db, options.counter, start, largestOf(format), serialFormatName(format));
  if (result == CounterResult::Exists)
    return usage(counterResultText(result, options.counter, *db));
  if (result != CounterResult::Done) return databaseError(*db);
  printf("Counter %s created: its first number is %s (%s).\n", options.counter.c_str(),
         options.start.c_str(), serialFormatName(format).c_str());
  return ExitOk;
}

std::string nextText(const SerialCounter& c) {
  return c.next > c.last ? "none: every number is issued" : std::to_string(c.next);
}

int counterList(const RecordOptions& options, Db* db) {
  if (int code = openFor(options, false, db)) return code;
  std::vector<SerialCounter> counters;
  if (!listCounters(db, &counters)) return databaseError(*db);
  if (counters.empty()) printf("No counters in %s.\n", db->target.shown.c_str());
  for (const SerialCounter& c : counters) {
    printf("%-20s %-8s next %-22s issued %llu\n", escapeForTable(c.name).c_str(), c.format.c_str(),
           nextText(c).c_str(), static_cast<unsigned long long>(c.issued));
  }
  return ExitOk;
}

// The counters there are, for a name that is not one of them.
std::string counterNames(Db* db) {
  std::vector<SerialCounter> counters;
  std::string names;
  if (!listCounters(db, &counters) || counters.empty()) return "there are none";
  for (const SerialCounter& c : counters) names += (names.empty() ? "" : ", ") + c.name;
  return "there are: " + names;
}

int counterShow(const RecordOptions& options, Db* db) {
  if (int code = openFor(options, false, db)) return code;
  SerialCounter c;
  CounterResult result = showCounter(db, options.counter, &c);
  if (result == CounterResult::Missing) {
    return usage(counterResultText(result, escapeForTable(options.counter), *db) + " (" +
                 counterNames(db) + ")");
  }
  if (result != CounterResult::Done) return databaseError(*db);
  printf(
      "counter:   %s\nformat:    %s\nfirst:     %llu\nnext:      %s\nlargest:   %llu\n"
      "issued:    %llu%s%s\ncreated:   %s\n",
      escapeForTable(c.name).c_str(), c.format.c_str(), static_cast<unsigned long long>(c.first),
      nextText(c).c_str(), static_cast<unsigned long long>(c.last),
      static_cast<unsigned long long>(c.issued), c.lastIssuedAt.empty() ? "" : ", the last at ",
      c.lastIssuedAt.c_str(), c.created.c_str());
  return ExitOk;
}

int history(const RecordOptions& options, Db* db) {
  HistoryFilter filter;
  std::string error;
  RecordFormat format = RecordFormat::Table;
  parseRecordFormat(options.format, &format);
  if (!options.serial.empty()) {
    uint64_t serial = 0;
    if (!parseSerialNumber(options.serial, &serial, &error)) return usage("--serial: " + error);
    filter.serial = serial;
  }
  if (!options.since.empty() && !parseUtcTime(options.since, &filter.since, &error)) {
    return usage("--since: " + error);
  }
  filter.station = options.station;
  filter.limit = options.limit;
  if (int code = openFor(options, false, db)) return code;
  std::vector<AttemptRow> rows;
  if (!queryHistory(db, filter, &rows)) return databaseError(*db);
  fputs(formatHistory(rows, format, std::chrono::system_clock::now()).c_str(), stdout);
  return ExitOk;
}

int yield(const RecordOptions& options, Db* db) {
  std::string since, error;
  RecordFormat format = RecordFormat::Table;
  YieldBy by = YieldBy::Station;
  parseRecordFormat(options.format, &format);
  parseYieldBy(options.by, &by);
  if (!options.since.empty() && !parseUtcTime(options.since, &since, &error)) {
    return usage("--since: " + error);
  }
  if (int code = openFor(options, false, db)) return code;
  std::vector<YieldGroup> groups;
  auto now = std::chrono::system_clock::now();
  if (!queryYield(db, by, since, now, &groups)) return databaseError(*db);
  fputs(formatYield(groups, by, format).c_str(), stdout);
  return ExitOk;
}

}  // namespace

int runRecordCommand(const RecordCommands& commands, const RecordOptions& options) {
  Db db;
  int code = commands.counterCreate->parsed() ? counterCreate(options, &db)
             : commands.counterList->parsed() ? counterList(options, &db)
             : commands.counterShow->parsed() ? counterShow(options, &db)
             : commands.history->parsed()     ? history(options, &db)
                                              : yield(options, &db);
  dbClose(&db);
  return code;
}
