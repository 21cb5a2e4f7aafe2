// The command line's words for a port that does not open.
#include "cli/ports.h"

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
