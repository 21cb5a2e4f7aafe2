// The serial ports as the command line lists them: their descriptions, as lines or as JSON.
#include "cli/ports.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "operations/exit_codes.h"
#include "station/port_selector.h"

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
    list.push_back({{"device", port.device},
                    {"description", port.description},
                    {"usb", usb},
                    {"location", textOrNull(port.location)},
                    {"port_by_identity", textOrNull(identitySelector(port, ports))},
                    {"port_by_place", textOrNull(placeSelector(port, ports))}});
  }
  return list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

namespace {

// Where a USB port hangs and the --port texts that select it ("at 1-2, select
// with --port usb:1a2b:3c4d:A1B2C3 or --port usb-path:1-2"); empty for others.
std::string placeLine(const PortInfo& port, const std::vector<PortInfo>& ports) {
  std::string line = port.location.empty() ? "" : "at " + port.location;
  std::string texts;
  for (const std::string& text : {identitySelector(port, ports), placeSelector(port, ports)}) {
    if (!text.empty()) texts += (texts.empty() ? "--port " : " or --port ") + text;
  }
  if (!texts.empty()) line += (line.empty() ? "" : ", ") + std::string("select with ") + texts;
  return line;
}

}  // namespace

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
    const std::string place = placeLine(port, ports);
    if (!place.empty()) printf("%-24s %s\n", "", place.c_str());
  }
  return ExitOk;
}
