// Network ports: the serial port primitives over a TCP connection, raw or
// as a Telnet stream with the COM-PORT option. Portable; the sockets come
// from link/net_socket.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/port_types.h"

struct NetAddress {
  NetPortKind kind;
  std::string host;
  std::string service;
};
// Splits "rfc2217://HOST:PORT" or "tcp://HOST:PORT" (PORT 1 to 65535, the
// service given as its plain decimal); false for anything else, a name of
// these schemes that is not well formed included (see netAddressProblem).
bool parseNetAddress(const std::string& name, NetAddress* address);

// The time a connection may take, and the time an RFC 2217 server is given
// to answer the negotiation and each group of settings.
constexpr int NetConnectMilliseconds = 5000;
constexpr int NetNegotiateMilliseconds = 500;

// Connects and, for RFC 2217, negotiates the line settings (and, with a reset
// line, the released level of both control lines).
bool netOpen(SerialPort* port, const NetAddress& address, const SerialSettings& settings,
             const ResetLine* reset, PortOpenFault* fault);
bool isNetPort(SerialPort port);
// As the backend's primitives: 1 a byte, 0 none within one slice, -1 the
// connection ended.
int netReadByte(SerialPort port, uint8_t* byte);
// Drops what is buffered here and, for RFC 2217, asks the server to drop
// what it holds for us.
void netPurgeInput(SerialPort port);
bool netWrite(SerialPort port, const void* bytes, size_t count);
void netClose(SerialPort port);
// Sends an RFC 2217 SET-CONTROL for the line, without waiting.
ControlFault netSetControlLine(SerialPort port, ControlLine line, bool asserted);
// Reads (keeping the data) for waitMs, or until every SET-CONTROL sent is
// confirmed when `untilConfirmed`; whether all are confirmed.
bool netAwaitControl(SerialPort port, int waitMs, bool untilConfirmed);
