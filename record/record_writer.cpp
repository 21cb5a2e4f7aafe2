// A station's writer to the record: a queue with its own thread.
#include "record/record_writer.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "record/record_spool.h"
#include "record/station_status.h"

using Clock = std::chrono::steady_clock;

struct RecordWriter {
  RecordWriterSetup setup;
  std::mutex mutex;  // guards queue and stopping
  std::condition_variable wake;
  std::deque<AttemptRow> queue;
  bool stopping = false;
  std::thread thread;
  // The thread's own.
  Db db;
  RecordSpool spool;
  bool spoolWaiting = false;
  Clock::time_point nextTry, nextDrain, nextHeartbeat;
  // The takers' connection.
  std::mutex takeMutex;
  Db taker;
  std::atomic<bool> broken{false};
  std::string brokenReason;  // set before broken
  size_t remaining = 0;
  size_t rowsLost = 0;  // rows neither written nor spooled (the thread's own)
};

namespace {

// The database, connected when it is not and its retry is due.
bool reachable(RecordWriter* w) {
  if (dbConnected(w->db)) return true;
  if (Clock::now() < w->nextTry) return false;
  w->nextTry = Clock::now() + w->setup.retry;
  return openRecord(&w->db, w->setup.target, true);
}

void lost(RecordWriter* w) {
  if (w->db.fault != DbFault::Unreachable) return;
  dbClose(&w->db);
  w->nextTry = Clock::now() + w->setup.retry;
}

// Once a row found the spool unwritable the rest are not tried there: each try may wait out the
// spool's lock, and the station ends without a further board.
void keep(RecordWriter* w, const AttemptRow& row) {
  if (!w->broken.load() && spoolRow(&w->spool, row)) {
    w->spoolWaiting = true;
    return;
  }
  ++w->rowsLost;
  if (!w->broken.load()) {
    w->brokenReason = "the spool cannot be written: " + w->spool.file.error;
    w->broken.store(true);
  }
}

// Straight to the database when it is there, even with rows spooled before: a row sent late
// never sets a newer one back (writeAttempt).
void write(RecordWriter* w, const AttemptRow& row) {
  if (reachable(w) && writeAttempt(&w->db, row)) return;
  lost(w);
  keep(w, row);
}

void drainSpool(RecordWriter* w) {
  if (!w->spoolWaiting || Clock::now() < w->nextDrain) return;
  w->nextDrain = Clock::now() + w->setup.retry;
  if (!reachable(w)) return;
  if (!sendSpool(&w->spool, &w->db)) lost(w);
  w->spoolWaiting = spooledRows(&w->spool) > 0;
}

void heartbeat(RecordWriter* w) {
  if (Clock::now() < w->nextHeartbeat) return;
  w->nextHeartbeat = Clock::now() + w->setup.heartbeat;
  if (!reachable(w)) return;
  if (!writeHeartbeat(&w->db, w->setup.station, w->setup.toolVersion,
                      std::chrono::system_clock::now())) {
    lost(w);
  }
}

void run(RecordWriter* w) {
  std::unique_lock<std::mutex> lock(w->mutex);
  for (;;) {
    auto due = std::min(w->nextHeartbeat, w->spoolWaiting ? w->nextDrain : w->nextHeartbeat);
    w->wake.wait_until(lock, due, [w] { return w->stopping || !w->queue.empty(); });
    std::deque<AttemptRow> rows;
    rows.swap(w->queue);
    bool stopping = w->stopping;
    lock.unlock();
    for (const AttemptRow& row : rows) write(w, row);
    drainSpool(w);
    heartbeat(w);
    lock.lock();
    if (stopping && w->queue.empty()) break;
  }
  lock.unlock();
  // The end's one more chance for the spool.
  w->nextTry = w->nextDrain = Clock::now();
  drainSpool(w);
  w->remaining = spooledRows(&w->spool);
}

}  // namespace

RecordWriter* startRecordWriter(const RecordWriterSetup& setup, std::string* error) {
  RecordWriter* w = new RecordWriter;
  w->setup = setup;
  if (w->setup.spoolPath.empty()) w->setup.spoolPath = defaultSpoolPath();
  if (w->setup.spoolPath.empty()) {
    *error = "no place for the spool: give --db-spool FILE";
    delete w;
    return nullptr;
  }
  if (!openSpool(&w->spool, w->setup.spoolPath, setup.target, error)) {
    delete w;
    return nullptr;
  }
  w->spoolWaiting = spooledRows(&w->spool) > 0;
  w->nextTry = w->nextDrain = w->nextHeartbeat = Clock::now();
  w->thread = std::thread(run, w);
  return w;
}

void recordAttempt(RecordWriter* writer, const AttemptRow& row) {
  {
    std::lock_guard<std::mutex> lock(writer->mutex);
    writer->queue.push_back(row);
  }
  writer->wake.notify_one();
}

CounterResult takeBoardSerial(RecordWriter* writer, const std::string& counter, AttemptRow* row,
                              std::string* reason) {
  std::lock_guard<std::mutex> lock(writer->takeMutex);
  Db* db = &writer->taker;
  CounterResult result = CounterResult::DbFault;
  if (dbConnected(*db) || openRecord(db, writer->setup.target, true)) {
    result = takeSerial(db, counter, row);
  }
  if (result == CounterResult::DbFault && db->fault == DbFault::Unreachable) dbClose(db);
  *reason = counterResultText(result, counter, *db);
  return result;
}

bool recordWriterBroken(RecordWriter* writer, std::string* reason) {
  if (!writer->broken.load()) return false;
  *reason = writer->brokenReason;
  return true;
}

size_t finishRecordWriter(RecordWriter* writer, size_t* lost) {
  {
    std::lock_guard<std::mutex> lock(writer->mutex);
    writer->stopping = true;
  }
  writer->wake.notify_one();
  writer->thread.join();
  size_t remaining = writer->remaining;
  if (lost) *lost = writer->rowsLost;
  dbClose(&writer->db);
  dbClose(&writer->taker);
  closeSpool(&writer->spool);
  delete writer;
  return remaining;
}
