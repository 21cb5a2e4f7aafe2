// The line's record wired to a station's parent: its options, the rows of every attempt (queued
// to the record's writer, so that no database call is made under the station's lock), numbers
// from a counter in the record, and the end's account. Workers never touch it. Every function
// does nothing without a record (nullptr); the Windows build has none and refuses --db.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "station/plan.h"

namespace CLI {
class App;
}

// --db, --station, --operator and --db-spool on program, erase and launch.
void addRecordOptions(CLI::App* command, Options* options);

struct StationRecord;

// Before any board is addressed: nullptr with *code ExitOk without --db or in a gang's worker
// (--progress-events); else the record
// opened (its tables made), --serial-counter's counter checked and the writer started.
// nullptr with *code told otherwise: ExitUsage (a bad target, a missing counter, this build),
// ExitDatabaseError (unreachable, the login refused, another schema), ExitFileError (the spool).
StationRecord* openStationRecord(const Options& options, const std::string& version, int* code);
// Whether the boards' numbers come from a counter in the record.
bool recordNumbers(const StationRecord* record);

// The board on the port at `index` begins an attempt: its started row is queued.
void recordStarted(StationRecord* record, size_t index, const std::string& port,
                   const std::string& file, unsigned long board, std::optional<uint64_t> serial);
// An attempt's report line (station/board_report.h): its completed row is queued; with `again`
// the board's next attempt begins at once (its started row follows).
void recordEnded(StationRecord* record, size_t index, const std::string& line, bool again);

enum class RecordTake { Taken, Unreachable, Refused };
// A numbered board's number, taken from the counter with its started row written in one
// transaction. Waits on the database: never call it under the station's lock. Unreachable: the
// board is not addressed, try again later; Refused: no number (exhausted: *noneLeft).
RecordTake takeRecordNumber(StationRecord* record, size_t index, const std::string& port,
                            const std::string& file, unsigned long board, uint64_t* number,
                            std::string* reason, bool* noneLeft);
// Once rows can be neither written nor spooled: no further board may be addressed.
bool recordBroken(StationRecord* record, std::string* reason);

// The end: the queue written, the spool tried once more; says how many rows are still spooled,
// how many are lost (neither written nor spooled) and, with a counter, its next free number.
// Frees the record.
void closeStationRecord(StationRecord* record);

// How often a port whose board waits for a number tries the database again.
constexpr int RecordRetryMilliseconds = 3000;
