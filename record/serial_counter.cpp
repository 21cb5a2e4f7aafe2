// Serial-number counters in the record.
#include "record/serial_counter.h"

#include <chrono>
#include <cstdlib>

#include "record/record_text.h"

namespace {

const char* const CounterColumns =
    "c.name, c.format, c.first_number, c.next_number, c.last_number, c.created,"
    " (SELECT COUNT(*) FROM k4471_serial s WHERE s.counter = c.name),"
    " (SELECT MAX(s.issued) FROM k4471_serial s WHERE s.counter = c.name)";

uint64_t number(const std::optional<std::string>& cell) {
  return cell ? std::strtoull(cell->c_str(), nullptr, 10) : 0;
}

SerialCounter counterFromRow(const DbRow& row) {
  SerialCounter c;
  c.name = row[0].value_or("");
  c.format = row[1].value_or("");
  c.first = number(row[2]);
  c.next = number(row[3]);
  c.last = number(row[4]);
  c.created = row[5].value_or("");
  c.issued = number(row[6]);
  c.lastIssuedAt = row[7].value_or("");
  return c;
}

// Whether counter NAME exists: Done, Missing or DbFault.
CounterResult counterExists(Db* db, const std::string& name) {
  std::vector<DbRow> rows;
  if (!dbExec(db, "SELECT 1 FROM k4471_counter WHERE name = $1", {dbText(name)}, &rows)) {
    return CounterResult::DbFault;
  }
  return rows.empty() ? CounterResult::Missing : CounterResult::Done;
}

// Inside the transaction: the number, the issue, the started row.
CounterResult takeInside(Db* db, const std::string& name, AttemptRow* row) {
  std::vector<DbRow> rows;
  if (!dbExec(db,
              "UPDATE k4471_counter SET next_number = next_number + 1"
              " WHERE name = $1 AND next_number <= last_number RETURNING next_number - 1",
              {dbText(name)}, &rows)) {
    return CounterResult::DbFault;
  }
  if (rows.empty() || !rows[0][0]) {
    CounterResult exists = counterExists(db, name);
    return exists == CounterResult::Done ? CounterResult::Exhausted : exists;
  }
  row->serial = number(rows[0][0]);
  row->counter = name;
  if (!dbExec(db,
              "INSERT INTO k4471_serial (counter, number, attempt_id, issued)"
              " VALUES ($1, $2, $3, $4)",
              {dbText(name), dbInt(static_cast<int64_t>(*row->serial)), dbText(row->attemptId),
               dbText(utcTimeText(std::chrono::system_clock::now()))}) ||
      !writeAttempt(db, *row)) {
    return CounterResult::DbFault;
  }
  return CounterResult::Done;
}

}  // namespace

bool validCounterName(const std::string& name, std::string* error) {
  bool good = !name.empty() && name.size() <= 64;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) good = false;
  }
  if (good && recordText(name) == name) return true;
  *error = "a counter's name is 1 to 64 characters of UTF-8 without spaces or control bytes";
  return false;
}

CounterResult createCounter(Db* db, const std::string& name, uint64_t start, uint64_t largest,
                            const std::string& format) {
  if (largest > LargestCounterNumber) largest = LargestCounterNumber;
  if (!dbExec(db,
              "INSERT INTO k4471_counter (name, format, first_number, next_number, last_number,"
              " created) VALUES ($1, $2, $3, $3, $4, $5)",
              {dbText(name), dbText(format), dbInt(static_cast<int64_t>(start)),
               dbInt(static_cast<int64_t>(largest)),
               dbText(utcTimeText(std::chrono::system_clock::now()))})) {
    return db->fault == DbFault::Conflict ? CounterResult::Exists : CounterResult::DbFault;
  }
  return CounterResult::Done;
}

bool listCounters(Db* db, std::vector<SerialCounter>* counters) {
  std::vector<DbRow> rows;
  counters->clear();
  if (!dbExec(db, std::string("SELECT ") + CounterColumns + " FROM k4471_counter c ORDER BY c.name",
              {}, &rows)) {
    return false;
  }
  for (const DbRow& row : rows) counters->push_back(counterFromRow(row));
  return true;
}

CounterResult showCounter(Db* db, const std::string& name, SerialCounter* counter) {
  std::vector<DbRow> rows;
  if (!dbExec(db,
              std::string("SELECT ") + CounterColumns + " FROM k4471_counter c WHERE c.name = $1",
              {dbText(name)}, &rows)) {
    return CounterResult::DbFault;
  }
  if (rows.empty()) return CounterResult::Missing;
  *counter = counterFromRow(rows[0]);
  return CounterResult::Done;
}

CounterResult takeSerial(Db* db, const std::string& name, AttemptRow* row) {
  row->outcome = OutcomeStarted;
  if (!dbBegin(db, true)) return CounterResult::DbFault;
  CounterResult result = takeInside(db, name, row);
  if (result == CounterResult::Done && dbCommit(db)) return result;
  dbRollback(db);
  if (result == CounterResult::Done) result = CounterResult::DbFault;
  row->serial.reset();
  row->counter.clear();
  return result;
}

std::string counterResultText(CounterResult result, const std::string& name, const Db& db) {
  switch (result) {
    case CounterResult::Done:
      return std::string();
    case CounterResult::Exists:
      return "the counter " + name + " exists already";
    case CounterResult::Missing:
      return "there is no counter " + name + " in " + db.target.shown;
    case CounterResult::Exhausted:
      return "the counter " + name + " has issued its largest number: no number is left";
    case CounterResult::DbFault:
      break;
  }
  return db.target.shown + ": " + db.error;
}
