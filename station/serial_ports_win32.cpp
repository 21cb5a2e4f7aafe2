// The COM ports of a Windows machine.
#include <windows.h>

#include <cctype>
#include <cstdio>

#include "station/serial_ports.h"

std::vector<PortInfo> listSerialPorts() {
  std::vector<PortInfo> ports;
  for (int number = 1; number <= 256; ++number) {
    char name[16];
    char target[512];
    snprintf(name, sizeof name, "COM%d", number);
    if (QueryDosDeviceA(name, target, sizeof target) == 0) continue;
    PortInfo port;
    port.device = name;
    port.description = target;
    ports.push_back(port);
  }
  return ports;
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
