// The serial file's lock and text on Windows: LockFileEx on FILE.lock, a bounded read.
#include <windows.h>

#include <cstdio>

#include "station/serial_file.h"

namespace {

// A serial file is a number and a newline; more than this is not one.
constexpr DWORD SerialTextLimit = 64;

std::string systemText(DWORD error) {
  char reason[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 reason, sizeof reason, nullptr);
  std::string text = reason;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

bool lockSerialFile(const std::string& path, int waitMilliseconds, SerialFileLock* lock,
                    std::string* error) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot open the serial file's lock " + path + ": " + systemText(GetLastError());
    return false;
  }
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(waitMilliseconds);
  for (;;) {
    OVERLAPPED at = {};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) break;
    const DWORD failure = GetLastError();
    if (failure != ERROR_LOCK_VIOLATION && failure != ERROR_IO_PENDING) {
      *error = "cannot lock " + path + ": " + systemText(failure);
      CloseHandle(file);
      return false;
    }
    if (GetTickCount64() >= deadline) {
      char waited[32];
      snprintf(waited, sizeof waited, "%.1f", waitMilliseconds / 1000.0);
      *error = "another station has held the lock " + path + " for " + waited +
               " s; giving up (is a station stuck?)";
      CloseHandle(file);
      return false;
    }
    Sleep(10);
  }
  lock->handle = reinterpret_cast<intptr_t>(file);
  return true;
}

void unlockSerialFile(SerialFileLock* lock) {
  HANDLE file = reinterpret_cast<HANDLE>(lock->handle);
  OVERLAPPED at = {};
  UnlockFileEx(file, 0, 1, 0, &at);
  CloseHandle(file);
  lock->handle = -1;
}

bool readSerialFile(const std::string& path, SerialFileText* file, std::string* error) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = systemText(GetLastError());
    return false;
  }
  char bytes[SerialTextLimit + 1];
  DWORD got = 0;
  BY_HANDLE_FILE_INFORMATION about;
  bool ok = false;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    *error = "it is not a regular file";
  } else if (!GetFileInformationByHandle(handle, &about) ||
             !ReadFile(handle, bytes, sizeof bytes, &got, nullptr)) {
    *error = systemText(GetLastError());
  } else if (got > SerialTextLimit) {
    *error = "it holds more than " + std::to_string(SerialTextLimit) + " bytes";
  } else {
    file->text.assign(bytes, got);
    file->links = about.nNumberOfLinks;
    file->readOnly = (about.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    ok = true;
  }
  CloseHandle(handle);
  return ok;
}
