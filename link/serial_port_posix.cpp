// Serial port backend for Linux and macOS: termios and poll.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "link/serial_backend.h"

namespace {

std::mutex pathsLock;
std::string devicePaths[11];

speed_t speedFor(uint32_t baud) {
  switch (baud) {
    case 110:
      return B110;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return 0;
  }
}

void applyLineState(int fd, const SerialSettings& settings) {
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return;  // not a terminal: opens all the same
  LineState state = lineStateFor(settings);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
  tio.c_cflag |= state.byteSize == 7 ? CS7 : CS8;
  if (state.parity == 2) tio.c_cflag |= PARENB;           // even
  if (state.parity == 1) tio.c_cflag |= PARENB | PARODD;  // odd
  if (state.stopBits == 2) tio.c_cflag |= CSTOPB;         // one and a half has no termios form
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (speed_t speed = speedFor(state.baudRate)) {
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
  }
  tcsetattr(fd, TCSANOW, &tio);
}

}  // namespace

void setPortDevicePath(int portNumber, const char* path) {
  if (portNumber < 1 || portNumber > 10) return;
  std::lock_guard<std::mutex> hold(pathsLock);
  devicePaths[portNumber] = path ? path : "";
}

const char* portDevicePath(int portNumber) {
  if (portNumber < 1 || portNumber > 10) return nullptr;
  std::lock_guard<std::mutex> hold(pathsLock);
  return devicePaths[portNumber].empty() ? nullptr : devicePaths[portNumber].c_str();
}

bool backendOpen(SerialPort* port, const SerialSettings& settings) {
  std::string path;
  {
    std::lock_guard<std::mutex> hold(pathsLock);
    path = devicePaths[settings.portNumber];
  }
  if (path.empty()) return false;
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // One opener at a time, like a COM port opened without sharing.
  ioctl(fd, TIOCEXCL);
  applyLineState(fd, settings);
  *port = fd;
  return true;
}

bool backendSetReadSlice(SerialPort) {
  return true;
}

int backendReadByte(SerialPort port, uint8_t* byte) {
  int fd = static_cast<int>(port);
  pollfd waiter = {fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&waiter, 1, BlockingSliceMilliseconds);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  if ((waiter.revents & POLLIN) == 0) return -1;  // hung up, or the device failed
  ssize_t got;
  do {
    got = read(fd, byte, 1);
  } while (got < 0 && errno == EINTR);
  if (got == 1) return 1;
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  // End of file or an error (EIO when the far end or the adapter is gone).
  return -1;
}

void backendPurgeInput(SerialPort port) {
  tcflush(static_cast<int>(port), TCIFLUSH);
}

bool backendWrite(SerialPort port, const void* bytes, size_t count) {
  int fd = static_cast<int>(port);
  const uint8_t* next = static_cast<const uint8_t*>(bytes);
  while (count > 0) {
    ssize_t put = write(fd, next, count);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno == EAGAIN) {
      pollfd waiter = {fd, POLLOUT, 0};
      if (poll(&waiter, 1, 1000) <= 0) return false;
      continue;
    }
    if (put <= 0) return false;
    next += put;
    count -= static_cast<size_t>(put);
  }
  return true;
}

void backendClose(SerialPort port) {
  int fd = static_cast<int>(port);
  ioctl(fd, TIOCNXCL);  // the exclusive mode outlives the descriptor otherwise
  close(fd);
}
