// The files written whole on Linux and macOS: a temporary file renamed over the old one.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "station/output_file.h"

namespace {

bool writeAll(int fd, const std::string& bytes) {
  const char* next = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t put = write(fd, next, left);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    next += put;
    left -= static_cast<size_t>(put);
  }
  return true;
}

// A device or a FIFO: written where it is. A FIFO nobody reads is refused
// rather than waited on.
bool writeInPlace(const std::string& path, const std::string& bytes, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno == ENXIO ? std::string("nobody reads this FIFO") : strerror(errno);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int failure = writeAll(fd, bytes) ? 0 : errno;
  if (close(fd) != 0 && failure == 0) failure = errno;
  if (failure != 0) *error = strerror(failure);
  return failure == 0;
}

// The file a path leads to: the target of a symbolic link that resolves,
// else the path itself.
std::string finalPath(const std::string& path) {
  char resolved[PATH_MAX];
  struct stat about;
  if (lstat(path.c_str(), &about) == 0 && S_ISLNK(about.st_mode) &&
      realpath(path.c_str(), resolved)) {
    return resolved;
  }
  return path;
}

long long nowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Puts the folder's entries (a rename in it) on disk. A file system that
// cannot sync a folder (EINVAL) keeps its own order.
int syncFolder(const std::string& folder) {
  int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int failure = fsync(fd) != 0 && errno != EINVAL ? errno : 0;
  close(fd);
  return failure;
}

}  // namespace

bool writeFileWhole(const std::string& path, const std::string& bytes, std::string* error) {
  struct stat about;
  bool exists = stat(path.c_str(), &about) == 0;
  if (exists && !S_ISREG(about.st_mode)) {
    if (S_ISDIR(about.st_mode)) {
      *error = strerror(EISDIR);
      return false;
    }
    return writeInPlace(path, bytes, error);
  }
  const std::string target = finalPath(path);
  const size_t slash = target.rfind('/');
  std::string temporary =
      (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".k4471-" +
      target.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
  int fd = mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) {
    *error = strerror(errno);
    return false;
  }
  mode_t mode = about.st_mode & 07777;
  if (!exists) {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);  // a file system without permissions keeps its own
  int failure = 0;
  if (!writeAll(fd, bytes) || fsync(fd) != 0) failure = errno;
  if (close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && rename(temporary.c_str(), target.c_str()) != 0) failure = errno;
  if (failure == 0) {
    failure = syncFolder(slash == std::string::npos ? std::string() : target.substr(0, slash + 1));
    if (failure != 0) {
      *error = strerror(failure);
      return false;
    }
  }
  if (failure != 0) {
    *error = strerror(failure);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool standardInputIs(const std::string& path) {
  struct stat input, file;
  return fstat(STDIN_FILENO, &input) == 0 && stat(path.c_str(), &file) == 0 &&
         input.st_dev == file.st_dev && input.st_ino == file.st_ino;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat first, second;
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::string resolvedPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved)) return resolved;
  // A dangling link leads on to where it points (as many hops as the system
  // itself follows).
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    char target[PATH_MAX];
    const ssize_t length = readlink(at.c_str(), target, sizeof target - 1);
    if (length <= 0) break;
    target[length] = 0;
    const size_t slash = at.rfind('/');
    at = target[0] == '/' || slash == std::string::npos ? std::string(target)
                                                        : at.substr(0, slash + 1) + target;
    if (realpath(at.c_str(), resolved)) return resolved;
  }
  // Not there: its folder resolved, with its name.
  const size_t slash = at.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".")
                             : slash == 0               ? std::string("/")
                                                        : at.substr(0, slash);
  if (!realpath(folder.c_str(), resolved)) return at;
  std::string whole = resolved;
  if (whole.back() != '/') whole += '/';
  return whole + (slash == std::string::npos ? at : at.substr(slash + 1));
}

bool samePlace(const std::string& a, const std::string& b) {
  struct stat first, second;
  if (stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  return resolvedPath(a) == resolvedPath(b);
}

bool openLineFile(const std::string& path, bool append, LineFile* file, std::string* error) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC | (append ? O_APPEND : O_TRUNC),
           0666);
  if (fd < 0) {
    *error = strerror(errno);
    return false;
  }
  file->handle = fd;
  file->append = append;
  return true;
}

bool writeToLineFile(LineFile* file, const std::string& bytes, int waitMilliseconds,
                     std::string* error) {
  const int fd = static_cast<int>(file->handle);
  bool locked = false;
  if (file->append) {
    const long long deadline = nowMilliseconds() + waitMilliseconds;
    for (;;) {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        locked = true;
        break;
      }
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) break;  // a file system that cannot lock: written without
      if (nowMilliseconds() >= deadline) {
        char waited[32];
        snprintf(waited, sizeof waited, "%.1f", waitMilliseconds / 1000.0);
        *error = std::string("another program has held the lock on the file for ") + waited +
                 " s; the line was not written";
        return false;
      }
      const timespec pause = {0, 1000 * 1000};  // a line is written in far less
      nanosleep(&pause, nullptr);
    }
  }
  // One write takes the whole line: O_APPEND puts it at the file's end at
  // once. Only a write cut short (a full disk, a signal) takes another.
  const bool ok = writeAll(fd, bytes);
  const int failure = ok ? 0 : errno;
  if (locked) flock(fd, LOCK_UN);
  if (!ok) *error = strerror(failure);
  return ok;
}

bool closeLineFile(LineFile* file, std::string* error) {
  if (file->handle < 0) return true;
  const bool ok = close(static_cast<int>(file->handle)) == 0;
  if (!ok) *error = strerror(errno);
  file->handle = -1;
  return ok;
}
