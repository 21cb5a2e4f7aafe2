// TCP connections for Windows: Winsock, non-blocking sockets and select.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#include <string>

#include "link/net_socket.h"

namespace {

std::once_flag started;

SOCKET socketOf(NetSocket socket) {
  return static_cast<SOCKET>(socket);
}

PortOpenFault connectFault(int error) {
  switch (error) {
    case WSAECONNREFUSED:
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
    case WSAETIMEDOUT:
      return {PortOpenStatus::Absent, error};
    case WSAEACCES:
      return {PortOpenStatus::Denied, error};
    default:
      return {PortOpenStatus::Failed, error};
  }
}

// Waits until the socket can be read (or written); the select result.
int waitFor(SOCKET s, bool forWrite, int waitMs, bool* failed) {
  fd_set ready, failing;
  FD_ZERO(&ready);
  FD_ZERO(&failing);
  FD_SET(s, &ready);
  FD_SET(s, &failing);
  timeval limit = {waitMs / 1000, (waitMs % 1000) * 1000};
  const int result = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr,
                            forWrite ? &failing : nullptr, &limit);
  *failed = result > 0 && FD_ISSET(s, &failing);
  return result;
}

// One address: 0 when connected, else the system's reason.
int connectOne(const addrinfo* address, int timeoutMs, SOCKET* s) {
  *s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (*s == INVALID_SOCKET) return WSAGetLastError();
  u_long nonBlocking = 1;
  ioctlsocket(*s, FIONBIO, &nonBlocking);
  int error = 0;
  if (connect(*s, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      bool failed = false;
      const int ready = waitFor(*s, true, timeoutMs, &failed);
      int size = sizeof error;
      error = 0;
      if (ready == 0) {
        error = WSAETIMEDOUT;
      } else if (ready < 0) {
        error = WSAGetLastError();
      } else if (failed) {
        getsockopt(*s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        if (error == 0) error = WSAECONNREFUSED;
      }
    }
  }
  if (error != 0) {
    closesocket(*s);
    *s = INVALID_SOCKET;
  }
  return error;
}

}  // namespace

bool socketConnect(const char* host, const char* service, int timeoutMs, NetSocket* socket,
                   PortOpenFault* fault) {
  std::call_once(started, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(host, service, &hints, &found);
  if (resolved != 0) {
    *fault = {PortOpenStatus::Unresolved, resolved};
    return false;
  }
  int error = WSAEHOSTUNREACH;
  SOCKET s = INVALID_SOCKET;
  for (const addrinfo* address = found; address && s == INVALID_SOCKET;
       address = address->ai_next) {
    error = connectOne(address, timeoutMs, &s);
  }
  freeaddrinfo(found);
  if (s == INVALID_SOCKET) {
    *fault = connectFault(error);
    return false;
  }
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  *socket = static_cast<NetSocket>(s);
  return true;
}

long socketRead(NetSocket socket, uint8_t* buffer, size_t size, int waitMs) {
  const SOCKET s = socketOf(socket);
  bool failed = false;
  const int ready = waitFor(s, false, waitMs, &failed);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  const int got = recv(s, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
  if (got > 0) return got;
  if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  return -1;  // closed (0) or reset by the peer
}

long socketWrite(NetSocket socket, const uint8_t* bytes, size_t count, int waitMs) {
  const SOCKET s = socketOf(socket);
  size_t done = 0;
  while (done < count) {
    const int put =
        send(s, reinterpret_cast<const char*>(bytes + done), static_cast<int>(count - done), 0);
    if (put > 0) {
      done += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
      bool failed = false;
      if (waitMs <= 0 || waitFor(s, true, waitMs, &failed) <= 0 || failed) break;
      continue;
    }
    return -1;
  }
  return static_cast<long>(done);
}

void socketClose(NetSocket socket) {
  closesocket(socketOf(socket));
}

// The resolver's codes are Winsock errors, which the system can name.
std::string resolverErrorText(int code) {
  return systemErrorText(code);
}

bool connectionRefused(int systemError) {
  return systemError == WSAECONNREFUSED;
}
