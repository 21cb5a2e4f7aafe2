// The one serial port to the target: open with the line settings, read reply
// frames blocking or timed, write command frames and block records.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "link/frames.h"

// The platform handle of an open port (a HANDLE on Windows, a descriptor on
// POSIX), or InvalidSerialPort.
using SerialPort = intptr_t;
constexpr SerialPort InvalidSerialPort = -1;

struct SerialSettings {
  int32_t portNumber;    // 1 to 10, for COM1 to COM10
  int32_t stopBitsCode;  // 0 one, 1 one and a half, 2 two, else one
  int32_t dataBitsFlag;  // 0 for 7 data bits, anything else for 8
  int32_t baudRate;
  int32_t parityCode;  // 0 none, 1 even, 2 odd, else none
};
constexpr SerialSettings DefaultSerialSettings = {1, 0, 1, 115200, 0};

// The line settings of the process. Only the port number changes after
// start-up: the port dialog writes it while a connection thread may read it,
// so it is atomic. Read the whole record as a SerialSettings copy.
struct SharedSerialSettings {
  std::atomic<int32_t> portNumber;
  int32_t stopBitsCode;
  int32_t dataBitsFlag;
  int32_t baudRate;
  int32_t parityCode;
  operator SerialSettings() const {
    return {portNumber.load(), stopBitsCode, dataBitsFlag, baudRate, parityCode};
  }
  SharedSerialSettings& operator=(const SerialSettings& settings) {
    portNumber = settings.portNumber;
    stopBitsCode = settings.stopBitsCode;
    dataBitsFlag = settings.dataBitsFlag;
    baudRate = settings.baudRate;
    parityCode = settings.parityCode;
    return *this;
  }
};
extern SharedSerialSettings serialSettings;

// The port the link works on.
extern std::atomic<SerialPort> serialPort;

// The line-state values a port is given for a SerialSettings record: parity
// and stop bits in the platform's numbering (parity 0 none, 1 odd, 2 even;
// stop bits 0 one, 1 one and a half, 2 two).
struct LineState {
  uint32_t baudRate;
  uint8_t byteSize;
  uint8_t parity;
  uint8_t stopBits;
};
LineState lineStateFor(const SerialSettings& settings);

// Why a port did not open.
enum class PortOpenStatus {
  Opened,
  NoDevice,        // a port number outside 1 to 10, or one with no device
  Absent,          // the device is not there (yet): unplugged, a line hung up
  Denied,          // no permission to open the device
  Busy,            // another program has it; systemError 0: it holds its lock
  NotASerialPort,  // it opened, but is no serial port
  Failed,          // any other reason, in systemError
};
struct PortOpenFault {
  PortOpenStatus status;
  int systemError;  // errno on POSIX, the last error on Windows; 0 when none
};

// 0 when the port is open, 1 when it did not open (port then invalid). What
// the device received before it was opened is discarded.
int openSerialPort(SerialPort* port, const SerialSettings& settings);
// How the last attempt to open a port ended, with the system's reason.
PortOpenFault lastPortOpenFault();
// The system's words for one of its error codes (a PortOpenFault's
// systemError, errno, the last error on Windows); empty for 0.
std::string systemErrorText(int systemError);
// Read one reply frame into slots. 0, or 3 (no byte came, the timeouts were
// refused, the line failed, or the wait was aborted).
int readReplyBlocking(SerialPort port, uint32_t* slots, int count);
int readReplyTimed(SerialPort port, uint32_t* slots, int count);
// Discards what has been received and not read, then writes one single-byte
// write per slot; always 0.
int writeFrame(SerialPort port, const uint32_t* slots, int count);
// All 268 bytes in one write; 0, or 2 when the write was refused.
int writeBlockRecord(SerialPort port, const BlockRecord& record);
// Closes the port and leaves it invalid; nothing happens for an invalid port.
void closeSerialPort(SerialPort* port);

// The way out of a wait without end: a read waits in slices of about 100 ms
// and ends like a read that got no byte once an abort is requested, however
// many bytes keep arriving. The request stays until it is cleared.
void requestLinkAbort();
void clearLinkAbort();
bool linkAbortRequested();

// Why the last read of a reply ended.
enum class ReadEnd {
  Frame,       // it took its bytes (the frame may still be garbled)
  TimeLimit,   // a timed read got no byte within TimedReadMilliseconds
  ReplyLimit,  // the reply limit set below ran out and no byte came at all
  OtherData,   // the reply limit ran out while bytes that made no reply came
  Aborted,     // the abort request
  LineFailed,  // the line is gone: hung up, unplugged, the device failed
};
// Frame again after every attempt to open a port.
ReadEnd lastReadEnd();
// One byte of whatever the far end sends (text, not a reply frame), waiting
// at most `milliseconds`; nothing is discarded before. ReadEnd::Frame when it
// came, else TimeLimit, Aborted or LineFailed. Leaves lastReadEnd alone.
ReadEnd readAnyByte(SerialPort port, uint8_t* byte, int64_t milliseconds);

// A limit on every wait for a reply, blocking ones included, counted from the
// moment the read begins: a reply not complete by then ends the read like a
// timed read that got no byte, however many other bytes keep arriving (a
// board that restarted into its application and prints text). 0 (the start
// value) leaves blocking waits without a limit; timed reads keep their own
// limit per byte as well.
void setReplyLimit(int64_t milliseconds);

// The timed discipline's limit for one byte: 10 ms per byte plus 10000 ms.
constexpr int TimedReadMilliseconds = 10 * 1 + 10000;
// The slice of a blocking wait between two looks at the abort request.
constexpr int BlockingSliceMilliseconds = 100;

// POSIX only: port numbers 1 to 10 stand for device paths that a front end
// chooses. A number with no path is a port that cannot be opened. The path is
// copied.
void setPortDevicePath(int portNumber, const char* path);
const char* portDevicePath(int portNumber);
