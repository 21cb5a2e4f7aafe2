// The serial ports of this machine: whether two names are one port, and the
// ports the system knows with their USB identity and place.
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
  // Where a USB port hangs: its USB device's place on the bus ("1-2.3") and
  // the interface of it ("1-2.3:1.0"); empty when not known.
  std::string location, usbInterface;
};
std::vector<PortInfo> listSerialPorts();
// The description of a port: `text` with its USB identity added
// ("[USB 1a2b:3c4d], maker, serial A1B2C3").
std::string describePort(const std::string& text, const UsbIdentity& usb);
