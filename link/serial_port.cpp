// The serial port algorithms, written once over the backend of each system.
#include "link/serial_port.h"

#include "link/serial_backend.h"

SerialSettings serialSettings = DefaultSerialSettings;
std::atomic<SerialPort> serialPort{InvalidSerialPort};

namespace {

std::atomic<int> abortRequested{0};

// Platform numbering of parity and stop bits.
constexpr uint8_t NoParity = 0, OddParity = 1, EvenParity = 2;
constexpr uint8_t OneStopBit = 0, OneAndHalfStopBits = 1, TwoStopBits = 2;

int readReply(SerialPort port, uint32_t* slots, int count, ReadDiscipline discipline) {
  int result = 0;
  if (!backendSetDiscipline(port, discipline)) result = 3;
  int index = 0;
  while (index < count) {
    uint8_t byte = 0;
    int got = backendReadByte(port, &byte);
    // A blocking wait goes on slice after slice until a byte comes or the wait
    // is aborted; a timed read gives up after its one limit.
    while (got == 0 && discipline == ReadDiscipline::Blocking && !linkAbortRequested()) {
      got = backendReadByte(port, &byte);
    }
    if (got == 0) return 3;
    slots[index] = (slots[index] & 0xFFFFFF00u) | byte;
    if (slots[0] == ReplyLeadByte) {
      if (byte == 0x0D || byte == 0x0A) break;
      ++index;
    } else {
      index = 0;
    }
  }
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
  if (settings.portNumber < 1 || settings.portNumber > 10) return 1;
  if (!backendOpen(port, settings)) {
    *port = InvalidSerialPort;
    return 1;
  }
  return 0;
}

int readReplyBlocking(SerialPort port, uint32_t* slots, int count) {
  return readReply(port, slots, count, ReadDiscipline::Blocking);
}

int readReplyTimed(SerialPort port, uint32_t* slots, int count) {
  return readReply(port, slots, count, ReadDiscipline::Timed);
}

int writeFrame(SerialPort port, const uint32_t* slots, int count) {
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
