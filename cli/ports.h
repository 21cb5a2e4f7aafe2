// The serial ports of this machine as the command line names them.
#pragma once

#include <string>
#include <vector>

// Takes the port for this process before the link opens it: refuses a device
// that is not a serial port and a port that another process holds (an
// advisory lock beside the exclusive mode, held until the process ends).
// ExitOk, or ExitPortError with the reason in *message.
int claimPort(const std::string& device, std::string* message);
// After the line went away and came back, takes the port again: the device
// behind the name may be a new one, to be held like the first. ExitOk, -1
// while no device is there, or
// ExitPortError with the reason (another process took it meanwhile).
int reclaimPort(const std::string& device, std::string* message);
// Why the port does not open now, in the system's words; empty when it opens.
std::string portOpenError(const std::string& device);
// Whether the two names are one port (a link and its device, two spellings).
bool samePort(const std::string& a, const std::string& b);

struct PortInfo {
  std::string device;       // "/dev/ttyUSB0", "COM3"
  std::string description;  // what the system knows of it, may be empty
};
std::vector<PortInfo> listSerialPorts();
