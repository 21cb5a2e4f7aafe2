// The command line's words for a port that does not open.
#include "cli/ports.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "cli/exit_codes.h"
#include "cli/port_selector.h"

std::string portFailureText(const std::string& device, const PortOpenFault& fault) {
  const std::string reason = systemErrorText(fault.systemError);
  switch (fault.status) {
    case PortOpenStatus::Busy:
      return device + ": port busy (" +
             (fault.systemError == 0 ? std::string("another program is using it") : reason) + ")";
    case PortOpenStatus::NotASerialPort:
      return device + " is not a serial port";
    case PortOpenStatus::NoControlLines:
      return device + ": cannot drive the reset line (" +
             (reason.empty() ? std::string("it has no control lines") : reason) + ")";
    case PortOpenStatus::Denied:
      return "COM Port Error: Cannot Connect to " + device + ": " + reason +
             " (is the user in the dialout group?)";
    default:
      return "COM Port Error: Cannot Connect to " + device + (reason.empty() ? "" : ": " + reason);
  }
}

std::string portAwayText(const std::string& device, const PortOpenFault& fault) {
  const std::string reason = systemErrorText(fault.systemError);
  const std::string because = reason.empty() ? "" : " (" + reason + ")";
  const bool network = netPortKind(device) != NetPortKind::None;
  switch (fault.status) {
    case PortOpenStatus::Busy:
      return "busy with another program" + (fault.systemError == 0 ? "" : because);
    case PortOpenStatus::Absent:
    case PortOpenStatus::NoDevice:
      if (!network) return "gone" + because;
      if (connectionRefused(fault.systemError)) return "refused by the server";
      if (fault.systemError == 0) return "the server hung up";
      return "the server cannot be reached" + because;
    case PortOpenStatus::Denied:
      return "not allowed to open it" + because;
    default:
      return "it does not open" + because;
  }
}

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
