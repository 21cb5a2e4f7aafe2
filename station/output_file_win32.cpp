// The files written whole on Windows: a temporary file moved over the old one.
#include <windows.h>
#include <io.h>

#include <cstdio>

#include "station/output_file.h"
#include "link/serial_port.h"

namespace {

bool writeAll(HANDLE file, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD put = 0;
    DWORD chunk =
        static_cast<DWORD>(bytes.size() - done > (1u << 30) ? (1u << 30) : bytes.size() - done);
    if (!WriteFile(file, bytes.data() + done, chunk, &put, nullptr) || put == 0) return false;
    done += put;
  }
  return true;
}

// An existing file that is not on a disk (a device, a pipe): written in place.
bool isDevice(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool device = GetFileType(file) != FILE_TYPE_DISK;
  CloseHandle(file);
  return device;
}

}  // namespace

bool writeFileWhole(const std::string& path, const std::string& bytes, std::string* error) {
  const bool device = isDevice(path);
  std::string temporary = path;
  if (!device) {
    const size_t slash = path.find_last_of("\\/");
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    char name[MAX_PATH + 1];
    if (GetTempFileNameA(folder.c_str(), "k44", 0, name) == 0) {
      *error = systemErrorText(static_cast<int>(GetLastError()));
      return false;
    }
    temporary = name;
  }
  HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                            device ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD failure = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (failure == 0 && (!writeAll(file, bytes) || (!device && !FlushFileBuffers(file)))) {
    failure = GetLastError();
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (failure == 0 && !device &&
      !MoveFileExA(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    failure = GetLastError();
  }
  if (failure != 0) {
    *error = systemErrorText(static_cast<int>(failure));
    if (!device) DeleteFileA(temporary.c_str());
  }
  return failure == 0;
}

bool standardInputIs(const std::string& path) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  BY_HANDLE_FILE_INFORMATION in, out;
  if (input == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(input, &in)) return false;
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(file, &out) != 0;
  CloseHandle(file);
  return ok && in.dwVolumeSerialNumber == out.dwVolumeSerialNumber &&
         in.nFileIndexHigh == out.nFileIndexHigh && in.nFileIndexLow == out.nFileIndexLow;
}

namespace {

bool fileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(file, info) != 0;
  CloseHandle(file);
  return ok;
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION first, second;
  return fileIdentity(a, &first) && fileIdentity(b, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}
