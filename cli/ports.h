// The serial ports of this machine as the command line names them and lists
// them (k4471-cli ports).
#pragma once

#include <string>
#include <vector>

#include "station/serial_ports.h"

// The ports as one JSON array, one object a port: its device, description
// and its USB identity (null when not known).
std::string portsJson(const std::vector<PortInfo>& ports);
// k4471-cli ports: a line a port, or the JSON array.
int listPorts(bool json);
