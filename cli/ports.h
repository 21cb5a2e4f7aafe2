// The serial ports of this machine as the command line names them and lists
// them (k4471-cli ports).
#pragma once

#include <string>
#include <vector>

// Whether the two names are one port (a link and its device, two spellings).
bool samePort(const std::string& a, const std::string& b);

// A port's USB identity, where the system knows it.
struct UsbIdentity {
  bool known = false;
  int vendorId = 0, productId = 0;
  std::string serial, manufacturer, product;  // empty: not known
};

struct PortInfo {
  std::string device;       // "/dev/ttyUSB0", "COM3"
  std::string description;  // what the system knows of it, may be empty
  UsbIdentity usb;
};
std::vector<PortInfo> listSerialPorts();

// The description of a port: `text` with its USB identity added
// ("[USB 1a2b:3c4d], maker, serial A1B2C3").
std::string describePort(const std::string& text, const UsbIdentity& usb);
// The ports as one JSON array, one object a port: its device, description
// and its USB identity (null when not known).
std::string portsJson(const std::vector<PortInfo>& ports);
// k4471-cli ports: a line a port, or the JSON array.
int listPorts(bool json);
