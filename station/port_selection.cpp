// The port the link opens for a --port text, a selector resolved at every
// open (cli/port_selection.h).
#include "station/port_selection.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "operations/exit_codes.h"
#include "station/port_selector.h"

namespace {

std::mutex choiceLock;
std::vector<std::string> otherPorts;  // guarded by choiceLock
std::string problem, device;          // of the last open, guarded by choiceLock
PortOpenFault fault = {PortOpenStatus::Opened, 0};

// A selector's adapter now: true with its device, else false with why.
bool resolveSelector(const std::string& given, const std::vector<PortInfo>& ports,
                     std::string* chosen, std::string* why) {
  PortSelector selector;
  if (!parsePortSelector(given, &selector, why)) return false;
  const std::vector<PortInfo> found = matchingPorts(selector, ports);
  if (found.size() == 1) {
    *chosen = found[0].device;
    return true;
  }
  *why = found.empty() ? "no adapter matches " + given : severalMatchesText(given, found, ports);
  return false;
}

// The device another port names now (a selector's adapter; empty when it
// has none or is a network port).
std::string deviceOf(const std::string& text, const std::vector<PortInfo>& ports) {
  if (netPortKind(text) != NetPortKind::None) return "";
  if (!isPortSelector(text)) return text;
  std::string chosen, why;
  return resolveSelector(text, ports, &chosen, &why) ? chosen : "";
}

// The device to open for the text, or why there is none now.
bool chooseDevice(const std::string& given, std::string* chosen, std::string* why) {
  if (!isPortSelector(given)) {
    *chosen = given;
    return true;
  }
  const std::vector<PortInfo> ports = listUsbPorts();
  if (!resolveSelector(given, ports, chosen, why)) return false;
  std::vector<std::string> others;
  {
    std::lock_guard<std::mutex> hold(choiceLock);
    others = otherPorts;
  }
  for (const std::string& other : others) {
    const std::string theirs = deviceOf(other, ports);
    if (!theirs.empty() && samePort(theirs, *chosen)) {
      *why = given + " and " + other + " both select " + *chosen;
      return false;
    }
  }
  return true;
}

void keepChoice(const std::string& chosen, const std::string& why, PortOpenFault openFault) {
  std::lock_guard<std::mutex> hold(choiceLock);
  device = chosen;
  problem = why;
  fault = openFault;
}

// The form of one --port text: ExitOk, or ExitUsage with why.
int checkPortForm(const std::string& text, const std::vector<PortInfo>& ports, std::string* error) {
  if (netPortKind(text) != NetPortKind::None) return ExitOk;
  if (!isPortSelector(text)) return checkLocalPortName(text, error) ? ExitOk : ExitUsage;
  if (!portSelectorsSupported()) {
    *error = "--port " + text + ": ports by USB identity or place (usb:, usb-path:) are for Linux";
    return ExitUsage;
  }
  PortSelector selector;
  if (!parsePortSelector(text, &selector, error)) return ExitUsage;
  const std::vector<PortInfo> found = matchingPorts(selector, ports);
  if (found.size() <= 1) return ExitOk;  // none: waited for, as an unplugged port
  *error = severalMatchesText(text, found, ports);
  return ExitUsage;
}

}  // namespace

int checkPortTexts(const std::vector<std::string>& ports, std::string* error) {
  std::vector<PortInfo> usb;
  for (const std::string& text : ports) {
    if (isPortSelector(text) && usb.empty()) usb = listUsbPorts();
    if (checkPortForm(text, usb, error) != ExitOk) return ExitUsage;
  }
  std::vector<std::string> devices;
  for (const std::string& text : ports) devices.push_back(deviceOf(text, usb));
  for (size_t i = 0; i < ports.size(); ++i) {
    for (size_t j = i + 1; j < ports.size(); ++j) {
      const bool same = ports[i] == ports[j] || (!devices[i].empty() && !devices[j].empty() &&
                                                 samePort(devices[i], devices[j]));
      if (!same) continue;
      *error = "--port " + ports[i] + " is given twice";
      if (ports[i] != ports[j]) *error += ", also as " + ports[j];
      if (devices[i] != ports[i] || devices[j] != ports[j]) *error += " (" + devices[i] + ")";
      return ExitUsage;
    }
  }
  return ExitOk;
}

void setOtherPorts(const std::vector<std::string>& ports) {
  std::lock_guard<std::mutex> hold(choiceLock);
  otherPorts = ports;
}

LinkResult openSelectedPort(const std::string& given) {
  std::string chosen, why;
  if (!chooseDevice(given, &chosen, &why)) {
    setPortDevicePath(1, nullptr);
    keepChoice("", why, {PortOpenStatus::Absent, 0});
    return LinkPortUnavailable;
  }
  setPortDevicePath(1, chosen.c_str());
  serialSettings.portNumber = 1;
  const LinkResult result = openTargetPort(serialSettings);
  keepChoice(chosen, "",
             result == LinkOk ? PortOpenFault{PortOpenStatus::Opened, 0} : lastPortOpenFault());
  return result;
}

PortOpenFault selectedPortFault() {
  std::lock_guard<std::mutex> hold(choiceLock);
  return fault;
}

std::string selectionProblem() {
  std::lock_guard<std::mutex> hold(choiceLock);
  return problem;
}

std::string selectedDevice() {
  std::lock_guard<std::mutex> hold(choiceLock);
  return device;
}

bool portDeviceGone(const std::string& given, const std::string& node, bool lineFailed) {
  if (netPortKind(given) != NetPortKind::None || node.empty()) return false;
  // The system takes a moment to remove the device of an adapter pulled out.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(lineFailed ? 1 : 0);
  for (;;) {
    if (!deviceNodePresent(node)) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}
