// The USB identity of serial ports from the system's device tree (sysfs),
// whose root K4471_SYSFS_ROOT may replace (for tests); nothing is found where
// the system has no such tree.
#pragma once

#include <string>
#include <vector>

#include "station/serial_ports.h"

// The device tree's root: K4471_SYSFS_ROOT, else /sys.
std::string sysfsRoot();
// Where the devices of the tree's ttys are: K4471_DEV_ROOT, else /dev.
std::string deviceRoot();
// The identity of the tty NAME ("ttyUSB0"): its device under
// ROOT/class/tty/NAME/device, walked up to the USB device that holds it.
// False when it is not on USB (or not known).
bool usbIdentityOf(const std::string& root, const std::string& name, UsbIdentity* usb);
// The same with the tty's place: its USB device's folder name ("1-2.3") in
// port->location, the interface on the way to it ("1-2.3:1.0") in
// port->usbInterface (empty when the walk met none).
bool usbPortOf(const std::string& root, const std::string& name, PortInfo* port);
// The names of the ttys in ROOT/class/tty that are on USB.
std::vector<std::string> usbTtyNames(const std::string& root);
