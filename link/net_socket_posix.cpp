// TCP connections for Linux and macOS: non-blocking sockets and poll.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "link/net_socket.h"

namespace {

#ifdef MSG_NOSIGNAL
constexpr int SendFlags = MSG_NOSIGNAL;
#else
constexpr int SendFlags = 0;
#endif

PortOpenFault connectFault(int error) {
  switch (error) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ETIMEDOUT:
      return {PortOpenStatus::Absent, error};
    case EACCES:
    case EPERM:
      return {PortOpenStatus::Denied, error};
    default:
      return {PortOpenStatus::Failed, error};
  }
}

// Waits for the events on the socket; the poll result.
int waitFor(int fd, short events, int waitMs, short* revents) {
  pollfd waiter = {fd, events, 0};
  int ready;
  do {
    ready = poll(&waiter, 1, waitMs);
  } while (ready < 0 && errno == EINTR);
  *revents = waiter.revents;
  return ready;
}

// One address: 0 when connected, else the system's reason.
int connectOne(const addrinfo* address, int timeoutMs, int* fd) {
  *fd = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (*fd < 0) return errno;
  fcntl(*fd, F_SETFD, FD_CLOEXEC);
  fcntl(*fd, F_SETFL, fcntl(*fd, F_GETFL) | O_NONBLOCK);
#ifdef SO_NOSIGPIPE
  int one = 1;
  setsockopt(*fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  int error = 0;
  if (connect(*fd, address->ai_addr, address->ai_addrlen) != 0) {
    error = errno;
    short revents = 0;
    if (error == EINPROGRESS) {
      const int ready = waitFor(*fd, POLLOUT, timeoutMs, &revents);
      socklen_t size = sizeof error;
      if (ready == 0) {
        error = ETIMEDOUT;
      } else if (ready < 0 || getsockopt(*fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
      }
    }
  }
  if (error != 0) {
    close(*fd);
    *fd = -1;
  }
  return error;
}

}  // namespace

bool socketConnect(const char* host, const char* service, int timeoutMs, NetSocket* socket,
                   PortOpenFault* fault) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(host, service, &hints, &found);
  if (resolved != 0) {
    *fault = resolved == EAI_SYSTEM ? PortOpenFault{PortOpenStatus::Failed, errno}
                                    : PortOpenFault{PortOpenStatus::Unresolved, resolved};
    return false;
  }
  int error = EHOSTUNREACH;
  int fd = -1;
  for (const addrinfo* address = found; address && fd < 0; address = address->ai_next) {
    error = connectOne(address, timeoutMs, &fd);
  }
  freeaddrinfo(found);
  if (fd < 0) {
    *fault = connectFault(error);
    return false;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  *socket = fd;
  return true;
}

long socketRead(NetSocket socket, uint8_t* buffer, size_t size, int waitMs) {
  const int fd = static_cast<int>(socket);
  short revents = 0;
  const int ready = waitFor(fd, POLLIN, waitMs, &revents);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  ssize_t got;
  do {
    got = recv(fd, buffer, size, 0);
  } while (got < 0 && errno == EINTR);
  if (got > 0) return static_cast<long>(got);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  return -1;  // closed (0) or reset by the peer
}

long socketWrite(NetSocket socket, const uint8_t* bytes, size_t count, int waitMs) {
  const int fd = static_cast<int>(socket);
  size_t done = 0;
  while (done < count) {
    const ssize_t put = send(fd, bytes + done, count - done, SendFlags);
    if (put > 0) {
      done += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      short revents = 0;
      if (waitMs <= 0 || waitFor(fd, POLLOUT, waitMs, &revents) <= 0) break;
      continue;
    }
    return -1;
  }
  return static_cast<long>(done);
}

void socketClose(NetSocket socket) {
  close(static_cast<int>(socket));
}

std::string resolverErrorText(int code) {
  return gai_strerror(code);
}

bool connectionRefused(int systemError) {
  return systemError == ECONNREFUSED;
}
