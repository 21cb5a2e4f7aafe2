// The serial ports of this machine (station/serial_ports.h): the parts every
// system shares.
#include "station/serial_ports.h"

#include <cstdio>

std::string describePort(const std::string& text, const UsbIdentity& usb) {
  if (!usb.known) return text;
  char ids[32];
  snprintf(ids, sizeof ids, "[USB %04x:%04x]", usb.vendorId, usb.productId);
  std::string description = text.empty() ? std::string(ids) : text + " " + ids;
  if (!usb.manufacturer.empty()) description += ", " + usb.manufacturer;
  if (!usb.serial.empty()) description += ", serial " + usb.serial;
  return description;
}
