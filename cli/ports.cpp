// The serial ports as the command line lists them: their descriptions, as lines or as JSON.
#include "cli/ports.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "operations/exit_codes.h"

std::string describePort(const std::string& text, const UsbIdentity& usb) {
  if (!usb.known) return text;
  char ids[32];
  snprintf(ids, sizeof ids, "[USB %04x:%04x]", usb.vendorId, usb.productId);
  std::string description = text.empty() ? std::string(ids) : text + " " + ids;
  if (!usb.manufacturer.empty()) description += ", " + usb.manufacturer;
  if (!usb.serial.empty()) description += ", serial " + usb.serial;
  return description;
}

std::string portsJson(const std::vector<PortInfo>& ports) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  auto textOrNull = [](const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
  };
  for (const PortInfo& port : ports) {
    nlohmann::ordered_json usb;  // null
    if (port.usb.known) {
      char vendor[8], product[8];
      snprintf(vendor, sizeof vendor, "%04x", port.usb.vendorId);
      snprintf(product, sizeof product, "%04x", port.usb.productId);
      usb = {{"vendor_id", vendor},
             {"product_id", product},
             {"serial", textOrNull(port.usb.serial)},
             {"manufacturer", textOrNull(port.usb.manufacturer)},
             {"product", textOrNull(port.usb.product)}};
    }
    list.push_back({{"device", port.device}, {"description", port.description}, {"usb", usb}});
  }
  return list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

int listPorts(bool json) {
  std::vector<PortInfo> ports = listSerialPorts();
  if (json) {
    printf("%s\n", portsJson(ports).c_str());
    return ExitOk;
  }
  if (ports.empty()) {
    printf("No serial ports found.\n");
    return ExitOk;
  }
  for (const PortInfo& port : ports) {
    printf("%-24s %s\n", port.device.c_str(), port.description.c_str());
  }
  return ExitOk;
}
