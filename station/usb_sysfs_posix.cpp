// The USB identity and place of serial ports from the system's device tree.
#include "station/usb_sysfs.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace {

// How far above a tty's device its USB device may lie.
constexpr int LongestWalk = 8;

// The first line of a small file, without its end; empty when there is none.
std::string firstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line.size() > 256 ? line.substr(0, 256) : line;
}

bool hexNumber(const std::string& text, int* value) {
  if (text.empty() || text.size() > 4) return false;
  char* end = nullptr;
  const long number = strtol(text.c_str(), &end, 16);
  if (*end != '\0') return false;
  *value = static_cast<int>(number);
  return true;
}

std::string realPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// Reads the identity of the USB device in `folder`; false when it is none.
bool readUsbDevice(const std::string& folder, UsbIdentity* usb) {
  UsbIdentity found;
  if (!hexNumber(firstLine(folder + "/idVendor"), &found.vendorId) ||
      !hexNumber(firstLine(folder + "/idProduct"), &found.productId)) {
    return false;
  }
  found.serial = firstLine(folder + "/serial");
  found.manufacturer = firstLine(folder + "/manufacturer");
  found.product = firstLine(folder + "/product");
  found.known = true;
  *usb = found;
  return true;
}

std::string baseName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

}  // namespace

std::string sysfsRoot() {
  const char* root = getenv("K4471_SYSFS_ROOT");
  return root && *root ? std::string(root) : std::string("/sys");
}

std::string deviceRoot() {
  const char* root = getenv("K4471_DEV_ROOT");
  return root && *root ? std::string(root) : std::string("/dev");
}

bool usbIdentityOf(const std::string& root, const std::string& name, UsbIdentity* usb) {
  PortInfo port;
  if (!usbPortOf(root, name, &port)) return false;
  *usb = port.usb;
  return true;
}

bool usbPortOf(const std::string& root, const std::string& name, PortInfo* port) {
  if (name.empty() || name.find('/') != std::string::npos || name[0] == '.') return false;
  const std::string top = realPath(root);
  std::string folder = realPath(root + "/class/tty/" + name + "/device");
  if (top.empty() || folder.empty()) return false;
  // Up from the tty's device, never out of the tree; the folder below the
  // USB device is the interface the tty hangs on.
  std::string below;
  for (int step = 0; step < LongestWalk; ++step) {
    if (folder.size() <= top.size() || folder.compare(0, top.size() + 1, top + "/") != 0) break;
    if (readUsbDevice(folder, &port->usb)) {
      port->location = baseName(folder);
      port->usbInterface = below.find(':') == std::string::npos ? "" : below;
      return true;
    }
    below = baseName(folder);
    folder = folder.substr(0, folder.rfind('/'));
  }
  return false;
}

std::vector<std::string> usbTtyNames(const std::string& root) {
  std::vector<std::string> names;
  DIR* folder = opendir((root + "/class/tty").c_str());
  if (!folder) return names;
  while (const dirent* entry = readdir(folder)) {
    UsbIdentity usb;
    if (usbIdentityOf(root, entry->d_name, &usb)) names.push_back(entry->d_name);
  }
  closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}
