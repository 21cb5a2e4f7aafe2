// Opening an image file on Windows: regular files, pipes and standard input.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/image_snapshot.h"

FILE* openImageFile(const char* path, long long* regularSize, ImageLoadFault* fault) {
  *regularSize = -1;
  DWORD attributes = strcmp(path, "-") == 0 ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *fault = {ImageLoadStatus::NotAFile, EISDIR};
    return nullptr;
  }
  FILE* file = nullptr;
  if (strcmp(path, "-") == 0) {
    _setmode(_fileno(stdin), _O_BINARY);
    file = stdin;
  } else {
    file = fopen(path, "rb");
  }
  if (!file) {
    *fault = {ImageLoadStatus::OpenFailed, errno};
    return nullptr;
  }
  struct _stati64 about;
  if (_fstati64(_fileno(file), &about) == 0 && (about.st_mode & _S_IFMT) == _S_IFREG) {
    *regularSize = static_cast<long long>(about.st_size);
  }
  return file;
}
