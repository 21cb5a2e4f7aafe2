// Serial-number counters in the record: one authority for a line's stations. The database
// itself guards that no number is issued twice (UNIQUE (counter, number)).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "record/attempt_row.h"
#include "record/record_db.h"

struct SerialCounter {
  std::string name, format;                // format: as the user writes it ("u32le", "ascii:8")
  uint64_t first = 0, next = 0, last = 0;  // next > last: every number is issued
  uint64_t issued = 0;                     // numbers given to boards
  std::string created, lastIssuedAt;       // UTC; lastIssuedAt empty when none was issued
};

// Numbers are held as the engines' signed 64-bit integers: a counter's largest number is the
// smaller of its format's and this.
constexpr uint64_t LargestCounterNumber = 9223372036854775806ULL;

// A counter's name: 1 to 64 printable characters, no spaces. False with the reason.
bool validCounterName(const std::string& name, std::string* error);

enum class CounterResult { Done, Exists, Missing, Exhausted, DbFault };

// Creates counter NAME handing out start, start + 1 ... up to largest (the format's largest
// number, capped at LargestCounterNumber). Exists when there is one of that name.
CounterResult createCounter(Db* db, const std::string& name, uint64_t start, uint64_t largest,
                            const std::string& format);
// Every counter, by name; false on a database fault.
bool listCounters(Db* db, std::vector<SerialCounter>* counters);
CounterResult showCounter(Db* db, const std::string& name, SerialCounter* counter);

// Takes counter NAME's next number for a board and writes the board's started row with it, in
// one transaction (row->serial and row->counter are set here). Exhausted when the counter's
// largest number was issued; DbFault with db->error otherwise.
CounterResult takeSerial(Db* db, const std::string& name, AttemptRow* row);

// What each result says, with the name.
std::string counterResultText(CounterResult result, const std::string& name, const Db& db);
