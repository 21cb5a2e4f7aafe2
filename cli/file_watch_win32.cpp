// The image file's stamp on Windows: its attributes by its name.
#include <windows.h>

#include "cli/file_watch.h"

namespace {

int64_t ticks(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

}  // namespace

FileStamp fileStamp(const std::string& path) {
  FileStamp stamp;
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info)) return stamp;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return stamp;
  stamp.exists = true;
  stamp.size =
      static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  stamp.modified = ticks(info.ftLastWriteTime);
  stamp.changed = ticks(info.ftCreationTime);
  return stamp;
}
