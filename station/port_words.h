// A station's words for a port that does not open: when it is first opened,
// and when a port that was there is waited for.
#pragma once

#include <string>

#include "link/serial_port.h"

// Why the port of that name did not open, with the system's reason: "port
// busy", "is not a serial port", "cannot drive the reset line" (--reset on a
// port without control lines), or "COM Port Error: Cannot Connect to".
std::string portFailureText(const std::string& device, const PortOpenFault& fault);
// Why a port that was there does not open now, in a few words for a station
// that waits for it: "gone", "busy with another program", "refused by the
// server", with the system's reason where it adds to them.
std::string portAwayText(const std::string& device, const PortOpenFault& fault);
