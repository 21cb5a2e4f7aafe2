#include <windows.h>

#include <cctype>
#include <cstdio>

#include "cli/exit_codes.h"
#include "cli/ports.h"

std::vector<PortInfo> listSerialPorts() {
  std::vector<PortInfo> ports;
  for (int number = 1; number <= 256; ++number) {
    char name[16];
    char target[512];
    snprintf(name, sizeof name, "COM%d", number);
    if (QueryDosDeviceA(name, target, sizeof target) != 0) ports.push_back({name, target});
  }
  return ports;
}

int claimPort(const std::string& device, std::string* message) {
  // A COM port opened without sharing is this process's alone: try it, say why
  // it does not open, and leave it to the link.
  std::string path = "\\\\.\\" + device;
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (port != INVALID_HANDLE_VALUE) {
    CloseHandle(port);
    return ExitOk;
  }
  DWORD error = GetLastError();
  char reason[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 reason, sizeof reason, nullptr);
  std::string text = reason;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
    *message = device + ": port busy (" + text + ")";
  } else {
    *message = "COM Port Error: Cannot Connect to " + device + ": " + text;
  }
  return ExitPortError;
}

// A COM port opened without sharing is this process's alone while the link
// has it open: there is no lock to take again.
int reclaimPort(const std::string&, std::string*) {
  return ExitOk;
}

std::string portOpenError(const std::string& device) {
  std::string message;
  if (claimPort(device, &message) == ExitOk) return "";
  // The system's words follow the device's name.
  const size_t colon = message.find(device + ": ");
  return colon == std::string::npos ? message : message.substr(colon + device.size() + 2);
}

bool samePort(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (toupper(static_cast<unsigned char>(a[i])) != toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}
