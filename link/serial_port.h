// The one serial port to the target: open with the line settings, read reply
// frames blocking or timed, write command frames and block records.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "link/frames.h"
#include "link/port_types.h"

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

// 0 when the port is open, 1 when it did not open (port then invalid). What
// the device received before it was opened is discarded.
int openSerialPort(SerialPort* port, const SerialSettings& settings);
// How the last attempt to open a port ended, with the system's reason.
PortOpenFault lastPortOpenFault();
// The system's words for one of its error codes (a PortOpenFault's
// systemError, errno, the last error on Windows); empty for 0.
std::string systemErrorText(int systemError);
// The resolver's words for its code (an Unresolved fault's systemError).
std::string resolverErrorText(int code);
// Whether the system's error is a connection that the other end refused.
bool connectionRefused(int systemError);
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

// Port numbers 1 to 10 stand for device paths that a front end chooses (on
// Windows the number names a COM port, and a path given to it names a network
// port, which opens in its place, or a COM port by name: "COM42"). On POSIX a number with no path
// is a port that cannot be opened. The path is copied both ways.
void setPortDevicePath(int portNumber, const char* path);
std::string portDevicePath(int portNumber);

// Network ports: a device path "rfc2217://HOST:PORT" (a serial server that
// speaks the Telnet COM-PORT option) or "tcp://HOST:PORT" (a raw byte
// stream) opens a TCP connection instead of a device, on every system. HOST
// may be a name, an address, or an IPv6 address in brackets.
NetPortKind netPortKind(const std::string& name);
// What is wrong with a name that has a network port's scheme but is no such
// address: no port number, one that is not a number or not 1 to 65535, no
// host, a path. Empty for a well-formed address and for any other name.
std::string netAddressProblem(const std::string& name);

// The reset line of every port opened from now on (nullptr: none, the
// start). With one, an open holds both DTR and RTS at the released level of
// that polarity and keeps them there at close (POSIX: HUPCL cleared); a port
// that cannot drive its lines does not open (NoControlLines). A raw TCP port
// has no control lines.
void setResetLine(const ResetLine* reset);

// Drives the reset line active for `milliseconds`, then back to released.
// The data that comes meanwhile is kept for the reads that follow.
ControlFault pulseReset(SerialPort port, int milliseconds);

// For tests: the modem-control calls of local ports go to the hook instead of
// the system (nullptr: to the system). The hook returns 0 or an error code.
using ControlLineHook = int (*)(SerialPort port, ControlLine line, bool asserted);
void setControlLineHook(ControlLineHook hook);
