// The port the link opens for a --port text, chosen again at every open: a
// device, a network port, or a USB adapter found by its identity or place
// (usb:VID:PID[:SERIAL], usb-path:LOCATION; Linux only).
#pragma once

#include <string>
#include <vector>

#include "station/serial_ports.h"
#include "link/bootloader.h"

// Checks the --port texts before anything is opened: each one's form, that a
// selector matches at most one adapter now, and that no two of them name one
// port (under two names, or two selectors of one adapter). ExitOk, or
// ExitUsage with why in *error.
int checkPortTexts(const std::vector<std::string>& ports, std::string* error);

// The ports of the command besides this process's own (a station's worker
// is told them): a selector that resolves to the adapter of one of them at a
// reopen is not opened.
void setOtherPorts(const std::vector<std::string>& ports);

// Opens the link's port for the text given, a selector resolved now:
// LinkOk, or LinkPortUnavailable with selectedPortFault() telling why.
LinkResult openSelectedPort(const std::string& given);
// Why the last open failed. A selector that found no single adapter (none,
// several, or one another port names) is an absent port: it is waited for.
PortOpenFault selectedPortFault();
// The words for a selector that found no single adapter at the last open,
// empty when it found one (or the port is no selector).
std::string selectionProblem();
// The device the last open chose: a selector's adapter, else the text given.
std::string selectedDevice();

// Whether a board's failure came from its going away with its port: a
// local port whose device is gone now, or within a second when the line
// failed (lineFailed). Never for a network port.
bool portDeviceGone(const std::string& given, const std::string& device, bool lineFailed);

// What each operating system provides.
// The serial ports on USB with their identity and place (Linux: from the
// device tree); empty elsewhere.
std::vector<PortInfo> listUsbPorts();
// Whether ports may be named by USB identity or place here.
bool portSelectorsSupported();
// Whether the text is a local port this system opens (Windows: COM1 to
// COM256); false with why.
bool checkLocalPortName(const std::string& text, std::string* error);
// Whether the device node of a local port is there.
bool deviceNodePresent(const std::string& device);
