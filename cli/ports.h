// The serial ports of this machine as the command line names them, and what
// it says when one does not open.
#pragma once

#include <string>
#include <vector>

#include "link/serial_port.h"

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
// The ports as one JSON array, one object a port: its device, description
// and its USB identity (null when not known).
std::string portsJson(const std::vector<PortInfo>& ports);
// k4471-cli ports: a line a port, or the JSON array.
int listPorts(bool json);

// Why the port of that name did not open, with the system's reason: "port
// busy", "is not a serial port", "cannot drive the reset line" (--reset on a
// port without control lines), or "COM Port Error: Cannot Connect to".
std::string portFailureText(const std::string& device, const PortOpenFault& fault);
// Why a port that was there does not open now, in a few words for a station
// that waits for it: "gone", "busy with another program", "refused by the
// server", with the system's reason where it adds to them.
std::string portAwayText(const std::string& device, const PortOpenFault& fault);
// Whether the system's error is a connection that the other end refused.
bool connectionRefused(int systemError);
