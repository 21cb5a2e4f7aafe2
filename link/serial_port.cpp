// The serial port algorithms, written once over the backend of each system.
#include "link/serial_port.h"

#include <chrono>
#include <mutex>

#include "link/serial_backend.h"

SharedSerialSettings serialSettings = {{DefaultSerialSettings.portNumber},
                                       DefaultSerialSettings.stopBitsCode,
                                       DefaultSerialSettings.dataBitsFlag,
                                       DefaultSerialSettings.baudRate,
                                       DefaultSerialSettings.parityCode};
std::atomic<SerialPort> serialPort{InvalidSerialPort};

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> abortRequested{0};

// Platform numbering of parity and stop bits.
constexpr uint8_t NoParity = 0, OddParity = 1, EvenParity = 2;
constexpr uint8_t OneStopBit = 0, OneAndHalfStopBits = 1, TwoStopBits = 2;

std::atomic<int64_t> replyLimitMs{0};
std::atomic<ReadEnd> lastEnd{ReadEnd::Frame};

std::mutex openFaultLock;
PortOpenFault openFault = {PortOpenStatus::Opened, 0};

void setOpenFault(PortOpenFault fault) {
  std::lock_guard<std::mutex> hold(openFaultLock);
  openFault = fault;
}

long long millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The limits of one read of a reply: the reply limit runs from the start of
// the read, the timed limit (0: none) from the start of each byte's wait.
struct ReplyWait {
  Clock::time_point start;
  int64_t replyLimitMs;
  int timedLimitMs;
  bool gotBytes;
};

// Waits for one byte in slices, looking at the abort request and at the
// reply limit before every slice and every byte, so that neither silence nor
// a line that never stops talking keeps a wait from ending.
ReadEnd awaitByte(SerialPort port, uint8_t* byte, const ReplyWait& wait) {
  const Clock::time_point byteStart = Clock::now();
  for (;;) {
    if (linkAbortRequested()) return ReadEnd::Aborted;
    if (wait.replyLimitMs > 0 && millisecondsSince(wait.start) >= wait.replyLimitMs) {
      return wait.gotBytes ? ReadEnd::OtherData : ReadEnd::ReplyLimit;
    }
    const int got = backendReadByte(port, byte);
    if (got > 0) return ReadEnd::Frame;
    if (got < 0) return ReadEnd::LineFailed;
    if (wait.timedLimitMs > 0 && millisecondsSince(byteStart) >= wait.timedLimitMs) {
      return ReadEnd::TimeLimit;
    }
  }
}

// Blocking reads pass 0 for the time limit, timed reads their limit per byte.
int readReply(SerialPort port, uint32_t* slots, int count, int timedLimitMs) {
  int result = 0;
  if (!backendSetReadSlice(port)) result = 3;
  ReplyWait wait = {Clock::now(), replyLimitMs.load(), timedLimitMs, false};
  int index = 0;
  while (index < count) {
    uint8_t byte = 0;
    const ReadEnd end = awaitByte(port, &byte, wait);
    if (end != ReadEnd::Frame) {
      lastEnd.store(end);
      return 3;
    }
    wait.gotBytes = true;
    slots[index] = (slots[index] & 0xFFFFFF00u) | byte;
    if (slots[0] == ReplyLeadByte) {
      if (byte == 0x0D || byte == 0x0A) break;
      ++index;
    } else {
      index = 0;
    }
  }
  lastEnd.store(ReadEnd::Frame);
  return result;
}

}  // namespace

LineState lineStateFor(const SerialSettings& settings) {
  LineState state;
  state.baudRate = static_cast<uint32_t>(settings.baudRate);
  state.byteSize = settings.dataBitsFlag == 0 ? 7 : 8;
  switch (settings.parityCode) {
    case 1:
      state.parity = EvenParity;
      break;
    case 2:
      state.parity = OddParity;
      break;
    default:
      state.parity = NoParity;
      break;
  }
  switch (settings.stopBitsCode) {
    case 1:
      state.stopBits = OneAndHalfStopBits;
      break;
    case 2:
      state.stopBits = TwoStopBits;
      break;
    default:
      state.stopBits = OneStopBit;
      break;
  }
  return state;
}

int openSerialPort(SerialPort* port, const SerialSettings& settings) {
  *port = InvalidSerialPort;
  lastEnd.store(ReadEnd::Frame);
  PortOpenFault fault = {PortOpenStatus::NoDevice, 0};
  const bool numbered = settings.portNumber >= 1 && settings.portNumber <= 10;
  if (!numbered || !backendOpen(port, settings, &fault)) {
    setOpenFault(fault);
    *port = InvalidSerialPort;
    return 1;
  }
  setOpenFault({PortOpenStatus::Opened, 0});
  // Whatever the device held before we opened it is stale.
  backendPurgeInput(*port);
  return 0;
}

int readReplyBlocking(SerialPort port, uint32_t* slots, int count) {
  return readReply(port, slots, count, 0);
}

int readReplyTimed(SerialPort port, uint32_t* slots, int count) {
  return readReply(port, slots, count, TimedReadMilliseconds);
}

ReadEnd readAnyByte(SerialPort port, uint8_t* byte, int64_t milliseconds) {
  if (linkAbortRequested()) return ReadEnd::Aborted;
  if (milliseconds <= 0) return ReadEnd::TimeLimit;
  if (!backendSetReadSlice(port)) return ReadEnd::LineFailed;
  const ReplyWait wait = {Clock::now(), milliseconds, 0, false};
  const ReadEnd end = awaitByte(port, byte, wait);
  return end == ReadEnd::ReplyLimit ? ReadEnd::TimeLimit : end;
}

int writeFrame(SerialPort port, const uint32_t* slots, int count) {
  // The protocol is stop and wait: a byte that came before a command is sent
  // cannot answer it (a call queued while nobody listened, or one that crossed
  // our acknowledgement), so it must not be read as the answer.
  backendPurgeInput(port);
  for (int i = 0; i < count; ++i) {
    uint8_t byte = static_cast<uint8_t>(slots[i] & 0xFF);
    backendWrite(port, &byte, 1);
  }
  return 0;
}

int writeBlockRecord(SerialPort port, const BlockRecord& record) {
  return backendWrite(port, &record, sizeof record) ? 0 : 2;
}

void closeSerialPort(SerialPort* port) {
  if (*port != InvalidSerialPort) backendClose(*port);
  *port = InvalidSerialPort;
}

void requestLinkAbort() {
  abortRequested.store(1);
}
void clearLinkAbort() {
  abortRequested.store(0);
}
bool linkAbortRequested() {
  return abortRequested.load() != 0;
}

void setReplyLimit(int64_t milliseconds) {
  replyLimitMs.store(milliseconds > 0 ? milliseconds : 0);
}

PortOpenFault lastPortOpenFault() {
  std::lock_guard<std::mutex> hold(openFaultLock);
  return openFault;
}

ReadEnd lastReadEnd() {
  return lastEnd.load();
}
