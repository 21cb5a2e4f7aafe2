// Wire-time pacing of the simulated line: a byte crosses in ten bit times,
// after the bytes handed over before it. Portable, and driven through a clock
// that a test can fake.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

using SimClock = std::chrono::steady_clock;
using SimTime = SimClock::time_point;

// One direction of the line.
struct LinePace {
  SimTime ready{};  // when the last byte handed over has crossed the wire
};

// One byte on the wire: ten bit times at `baud` (above 0).
SimClock::duration byteTime(int baud);

// When `count` bytes handed over at `now` have crossed the wire, after the
// bytes before them; the line is taken until then.
SimTime paceBytes(LinePace* pace, int baud, SimTime now, size_t count);

// What a paced send needs from the clock and the line: the simulator gives the
// steady clock and its pseudo-terminal, a test a fake of both.
struct PacedLine {
  void* context;
  SimTime (*now)(void* context);
  // Waits until `until`; false when the wait was given up.
  bool (*sleepUntil)(void* context, SimTime until);
  // Writes what fits: the number of bytes written, 0 when there was no room
  // (after waiting a little for some), -1 when the send is to be given up.
  long (*write)(void* context, const uint8_t* bytes, size_t count);
};

// Sends bytes, paced at `baud` (0: at once). The bytes go out together once
// the last of them has crossed the wire: a message costs one sleep however
// long it is, and the line is taken until that slot, not until the sleep
// happened to end. False when the send was given up.
bool sendPaced(LinePace* pace, int baud, const PacedLine& line, const uint8_t* bytes, size_t count);

// Sleeps until `until` in short slices, waking on time for a byte slot;
// false as soon as `givenUp(context)` says so.
bool sleepUntilUnless(SimTime until, bool (*givenUp)(void* context), void* context);
