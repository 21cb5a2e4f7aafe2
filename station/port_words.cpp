// A station's words for a port that does not open (station/port_words.h).
#include "station/port_words.h"

std::string portFailureText(const std::string& device, const PortOpenFault& fault) {
  const std::string reason = fault.status == PortOpenStatus::Unresolved
                                 ? resolverErrorText(fault.systemError)
                                 : systemErrorText(fault.systemError);
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
    case PortOpenStatus::Unresolved:
      return "its host name does not resolve (" + resolverErrorText(fault.systemError) + ")";
    default:
      return "it does not open" + because;
  }
}
