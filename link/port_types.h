// What every kind of port shares: the handle, the line settings, why an open
// failed, the abort request, and the control lines that reset a board. The
// serial port (link/serial_port.h) and the network port build on it.
#pragma once

#include <cstdint>

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
  NoControlLines,  // a reset line is set and the port cannot drive it (systemError why)
  Unresolved,      // a network port's host name did not resolve (systemError: the resolver's code)
  Failed,          // any other reason, in systemError
};
struct PortOpenFault {
  PortOpenStatus status;
  // errno on POSIX, the last error on Windows (Unresolved: the resolver's
  // code, for resolverErrorText); 0 when none
  int systemError;
};

// The way out of a wait without end: a read waits in slices of about 100 ms
// and ends like a read that got no byte once an abort is requested, however
// many bytes keep arriving. The request stays until it is cleared.
void requestLinkAbort();
void clearLinkAbort();
bool linkAbortRequested();

// The slice of a blocking wait between two looks at the abort request.
constexpr int BlockingSliceMilliseconds = 100;

// The kinds of network port (see netPortKind).
enum class NetPortKind { None, Rfc2217, RawTcp };

// The control lines that reset a board. Active is the level that holds the
// board in reset: for a plain line the line asserted (DTR or RTS on), for an
// inverted one the line released. Released is the other level.
enum class ControlLine { Dtr, Rts };
struct ResetLine {
  ControlLine line;
  bool inverted;
};

enum class ControlStatus {
  Done,
  Unconfirmed,     // an RFC 2217 server did not confirm within ControlConfirmMilliseconds
  Refused,         // the system refused the modem-control call (systemError why)
  NoControlLines,  // no reset line set, or a raw TCP port
};
struct ControlFault {
  ControlStatus status;
  int systemError;
};

// How long an RFC 2217 server is given to confirm a control-line command.
constexpr int ControlConfirmMilliseconds = 500;
