// Waits of the tests, native and Windows: on what a test observes, with
// generous limits, and the upper bound put on how long something took.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

// The upper bound on something expected to take `expectedMs`: the larger of
// three times that and that plus one second, so that a loaded machine does not
// fail a test by chance. Lower bounds are not made from it.
constexpr long generousBoundMs(long expectedMs) {
  return std::max(3 * expectedMs, expectedMs + 1000);
}

// How long a test waits for something it expects soon (a line in a file, a
// frame at the simulated target) before it gives up: its failure, not a pace.
constexpr int WaitLimitMs = 10000;

// Looks at `done` every 10 ms until it holds or `limitMs` ran out; whether it
// held.
template <typename Condition>
bool waitUntil(Condition done, int limitMs = WaitLimitMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// The milliseconds gone by since `start`.
inline long millisecondsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}
