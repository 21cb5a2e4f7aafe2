// The serial port algorithms, written once over the backend of each system.
#include "link/serial_port.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "link/net_port.h"
#include "link/serial_backend.h"

SharedSerialSettings serialSettings = {{DefaultSerialSettings.portNumber},
                                       DefaultSerialSettings.stopBitsCode,
                                       DefaultSerialSettings.dataBitsFlag,
                                       DefaultSerialSettings.baudRate,
                                       DefaultSerialSettings.parityCode};
std::atomic<SerialPort> serialPort{InvalidSerialPort};

namespace {

using Clock = std::chrono::steady_clock;

std::mutex pathsLock;
std::string devicePaths[11];

std::atomic<int64_t> replyLimitMs{0};
std::atomic<ReadEnd> lastEnd{ReadEnd::Frame};

std::mutex resetLock;
bool resetSet = false;
ResetLine resetLine = {ControlLine::Dtr, false};
std::atomic<ControlLineHook> controlHook{nullptr};

std::mutex openFaultLock;
PortOpenFault openFault = {PortOpenStatus::Opened, 0};

void setOpenFault(PortOpenFault fault) {
  std::lock_guard<std::mutex> hold(openFaultLock);
  openFault = fault;
}

long long millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The primitives of a port: a network port's, or the backend's.
int readByte(SerialPort port, uint8_t* byte) {
  return isNetPort(port) ? netReadByte(port, byte) : backendReadByte(port, byte);
}
void purgeInput(SerialPort port) {
  if (isNetPort(port)) {
    netPurgeInput(port);
  } else {
    backendPurgeInput(port);
  }
}
bool writeBytes(SerialPort port, const void* bytes, size_t count) {
  return isNetPort(port) ? netWrite(port, bytes, count) : backendWrite(port, bytes, count);
}
// A network port reads in slices of its own; a socket is no serial device.
bool setReadSlice(SerialPort port) {
  return isNetPort(port) || backendSetReadSlice(port);
}

bool currentResetLine(ResetLine* reset) {
  std::lock_guard<std::mutex> hold(resetLock);
  *reset = resetLine;
  return resetSet;
}

// One modem-control call of a local port: 0 or the system's reason.
int setLocalLine(SerialPort port, ControlLine line, bool asserted) {
  if (ControlLineHook hook = controlHook.load()) return hook(port, line, asserted);
  return backendSetControlLine(port, line, asserted);
}

// Holds both lines of a just opened local port at the released level, also
// past its close; 0 or the system's reason.
int holdLocalLines(SerialPort port, const ResetLine& reset) {
  if (int error = backendKeepControlLinesAtClose(port)) return error;
  if (int error = setLocalLine(port, ControlLine::Dtr, reset.inverted)) return error;
  return setLocalLine(port, ControlLine::Rts, reset.inverted);
}

}  // namespace

void setPortDevicePath(int portNumber, const char* path) {
  if (portNumber < 1 || portNumber > 10) return;
  std::lock_guard<std::mutex> hold(pathsLock);
  devicePaths[portNumber] = path ? path : "";
}

std::string portDevicePath(int portNumber) {
  if (portNumber < 1 || portNumber > 10) return std::string();
  std::lock_guard<std::mutex> hold(pathsLock);
  return devicePaths[portNumber];
}

namespace {

// Opens the device or the network port that the port number stands for.
bool openAny(SerialPort* port, const SerialSettings& settings, PortOpenFault* fault) {
  ResetLine reset;
  const bool withReset = currentResetLine(&reset);
  NetAddress address;
  const std::string path = portDevicePath(settings.portNumber);
  if (!path.empty() && parseNetAddress(path, &address)) {
    return netOpen(port, address, settings, withReset ? &reset : nullptr, fault);
  }
  if (!backendOpen(port, settings, fault)) return false;
  if (!withReset) return true;
  if (int error = holdLocalLines(*port, reset)) {
    backendClose(*port);
    *fault = {PortOpenStatus::NoControlLines, error};
    return false;
  }
  return true;
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
    const int got = readByte(port, byte);
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
  if (!setReadSlice(port)) result = 3;
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

int openSerialPort(SerialPort* port, const SerialSettings& settings) {
  *port = InvalidSerialPort;
  lastEnd.store(ReadEnd::Frame);
  PortOpenFault fault = {PortOpenStatus::NoDevice, 0};
  const bool numbered = settings.portNumber >= 1 && settings.portNumber <= 10;
  if (!numbered || !openAny(port, settings, &fault)) {
    setOpenFault(fault);
    *port = InvalidSerialPort;
    return 1;
  }
  setOpenFault({PortOpenStatus::Opened, 0});
  // Whatever the device held before we opened it is stale.
  purgeInput(*port);
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
  if (!setReadSlice(port)) return ReadEnd::LineFailed;
  const ReplyWait wait = {Clock::now(), milliseconds, 0, false};
  const ReadEnd end = awaitByte(port, byte, wait);
  return end == ReadEnd::ReplyLimit ? ReadEnd::TimeLimit : end;
}

int writeFrame(SerialPort port, const uint32_t* slots, int count) {
  // The protocol is stop and wait: a byte that came before a command is sent
  // cannot answer it (a call queued while nobody listened, or one that crossed
  // our acknowledgement), so it must not be read as the answer.
  purgeInput(port);
  for (int i = 0; i < count; ++i) {
    uint8_t byte = static_cast<uint8_t>(slots[i] & 0xFF);
    writeBytes(port, &byte, 1);
  }
  return 0;
}

int writeBlockRecord(SerialPort port, const BlockRecord& record) {
  return writeBytes(port, &record, sizeof record) ? 0 : 2;
}

void closeSerialPort(SerialPort* port) {
  if (*port != InvalidSerialPort) {
    if (isNetPort(*port)) {
      netClose(*port);
    } else {
      backendClose(*port);
    }
  }
  *port = InvalidSerialPort;
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

void setResetLine(const ResetLine* reset) {
  std::lock_guard<std::mutex> hold(resetLock);
  resetSet = reset != nullptr;
  if (reset) resetLine = *reset;
}

void setControlLineHook(ControlLineHook hook) {
  controlHook.store(hook);
}

namespace {

// Waits, in slices that look at the abort request.
void pauseFor(int milliseconds) {
  const Clock::time_point start = Clock::now();
  while (!linkAbortRequested() && millisecondsSince(start) < milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

ControlFault pulseNetReset(SerialPort port, const ResetLine& reset, int milliseconds) {
  ControlFault fault = netSetControlLine(port, reset.line, !reset.inverted);
  if (fault.status != ControlStatus::Done) return fault;
  netAwaitControl(port, milliseconds, false);
  fault = netSetControlLine(port, reset.line, reset.inverted);
  if (fault.status != ControlStatus::Done) return fault;
  if (!netAwaitControl(port, ControlConfirmMilliseconds, true)) {
    return {ControlStatus::Unconfirmed, 0};
  }
  return fault;
}

}  // namespace

ControlFault pulseReset(SerialPort port, int milliseconds) {
  ResetLine reset;
  if (port == InvalidSerialPort || !currentResetLine(&reset)) {
    return {ControlStatus::NoControlLines, 0};
  }
  if (isNetPort(port)) return pulseNetReset(port, reset, milliseconds);
  if (int error = setLocalLine(port, reset.line, !reset.inverted)) {
    return {ControlStatus::Refused, error};
  }
  pauseFor(milliseconds);
  // Released even when the pause was cut short by an abort.
  if (int error = setLocalLine(port, reset.line, reset.inverted)) {
    return {ControlStatus::Refused, error};
  }
  return {ControlStatus::Done, 0};
}
