// The files written whole on Windows: a temporary file moved over the old one.
#include <windows.h>
#include <io.h>

#include <cstdio>
#include <cstring>

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

namespace {

// The path Windows gives for an open file or folder: links, junctions, short
// names and case resolved, without the \\?\ prefix (kept on a path too long
// without it).
std::string finalPathOf(HANDLE file) {
  const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD need = GetFinalPathNameByHandleA(file, nullptr, 0, flags);
  if (need == 0) return "";
  std::string path(need, '\0');
  const DWORD got = GetFinalPathNameByHandleA(file, &path[0], need, flags);
  if (got == 0 || got >= need) return "";
  path.resize(got);
  if (path.size() >= MAX_PATH) return path;  // only the long form reaches it
  if (path.compare(0, 8, "\\\\?\\UNC\\") == 0) return "\\\\" + path.substr(8);
  if (path.compare(0, 4, "\\\\?\\") == 0) return path.substr(4);
  return path;
}

std::string finalPathOf(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  const std::string resolved = finalPathOf(file);
  CloseHandle(file);
  return resolved;
}

}  // namespace

std::string resolvedPath(const std::string& path) {
  std::string resolved = finalPathOf(path);
  if (!resolved.empty()) return resolved;
  // Not there: its folder resolved, with its name.
  char full[4 * MAX_PATH];
  char* name = nullptr;
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, &name);
  if (length == 0 || length >= sizeof full) return path;
  if (!name) return full;
  resolved = finalPathOf(std::string(full, static_cast<size_t>(name - full)));
  if (resolved.empty()) return full;
  if (resolved.back() != '\\') resolved += '\\';
  return resolved + name;
}

bool samePlace(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION first, second;
  if (fileIdentity(a, &first) && fileIdentity(b, &second)) {
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
  }
  return _stricmp(resolvedPath(a).c_str(), resolvedPath(b).c_str()) == 0;
}

bool openLineFile(const std::string& path, bool append, LineFile* file, std::string* error) {
  // Appended: FILE_APPEND_DATA without FILE_WRITE_DATA, so that the system
  // puts every write at the file's end (the C runtime's append mode seeks,
  // then writes); FILE_READ_DATA only for the lock, which needs it.
  const DWORD shared = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE handle = append
                      ? CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                    shared, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                      : CreateFileA(path.c_str(), GENERIC_WRITE, shared, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE && append && GetLastError() == ERROR_ACCESS_DENIED) {
    // A file that may be appended to but not read: without the lock.
    handle = CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, shared, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    *error = systemErrorText(static_cast<int>(GetLastError()));
    return false;
  }
  file->handle = reinterpret_cast<intptr_t>(handle);
  file->append = append;
  return true;
}

bool writeToLineFile(LineFile* file, const std::string& bytes, int waitMilliseconds,
                     std::string* error) {
  HANDLE handle = reinterpret_cast<HANDLE>(file->handle);
  // The lock is one byte far past any report's end: Windows's locks keep
  // other handles from the bytes they cover, and no line ever lies there.
  OVERLAPPED at = {};
  at.Offset = 0xFFFFFFFE;
  at.OffsetHigh = 0x7FFFFFFF;
  bool locked = false;
  if (file->append) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(waitMilliseconds);
    for (;;) {
      OVERLAPPED place = at;
      if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                     &place)) {
        locked = true;
        break;
      }
      const DWORD failure = GetLastError();
      if (failure != ERROR_LOCK_VIOLATION && failure != ERROR_IO_PENDING) break;  // no locks here
      if (GetTickCount64() >= deadline) {
        char waited[32];
        snprintf(waited, sizeof waited, "%.1f", waitMilliseconds / 1000.0);
        *error = std::string("another program has held the lock on the file for ") + waited +
                 " s; the line was not written";
        return false;
      }
      Sleep(1);  // a line is written in far less
    }
  }
  const bool ok = writeAll(handle, bytes);
  const DWORD failure = ok ? 0 : GetLastError();
  if (locked) {
    OVERLAPPED place = at;
    UnlockFileEx(handle, 0, 1, 0, &place);
  }
  if (!ok) *error = systemErrorText(static_cast<int>(failure));
  return ok;
}

bool closeLineFile(LineFile* file, std::string* error) {
  if (file->handle == -1) return true;
  const bool ok = CloseHandle(reinterpret_cast<HANDLE>(file->handle)) != 0;
  if (!ok) *error = systemErrorText(static_cast<int>(GetLastError()));
  file->handle = -1;
  return ok;
}
