// A port named by its USB adapter's identity (usb:VID:PID, usb:VID:PID:SERIAL)
// or by its place on the bus (usb-path:LOCATION), and how such a name is
// matched against the USB serial ports of the machine.
#pragma once

#include <string>
#include <vector>

#include "station/serial_ports.h"

struct PortSelector {
  bool byPlace = false;  // usb-path:LOCATION; else usb:VID:PID[:SERIAL]
  int vendorId = 0, productId = 0;
  std::string serial;    // empty: any adapter with the ids
  std::string location;  // a USB device ("1-2.3") or one of its interfaces ("1-2.3:1.0")
};

// Whether the text names a port by identity or place (it starts with "usb:"
// or "usb-path:"), whatever follows.
bool isPortSelector(const std::string& text);
// Reads such a text; false with why it is no selector.
bool parsePortSelector(const std::string& text, PortSelector* selector, std::string* error);

// Whether the USB serial port (a PortInfo with its identity and place) is
// one the selector names, and all those among `ports` that are.
bool selectorMatches(const PortSelector& selector, const PortInfo& port);
std::vector<PortInfo> matchingPorts(const PortSelector& selector,
                                    const std::vector<PortInfo>& ports);

// The --port texts that name this port and no other among `ports`: by its
// identity (empty when its identity does not tell it from another), and by
// its place (empty when its place is not known).
std::string identitySelector(const PortInfo& port, const std::vector<PortInfo>& ports);
std::string placeSelector(const PortInfo& port, const std::vector<PortInfo>& ports);

// "usb:1a2b:3c4d matches 2 adapters: /dev/ttyUSB0 (usb-path:1-2) and
// /dev/ttyUSB1 (usb-path:1-3)": each named with what tells it apart.
std::string severalMatchesText(const std::string& given, const std::vector<PortInfo>& matches,
                               const std::vector<PortInfo>& ports);
