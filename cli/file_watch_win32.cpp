// The image file's stamp on Windows: its attributes and its identity (the
// volume and the file index, as an inode), through a handle opened by its
// name for an instant, with no access to its data and every sharing allowed,
// so that it stands in nobody's way. Without the identity, a file renamed
// over with the size and the time of the one it replaces went unnoticed.
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
  HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  // A file that cannot be opened at all is on its way out (deleted while
  // still open elsewhere): gone, as far as a round is concerned.
  if (file == INVALID_HANDLE_VALUE) return stamp;
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic;
  const bool known = GetFileInformationByHandle(file, &info) != 0 &&
                     GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) != 0;
  CloseHandle(file);
  if (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return stamp;
  stamp.exists = true;
  stamp.size =
      static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  stamp.modified = ticks(info.ftLastWriteTime);
  stamp.changed = basic.ChangeTime.QuadPart;
  const uint64_t index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  stamp.identity = index ^ (static_cast<uint64_t>(info.dwVolumeSerialNumber) << 48);
  return stamp;
}
