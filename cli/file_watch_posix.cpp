// The image file's stamp on POSIX systems: stat by its name.
#include <sys/stat.h>

#include "cli/file_watch.h"

namespace {

int64_t nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

}  // namespace

FileStamp fileStamp(const std::string& path) {
  FileStamp stamp;
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return stamp;
  stamp.exists = true;
  stamp.size = static_cast<int64_t>(info.st_size);
#ifdef __APPLE__
  stamp.modified = nanoseconds(info.st_mtimespec);
  stamp.changed = nanoseconds(info.st_ctimespec);
#else
  stamp.modified = nanoseconds(info.st_mtim);
  stamp.changed = nanoseconds(info.st_ctim);
#endif
  stamp.identity = static_cast<uint64_t>(info.st_ino) ^ (static_cast<uint64_t>(info.st_dev) << 48);
  return stamp;
}
