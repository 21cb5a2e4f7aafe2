// Bootloader operations: each is a fixed exchange of frames with the target
// over the one SerialPort, and returns a LinkResult.
#pragma once

#include <cstdint>

#include "link/frames.h"
#include "link/serial_port.h"

enum LinkResult : int32_t {
  LinkOk = 0,
  LinkWriteFailed = 2,
  LinkNoData = 3,
  LinkPortUnavailable = 5,
  LinkNoAck = 7,
  LinkUnexpectedReply = 8,
  // connectToTarget only: its wait was aborted; the port has been closed.
  LinkAborted = 20,
};

// Opens the port of the settings, waits with no time limit for the target's
// call, acknowledges it and expects the confirmation. 0, 5 or 7 (or
// LinkAborted); the port stays open only on 0. A line that fails during the
// wait for the call gives 5, as a port that does not open.
int32_t connectToTarget(const SerialSettings& settings);
// The two halves of connectToTarget, for a front that reports a port that
// does not open before it waits: the port opened as the link's (0, or 5 with
// lastPortOpenFault telling why), then the wait on it, with the results and
// the closing of connectToTarget.
int32_t openTargetPort(const SerialSettings& settings);
int32_t awaitTargetCall();
// Sends the launch frame and closes the port. Always 0.
int32_t launchTarget();
// Closes the port. Always 0.
int32_t closeTargetPort();
// One command, one timed reply: 0 on the awaited reply, else 8.
int32_t startErase();
int32_t startEraseAll();
int32_t startProgramApplication();
int32_t startProgramBootloader();
int32_t endProgramming();
// Block-follows frame, then the record; either acknowledgement accepted at both
// steps. 0 or 8.
int32_t sendBlock(BlockRecord record);
// One blocking reply: 4, 5, 9 or 10 as decoded, anything else 8.
int32_t readProgressReply();
