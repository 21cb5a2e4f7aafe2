// The serial ports of a Linux or macOS machine.
#include <libserialport.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "station/serial_ports.h"
#include "station/usb_sysfs.h"

bool samePort(const std::string& a, const std::string& b) {
  struct stat first, second;
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return a == b;
  if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) return first.st_rdev == second.st_rdev;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

namespace {

// What the serial port library knows of a USB port (where there is no
// device tree to ask).
UsbIdentity libraryUsbIdentity(sp_port* port) {
  UsbIdentity usb;
  if (sp_get_port_transport(port) != SP_TRANSPORT_USB) return usb;
  if (sp_get_port_usb_vid_pid(port, &usb.vendorId, &usb.productId) != SP_OK) return usb;
  usb.known = true;
  if (const char* text = sp_get_port_usb_serial(port)) usb.serial = text;
  if (const char* text = sp_get_port_usb_manufacturer(port)) usb.manufacturer = text;
  if (const char* text = sp_get_port_usb_product(port)) usb.product = text;
  return usb;
}

std::string baseName(const std::string& device) {
  const size_t slash = device.rfind('/');
  return slash == std::string::npos ? device : device.substr(slash + 1);
}

}  // namespace

std::vector<PortInfo> listSerialPorts() {
  std::vector<PortInfo> ports;
  const std::string root = sysfsRoot();
  std::vector<std::string> onUsb = usbTtyNames(root);
  sp_port** list = nullptr;
  if (sp_list_ports(&list) == SP_OK) {
    for (int i = 0; list[i]; ++i) {
      PortInfo info;
      info.device = sp_get_port_name(list[i]);
      if (!usbPortOf(root, baseName(info.device), &info)) {
        info.usb = libraryUsbIdentity(list[i]);
      }
      const char* text = sp_get_port_description(list[i]);
      info.description = describePort(text ? text : "", info.usb);
      onUsb.erase(std::remove(onUsb.begin(), onUsb.end(), baseName(info.device)), onUsb.end());
      ports.push_back(info);
    }
    sp_free_port_list(list);
  }
  // USB ports the device tree knows and the library did not list.
  for (const std::string& name : onUsb) {
    PortInfo info;
    info.device = deviceRoot() + "/" + name;
    usbPortOf(root, name, &info);
    info.description = describePort(info.usb.product, info.usb);
    ports.push_back(info);
  }
  return ports;
}
