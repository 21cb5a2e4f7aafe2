// The files written whole on Linux and macOS: a temporary file renamed over the old one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

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
