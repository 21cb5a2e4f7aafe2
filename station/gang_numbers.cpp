// How a gang's boards get their numbers (station/gang_state.h): a station's
// boards granted under --count, numbers from --serial-start, the serial file or
// the record's counter.
#include "station/gang_state.h"

#include <chrono>
#include <cstdio>

#include "operations/exit_codes.h"
#include "station/interrupt.h"
#include "station/record_number.h"
#include "station/station_record.h"

namespace {

// A number from the record's counter, taken outside the lock (the board is held meanwhile, so
// that --count holds): while the database is away the port's line says so once, and a stop
// ends its wait (the board is not addressed: a signal ends the station as between two boards).
SerialTake numberFromRecord(Target* target, const Gang& gang, std::unique_lock<std::mutex>* hold,
                            uint64_t* serial, std::string* error) {
  Station* station = gang.station;
  target->board = ++station->granted;
  ++station->inFlight;
  hold->unlock();
  NumberWait wait;
  wait.stop = [station] {
    std::lock_guard<std::mutex> held(targetsLock);
    return interrupted.load() || station->done;
  };
  wait.waiting = [target, &gang] {
    std::lock_guard<std::mutex> held(targetsLock);
    target->status = "database unreachable; waiting";
    if (gang.plain || gang.notices)
      fprintf(stderr, "%s: %s\n", targetName(*target).c_str(), target->status.c_str());
  };
  bool noneLeft = false;
  const RecordTake took = waitForRecordNumber(gang.record, target->index, target->port, gang.file,
                                              target->board, wait, serial, error, &noneLeft);
  hold->lock();
  --station->inFlight;
  if (took == RecordTake::Unreachable) station->done = true;
  if (took != RecordTake::Refused) return SerialTake::Taken;
  return noneLeft ? SerialTake::NoneLeft : SerialTake::Failed;
}

}  // namespace

bool grantBoard(const Options& options, Station* station, std::unique_lock<std::mutex>* hold) {
  for (;;) {
    if (interrupted.load() || station->fault) station->done = true;
    if (options.station.count && station->passed >= options.station.count) station->done = true;
    if (station->done) return false;
    if (!options.station.count || station->passed + station->inFlight < options.station.count)
      return true;
    stationChanged.wait_for(*hold, std::chrono::milliseconds(100));
  }
}

// The board that called: its number from where numbers come (SerialTake::Taken also when it
// needs none), its board number given.
SerialTake numberBoard(Target* target, const Gang& gang, std::unique_lock<std::mutex>* hold,
                       uint64_t* serial, std::string* error) {
  Station* station = gang.station;
  if (!station->fault && recordBroken(gang.record, error)) {
    fprintf(stderr, "error: %s: no further board is addressed\n", error->c_str());
    station->fault = ExitDatabaseError;
  }
  if (!grantBoard(*gang.options, station, hold)) return SerialTake::Taken;
  if (recordNumbers(gang.record)) return numberFromRecord(target, gang, hold, serial, error);
  target->board = ++station->granted;
  if (!gang.options->serials.numbered) return SerialTake::Taken;
  return nextSerialNumber(gang.options->serials, &station->counter, serial, error);
}

// A gang's board's number, before any board is addressed: ExitOk, or the exit code told.
int numberTarget(const Target& target, const Gang& gang, Station* station, uint64_t* number,
                 std::string* why) {
  bool noneLeft = false;
  if (recordNumbers(gang.record)) {
    const RecordTake took = takeRecordNumber(gang.record, target.index, target.port, gang.file,
                                             target.board, number, why, &noneLeft);
    if (took == RecordTake::Taken) return ExitOk;
    fprintf(stderr, "error: %s\n", why->c_str());
    if (noneLeft) station->noneLeft = *why;
    return took == RecordTake::Unreachable ? ExitDatabaseError : ExitFileError;
  }
  const SerialTake took = nextSerialNumber(gang.options->serials, &station->counter, number, why);
  if (took == SerialTake::Failed) fprintf(stderr, "error: %s\n", why->c_str());
  if (took == SerialTake::NoneLeft) station->noneLeft = *why;
  return took == SerialTake::Taken ? ExitOk : ExitFileError;
}
