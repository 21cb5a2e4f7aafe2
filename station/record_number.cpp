// A numbered board's wait for its number from the record's counter.
#include "station/record_number.h"

#include <chrono>
#include <thread>

RecordTake waitForRecordNumber(StationRecord* record, size_t index, const std::string& port,
                               const std::string& file, unsigned long board, const NumberWait& wait,
                               uint64_t* number, std::string* reason, bool* noneLeft) {
  using Clock = std::chrono::steady_clock;
  bool told = false;
  for (;;) {
    const RecordTake took =
        takeRecordNumber(record, index, port, file, board, number, reason, noneLeft);
    if (took != RecordTake::Unreachable) return took;
    if (!told) wait.waiting();
    told = true;
    const Clock::time_point again =
        Clock::now() + std::chrono::milliseconds(RecordRetryMilliseconds);
    while (Clock::now() < again) {
      if (wait.stop()) return RecordTake::Unreachable;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}
