// The serial ports of this machine as the command line names them, and what
// it says when one does not open.
#pragma once

#include <string>
#include <vector>

#include "link/serial_port.h"

// Whether the two names are one port (a link and its device, two spellings).
bool samePort(const std::string& a, const std::string& b);

struct PortInfo {
  std::string device;       // "/dev/ttyUSB0", "COM3"
  std::string description;  // what the system knows of it, may be empty
};
std::vector<PortInfo> listSerialPorts();

// Why the port of that name did not open, with the system's reason: "port
// busy", "is not a serial port", "cannot drive the reset line" (--reset on a
// port without control lines), or "COM Port Error: Cannot Connect to".
std::string portFailureText(const std::string& device, const PortOpenFault& fault);
