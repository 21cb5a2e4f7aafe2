// Put into the command line by its test (LD_PRELOAD, Linux): the close of a
// file whose name ends in "close-fails.hex" closes it and then reports a
// failure, as a close can on a failing disk or network share.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

bool closeShouldFail(FILE* file) {
  char link[64];
  char path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(file));
  const ssize_t length = readlink(link, path, sizeof path - 1);
  if (length <= 0) return false;
  path[length] = 0;
  static const char marker[] = "close-fails.hex";
  const size_t size = static_cast<size_t>(length);
  return size >= sizeof marker - 1 && strcmp(path + size - (sizeof marker - 1), marker) == 0;
}

}  // namespace

extern "C" int fclose(FILE* file) {
  static int (*const realClose)(FILE*) =
      reinterpret_cast<int (*)(FILE*)>(dlsym(RTLD_NEXT, "fclose"));
  const bool fail = file && closeShouldFail(file);
  const int result = realClose(file);
  return fail ? EOF : result;
}
