// The serial file's lock and text on Linux and macOS: flock on FILE.lock, a bounded read.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "station/serial_file.h"

namespace {

// A serial file is a number and a newline; more than this is not one.
constexpr size_t SerialTextLimit = 64;

long long nowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

bool lockSerialFile(const std::string& path, int waitMilliseconds, SerialFileLock* lock,
                    std::string* error) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = "cannot open the serial file's lock " + path + ": " + strerror(errno);
    return false;
  }
  const long long deadline = nowMilliseconds() + waitMilliseconds;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int failure = errno;
    if (failure != EWOULDBLOCK && failure != EINTR) {
      *error = "cannot lock " + path + ": " + strerror(failure);
      close(fd);
      return false;
    }
    if (nowMilliseconds() >= deadline) {
      char waited[32];
      snprintf(waited, sizeof waited, "%.1f", waitMilliseconds / 1000.0);
      *error = "another station has held the lock " + path + " for " + waited +
               " s; giving up (is a station stuck?)";
      close(fd);
      return false;
    }
    const timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  lock->handle = fd;
  return true;
}

void unlockSerialFile(SerialFileLock* lock) {
  const int fd = static_cast<int>(lock->handle);
  flock(fd, LOCK_UN);
  close(fd);
  lock->handle = -1;
}

bool readSerialFile(const std::string& path, SerialFileText* file, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  struct stat about;
  if (fd < 0 || fstat(fd, &about) != 0) {
    *error = strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  char bytes[SerialTextLimit + 1];
  ssize_t got = 0;
  if (!S_ISREG(about.st_mode)) {
    *error = "it is not a regular file";
  } else {
    do {
      got = read(fd, bytes, sizeof bytes);
    } while (got < 0 && errno == EINTR);
    if (got < 0) *error = strerror(errno);
    if (got > static_cast<ssize_t>(SerialTextLimit)) {
      *error = "it holds more than " + std::to_string(SerialTextLimit) + " bytes";
    }
  }
  close(fd);
  if (!S_ISREG(about.st_mode) || got < 0 || got > static_cast<ssize_t>(SerialTextLimit)) {
    return false;
  }
  file->text.assign(bytes, static_cast<size_t>(got));
  file->links = static_cast<unsigned long>(about.st_nlink);
  // The mode, not access(): a station run as root may write anything.
  file->readOnly = (about.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  return true;
}
