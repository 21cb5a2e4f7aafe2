// Serial port backend for Linux and macOS: termios and poll.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "link/adapter_latency.h"
#include "link/serial_backend.h"

namespace {

std::mutex holdersLock;
// For each port number, a descriptor of the device whose advisory lock this
// process holds: taken at the first open of the port and kept, across every
// close of the link, until the process ends. Guarded by holdersLock.
int lockHolders[11] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

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
  if (tcgetattr(fd, &tio) != 0) return;  // line state unreadable: opens all the same
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

// What an open that failed with the error means.
PortOpenFault faultOf(int error) {
  if (error == EBUSY) return {PortOpenStatus::Busy, error};
  if (error == EACCES || error == EPERM) return {PortOpenStatus::Denied, error};
  if (error == ENOENT || error == ENXIO || error == ENODEV || error == EIO) {
    return {PortOpenStatus::Absent, error};
  }
  return {PortOpenStatus::Failed, error};
}

bool sameDevice(int first, int second) {
  struct stat a, b;
  return fstat(first, &a) == 0 && fstat(second, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

// Holds the advisory lock of the device open at fd for the port number: kept
// when this process holds it already, else taken, and then the device behind
// the name is a new one (a board plugged in again) whose lock replaces the
// old device's.
bool holdLock(int portNumber, int fd, PortOpenFault* fault) {
  std::lock_guard<std::mutex> hold(holdersLock);
  int& holder = lockHolders[portNumber];
  if (holder >= 0 && sameDevice(holder, fd)) return true;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    *fault = {PortOpenStatus::Busy, error == EWOULDBLOCK ? 0 : error};
    return false;
  }
  // The lock belongs to the open file, which this copy keeps open when the
  // link closes its descriptor.
  const int kept = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (kept < 0) {
    *fault = {PortOpenStatus::Failed, errno};
    return false;
  }
  if (holder >= 0) close(holder);
  holder = kept;
  return true;
}

bool isSerialPort(int fd) {
  struct stat about;
  return fstat(fd, &about) == 0 && S_ISCHR(about.st_mode) && isatty(fd);
}

}  // namespace

std::string systemErrorText(int systemError) {
  return systemError == 0 ? std::string() : std::string(strerror(systemError));
}

bool backendOpen(SerialPort* port, const SerialSettings& settings, PortOpenFault* fault) {
  const std::string path = portDevicePath(settings.portNumber);
  if (path.empty()) {
    *fault = {PortOpenStatus::NoDevice, 0};
    return false;
  }
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *fault = faultOf(errno);
    return false;
  }
  if (!isSerialPort(fd)) {
    close(fd);
    *fault = {PortOpenStatus::NotASerialPort, 0};
    return false;
  }
  if (!holdLock(settings.portNumber, fd, fault)) {
    close(fd);
    return false;
  }
  // One opener at a time, like a COM port opened without sharing.
  ioctl(fd, TIOCEXCL);
  applyLineState(fd, settings);
  noteAdapterLatency(askLowLatency(fd));
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

int backendSetControlLine(SerialPort port, ControlLine line, bool asserted) {
  int bits = line == ControlLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
  return ioctl(static_cast<int>(port), asserted ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? 0 : errno;
}

int backendKeepControlLinesAtClose(SerialPort port) {
  const int fd = static_cast<int>(port);
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return errno;
  tio.c_cflag &= ~HUPCL;
  return tcsetattr(fd, TCSANOW, &tio) == 0 ? 0 : errno;
}
