// What each operating system provides to the network ports: a TCP
// connection with bounded waits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_port.h"

// A socket (a descriptor on POSIX, a SOCKET on Windows), or InvalidNetSocket.
using NetSocket = intptr_t;
constexpr NetSocket InvalidNetSocket = -1;

// Connects to the host and TCP port within timeoutMs, with TCP_NODELAY set;
// false with the system's reason in *fault (Absent for a refused or
// unreachable server or one that did not answer in time, Unresolved with the
// resolver's code for a host name that does not resolve).
bool socketConnect(const char* host, const char* service, int timeoutMs, NetSocket* socket,
                   PortOpenFault* fault);
// Reads what is there, waiting up to waitMs for the first byte: the count
// read, 0 when nothing came, -1 when the peer closed or reset the connection.
long socketRead(NetSocket socket, uint8_t* buffer, size_t size, int waitMs);
// Writes the bytes, waiting up to waitMs for room (0: only what fits now):
// the count written, -1 when the connection failed.
long socketWrite(NetSocket socket, const uint8_t* bytes, size_t count, int waitMs);
void socketClose(NetSocket socket);
