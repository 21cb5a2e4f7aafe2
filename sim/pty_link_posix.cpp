// The simulated target's pseudo-terminal and the symbolic link that publishes it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sim/pty_link.h"

std::string errnoText(const std::string& what) {
  return what + ": " + strerror(errno);
}

void setCloexec(int fd) {
  fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}
void setNonblocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void closeFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

namespace {

void makeRaw(int fd) {
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tcsetattr(fd, TCSANOW, &tio);
}

bool slaveName(int master, char* name, size_t size, std::string* error) {
#if defined(__linux__)
  if (ptsname_r(master, name, size) != 0) {
    *error = errnoText("ptsname_r");
    return false;
  }
#else
  static std::mutex ptsnameMutex;
  std::lock_guard<std::mutex> lock(ptsnameMutex);
  const char* n = ptsname(master);
  if (!n) {
    *error = errnoText("ptsname");
    return false;
  }
  snprintf(name, size, "%s", n);
#endif
  return true;
}

}  // namespace

bool ptyLineOpen(PtyLine* line, std::string* error) {
  int m = posix_openpt(O_RDWR | O_NOCTTY);
  if (m < 0) {
    *error = errnoText("posix_openpt");
    return false;
  }
  if (grantpt(m) != 0 || unlockpt(m) != 0) {
    *error = errnoText("grantpt/unlockpt");
    close(m);
    return false;
  }
  char name[256];
  if (!slaveName(m, name, sizeof name, error)) {
    close(m);
    return false;
  }
  int s = open(name, O_RDWR | O_NOCTTY);
  if (s < 0) {
    *error = errnoText(std::string("open ") + name);
    close(m);
    return false;
  }
  setCloexec(m);
  setCloexec(s);
  makeRaw(s);
  makeRaw(m);
  setNonblocking(m);
  line->master = m;
  line->slave = s;
  line->device = name;
  return true;
}

void ptyLineHangUp(PtyLine* line) {
  closeFd(&line->master);
}

void ptyLineClose(PtyLine* line) {
  closeFd(&line->master);
  closeFd(&line->slave);
}

bool ptyLineUp(const PtyLine& line) {
  return line.master >= 0;
}

int ptyUnreadByHost(const PtyLine& line) {
  int unread = 0;
  if (ioctl(line.slave, FIONREAD, &unread) != 0) return 0;
  return unread;
}

int ptyUnreadByBoard(const PtyLine& line) {
  int unread = 0;
  if (line.master < 0 || ioctl(line.master, FIONREAD, &unread) != 0) return 0;
  return unread;
}

void ptyDiscardHostInput(const PtyLine& line) {
  tcflush(line.slave, TCIFLUSH);
}

void ptyDiscardBoardInput(const PtyLine& line) {
  if (line.master >= 0) tcflush(line.master, TCIFLUSH);
}

long ptyRead(const PtyLine& line, uint8_t* bytes, size_t count) {
  ssize_t n = read(line.master, bytes, count);
  if (n > 0) return long(n);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  return -1;
}

long ptyWrite(const PtyLine& line, const uint8_t* bytes, size_t count) {
  ssize_t n = write(line.master, bytes, count);
  if (n > 0) return long(n);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  return -1;
}

void ptyAwaitRoom(const PtyLine& line, int ms) {
  pollfd p{line.master, POLLOUT, 0};
  poll(&p, 1, ms);
}

bool publishLink(const std::string& path, const std::string& target, std::string* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    *error = path + " exists and is not a symbolic link";
    return false;
  }
  static std::atomic<unsigned> serial{0};
  std::string temp =
      path + ".k4471-sim." + std::to_string(getpid()) + "." + std::to_string(serial.fetch_add(1));
  unlink(temp.c_str());
  if (symlink(target.c_str(), temp.c_str()) != 0) {
    *error = errnoText("symlink " + temp);
    return false;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    *error = errnoText("rename to " + path);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

void removeLink(const std::string& path, const std::string& target) {
  char buffer[512];
  ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
  if (n < 0) return;
  buffer[n] = 0;
  if (target == buffer) unlink(path.c_str());
}
