// Local ports on Windows: COM1 to COM256, their device names, and no ports
// by USB identity or place.
#include <windows.h>

#include <cstdio>

#include "station/port_selection.h"

namespace {

// The highest COM port number the command line opens.
constexpr int HighestComPort = 256;

// The number of "COMn" in any case, 0 when the text is none.
int comNumber(const std::string& text) {
  int number = 0;
  char rest = 0;
  if (sscanf(text.c_str(), "%*1[Cc]%*1[Oo]%*1[Mm]%d%c", &number, &rest) != 1) return 0;
  if (text.size() < 4 || text[3] < '1' || text[3] > '9') return 0;  // no sign, space or 0
  return number;
}

}  // namespace

std::vector<PortInfo> listUsbPorts() {
  return {};
}

bool portSelectorsSupported() {
  return false;
}

bool checkLocalPortName(const std::string& text, std::string* error) {
  const int number = comNumber(text);
  if (number >= 1 && number <= HighestComPort) return true;
  *error =
      "--port takes COM1 to COM256, rfc2217://HOST:PORT or tcp://HOST:PORT on Windows, not \"" +
      text + "\"";
  return false;
}

bool deviceNodePresent(const std::string& device) {
  char target[512];
  return QueryDosDeviceA(device.c_str(), target, sizeof target) != 0;
}
