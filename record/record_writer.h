// A station's writer to the record: a queue with its own thread, so that the station's parent
// never calls the database while it holds its shared state. Rows that cannot be written go to
// the local spool and are sent at the next chance and at the end.
//
// The parent's use: startRecordWriter once the options are taken (before any board); for each
// attempt, recordAttempt with the started row before the board is addressed and with the
// completed row when it ends (the same attemptId; a board's first attempt id is its boardId);
// for a numbered board, takeBoardSerial instead of the started row, called outside the state's
// lock; recordWriterBroken before each board; finishRecordWriter at the end.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "record/attempt_row.h"
#include "record/record_db.h"
#include "record/serial_counter.h"

struct RecordWriterSetup {
  DbTarget target;
  std::string spoolPath;  // defaultSpoolPath() unless given
  std::string station, toolVersion;
  // How often the station's heartbeat is written, and a database that went away tried again.
  std::chrono::milliseconds heartbeat{5000}, retry{3000};
};

struct RecordWriter;

// Opens the spool and starts the thread (the database is reached from the thread: call
// openRecord first to refuse a database that is not there before any board). Null with the
// reason when the spool cannot be opened.
RecordWriter* startRecordWriter(const RecordWriterSetup& setup, std::string* error);

// Queues a row, started or completed (by its outcome); never waits on the database.
void recordAttempt(RecordWriter* writer, const AttemptRow& row);

// Takes counter NAME's next number for a board and writes its started row, in one transaction,
// on a connection of its own. Blocks while the database answers: the caller holds no lock.
// DbFault with the reason when the database cannot be reached (the board is not addressed: try
// again later); Missing and Exhausted refuse the board.
CounterResult takeBoardSerial(RecordWriter* writer, const std::string& counter, AttemptRow* row,
                              std::string* reason);

// True once a row could be neither written nor spooled: no further board may be addressed.
bool recordWriterBroken(RecordWriter* writer, std::string* reason);

// Writes what is queued, sends the spool once more, stops the thread and frees the writer.
// Returns how many rows are still spooled for this database; *lost (when given): how many could
// be neither written nor spooled.
size_t finishRecordWriter(RecordWriter* writer, size_t* lost = nullptr);
