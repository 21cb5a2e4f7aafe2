// Ports by USB identity or place on Linux (from the device tree), and the
// device nodes of local ports on Linux and macOS.
#include <sys/stat.h>

#include "station/port_selection.h"
#include "station/usb_sysfs.h"

std::vector<PortInfo> listUsbPorts() {
  std::vector<PortInfo> ports;
  const std::string root = sysfsRoot(), devices = deviceRoot();
  for (const std::string& name : usbTtyNames(root)) {
    PortInfo port;
    if (!usbPortOf(root, name, &port)) continue;
    port.device = devices + "/" + name;
    ports.push_back(port);
  }
  return ports;
}

bool portSelectorsSupported() {
#ifdef __linux__
  return true;
#else
  return false;
#endif
}

bool checkLocalPortName(const std::string& text, std::string* error) {
  if (!text.empty()) return true;
  *error = "--port takes a device such as /dev/ttyUSB0, not an empty name";
  return false;
}

bool deviceNodePresent(const std::string& device) {
  struct stat about;
  return stat(device.c_str(), &about) == 0;
}
