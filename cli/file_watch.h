// The image file watched between rounds (--watch): a change counts once the
// file has stayed the same for the settle time, whether it was written in
// place, renamed over, or deleted and made again. The file is looked at by
// its name a few times a second, never held open.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// What the system tells of a file without reading it.
struct FileStamp {
  bool exists = false;
  int64_t size = 0;
  int64_t modified = 0;   // nanoseconds, or what the system counts in
  int64_t changed = 0;    // the status change
  uint64_t identity = 0;  // the inode, or the volume and file index (Windows)
};

// The file's stamp by its name, following links (what system dependent code
// gives: file_watch_posix.cpp, file_watch_win32.cpp).
FileStamp fileStamp(const std::string& path);
bool sameStamp(const FileStamp& a, const FileStamp& b);

struct FileWatch {
  std::string path;
  std::chrono::milliseconds settle{300};
  FileStamp taken;  // the file as the last round read it
  FileStamp seen;   // as last looked at
  std::chrono::steady_clock::time_point seenSince;
  bool goneSaid = false;
};

void startFileWatch(FileWatch* watch, const std::string& path, int settleMs);
// The file as it is now is the one a round reads.
void fileTaken(FileWatch* watch);
// True once the file is there, differs from the one taken, and has stayed the
// same for the settle time; it is then the one taken. Says once when the
// file has gone (a build that deletes it first).
bool fileChangeSettled(FileWatch* watch);
