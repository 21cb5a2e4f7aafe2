// Ports named by their USB identity or place: the names read, matched and
// written back for a port (cli/port_selector.h).
#include "station/port_selector.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char* const ByIdentity = "usb:";
const char* const ByPlace = "usb-path:";

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// One to four hexadecimal digits.
bool readUsbId(const std::string& text, int* value) {
  if (text.empty() || text.size() > 4) return false;
  char* end = nullptr;
  const long number = strtol(text.c_str(), &end, 16);
  if (*end != '\0' || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  *value = static_cast<int>(number);
  return true;
}

// A bus and port path as the system names it: "1-2.3", or an interface of
// it, "1-2.3:1.0".
bool isLocation(const std::string& text) {
  if (text.empty() || text.find('-') == std::string::npos) return false;
  for (char c : text) {
    if (!(c >= '0' && c <= '9') && c != '-' && c != '.' && c != ':') return false;
  }
  return true;
}

std::string usbIds(int vendorId, int productId) {
  char text[32];
  snprintf(text, sizeof text, "usb:%04x:%04x", vendorId, productId);
  return text;
}

// How many of the ports the selector text names.
size_t countMatches(const std::string& text, const std::vector<PortInfo>& ports) {
  PortSelector selector;
  std::string error;
  if (!parsePortSelector(text, &selector, &error)) return 0;
  return matchingPorts(selector, ports).size();
}

}  // namespace

bool isPortSelector(const std::string& text) {
  return startsWith(text, ByIdentity) || startsWith(text, ByPlace);
}

bool parsePortSelector(const std::string& text, PortSelector* selector, std::string* error) {
  PortSelector read;
  if (startsWith(text, ByPlace)) {
    read.byPlace = true;
    read.location = text.substr(std::char_traits<char>::length(ByPlace));
    if (!isLocation(read.location)) {
      *error = "--port " + text + ": usb-path: takes the adapter's place on the bus, such as 1-2.3";
      return false;
    }
    *selector = read;
    return true;
  }
  const std::string rest = text.substr(std::char_traits<char>::length(ByIdentity));
  const size_t colon = rest.find(':');
  const size_t second = colon == std::string::npos ? colon : rest.find(':', colon + 1);
  const std::string product =
      colon == std::string::npos ? "" : rest.substr(colon + 1, second - colon - 1);
  if (colon == std::string::npos || !readUsbId(rest.substr(0, colon), &read.vendorId) ||
      !readUsbId(product, &read.productId) ||
      (second != std::string::npos && second + 1 == rest.size())) {
    *error = "--port " + text +
             ": usb: takes the adapter's vendor and product ids in hexadecimal and optionally its "
             "serial number, such as usb:1a2b:3c4d or usb:1a2b:3c4d:A1B2C3";
    return false;
  }
  if (second != std::string::npos) read.serial = rest.substr(second + 1);
  *selector = read;
  return true;
}

bool selectorMatches(const PortSelector& selector, const PortInfo& port) {
  if (!port.usb.known) return false;
  if (selector.byPlace) {
    return !port.location.empty() &&
           (selector.location == port.location || selector.location == port.usbInterface);
  }
  return selector.vendorId == port.usb.vendorId && selector.productId == port.usb.productId &&
         (selector.serial.empty() || selector.serial == port.usb.serial);
}

std::vector<PortInfo> matchingPorts(const PortSelector& selector,
                                    const std::vector<PortInfo>& ports) {
  std::vector<PortInfo> found;
  for (const PortInfo& port : ports) {
    if (selectorMatches(selector, port)) found.push_back(port);
  }
  return found;
}

std::string identitySelector(const PortInfo& port, const std::vector<PortInfo>& ports) {
  if (!port.usb.known) return "";
  const std::string ids = usbIds(port.usb.vendorId, port.usb.productId);
  // The serial number names the adapter wherever it is plugged in.
  const std::string text = port.usb.serial.empty() ? ids : ids + ":" + port.usb.serial;
  return countMatches(text, ports) == 1 ? text : "";
}

std::string placeSelector(const PortInfo& port, const std::vector<PortInfo>& ports) {
  if (!port.usb.known || port.location.empty()) return "";
  const std::string text = std::string(ByPlace) + port.location;
  if (countMatches(text, ports) == 1) return text;
  // An adapter with several ports: each is one of its interfaces.
  return port.usbInterface.empty() ? "" : std::string(ByPlace) + port.usbInterface;
}

std::string severalMatchesText(const std::string& given, const std::vector<PortInfo>& matches,
                               const std::vector<PortInfo>& ports) {
  std::string text = given + " matches " + std::to_string(matches.size()) + " adapters: ";
  for (size_t i = 0; i < matches.size(); ++i) {
    const PortInfo& port = matches[i];
    if (i > 0) text += i + 1 == matches.size() ? " and " : ", ";
    // The serial number tells adapters apart, else their places do.
    std::string apart = identitySelector(port, ports);
    if (apart.empty()) apart = placeSelector(port, ports);
    text += port.device + (apart.empty() ? "" : " (--port " + apart + ")");
  }
  return text;
}
