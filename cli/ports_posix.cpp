#include <libserialport.h>
#include <sys/stat.h>

#include <cstdio>

#include "cli/ports.h"

bool samePort(const std::string& a, const std::string& b) {
  struct stat first, second;
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return a == b;
  if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) return first.st_rdev == second.st_rdev;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::vector<PortInfo> listSerialPorts() {
  std::vector<PortInfo> ports;
  sp_port** list = nullptr;
  if (sp_list_ports(&list) != SP_OK) return ports;
  for (int i = 0; list[i]; ++i) {
    PortInfo info;
    info.device = sp_get_port_name(list[i]);
    std::string description;
    if (const char* text = sp_get_port_description(list[i])) description = text;
    if (sp_get_port_transport(list[i]) == SP_TRANSPORT_USB) {
      int vendor = 0, product = 0;
      if (sp_get_port_usb_vid_pid(list[i], &vendor, &product) == SP_OK) {
        char ids[32];
        snprintf(ids, sizeof ids, " [USB %04x:%04x]", vendor, product);
        description += ids;
      }
      if (const char* maker = sp_get_port_usb_manufacturer(list[i])) {
        description += std::string(", ") + maker;
      }
      if (const char* serial = sp_get_port_usb_serial(list[i])) {
        description += std::string(", serial ") + serial;
      }
    }
    info.description = description;
    ports.push_back(info);
  }
  sp_free_port_list(list);
  return ports;
}
