// The image file watched between rounds: a change counted once it settles.
#include "cli/file_watch.h"

#include <cstdio>

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

bool sameStamp(const FileStamp& a, const FileStamp& b) {
  if (!a.exists || !b.exists) return a.exists == b.exists;
  return a.size == b.size && a.modified == b.modified && a.changed == b.changed &&
         a.identity == b.identity;
}

void startFileWatch(FileWatch* watch, const std::string& path, int settleMs) {
  watch->path = path;
  watch->settle = std::chrono::milliseconds(settleMs);
  fileTaken(watch);
}

void fileTaken(FileWatch* watch) {
  watch->taken = fileStamp(watch->path);
  watch->seen = watch->taken;
  watch->seenSince = Clock::now();
}

bool fileChangeSettled(FileWatch* watch) {
  const FileStamp now = fileStamp(watch->path);
  if (!sameStamp(now, watch->seen)) {
    watch->seen = now;
    watch->seenSince = Clock::now();
    return false;
  }
  if (!now.exists) {
    if (!watch->goneSaid) {
      fprintf(stderr, "%s is gone: waiting for it to come back.\n", watch->path.c_str());
    }
    watch->goneSaid = true;
    return false;
  }
  if (sameStamp(now, watch->taken) || Clock::now() - watch->seenSince < watch->settle) {
    return false;
  }
  watch->goneSaid = false;
  watch->taken = now;
  return true;
}
