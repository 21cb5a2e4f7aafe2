// Opening an image file on Linux and macOS: regular files, pipes, FIFOs,
// character devices and standard input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/image_snapshot.h"

FILE* openImageFile(const char* path, long long* regularSize, ImageLoadFault* fault) {
  *regularSize = -1;
  FILE* file = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
  if (!file) {
    *fault = {ImageLoadStatus::OpenFailed, errno};
    return nullptr;
  }
  struct stat about;
  if (fstat(fileno(file), &about) != 0) {
    *fault = {ImageLoadStatus::OpenFailed, errno};
  } else if (S_ISDIR(about.st_mode)) {
    *fault = {ImageLoadStatus::NotAFile, EISDIR};
  } else if (S_ISREG(about.st_mode)) {
    *regularSize = static_cast<long long>(about.st_size);
    return file;
  } else if (S_ISFIFO(about.st_mode) || S_ISCHR(about.st_mode)) {
    return file;
  } else {
    *fault = {ImageLoadStatus::NotAFile, 0};
  }
  if (file != stdin) fclose(file);
  return nullptr;
}
