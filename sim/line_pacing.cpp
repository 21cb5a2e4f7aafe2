// Wire-time pacing of the simulated line.
#include "sim/line_pacing.h"

#include <algorithm>
#include <thread>

SimClock::duration byteTime(int baud) {
  return std::chrono::nanoseconds(10LL * 1000000000LL / baud);
}

SimTime paceBytes(LinePace* pace, int baud, SimTime now, size_t count) {
  pace->ready = std::max(pace->ready, now) + byteTime(baud) * count;
  return pace->ready;
}

bool sendPaced(LinePace* pace, int baud, const PacedLine& line, const uint8_t* bytes,
               size_t count) {
  if (baud > 0 && count > 0 &&
      !line.sleepUntil(line.context, paceBytes(pace, baud, line.now(line.context), count))) {
    return false;
  }
  // Bytes that find no room on the host's side have had their slots all the
  // same: they wait for room, not for new slots.
  for (size_t done = 0; done < count;) {
    const long n = line.write(line.context, bytes + done, count - done);
    if (n < 0) return false;
    done += size_t(n);
  }
  return true;
}

bool sleepUntilUnless(SimTime until, bool (*givenUp)(void* context), void* context) {
  for (;;) {
    if (givenUp(context)) return false;
    auto now = SimClock::now();
    if (now >= until) return true;
    auto left = until - now;
    if (left < std::chrono::microseconds(60)) {
      // The last moments of a byte slot: a sleep would wake too late.
      std::this_thread::yield();
      continue;
    }
    auto slice = std::min<SimClock::duration>(left - std::chrono::microseconds(50),
                                              std::chrono::milliseconds(20));
    std::this_thread::sleep_for(slice);
  }
}
