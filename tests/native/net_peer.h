// What the tests of network ports share: loopback TCP ports, ser2net in front
// of a serial device, and a program run to its end with its output kept.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A TCP port of the loopback that nothing listens on now.
int freeLoopbackPort();
// Whether something takes connections on the loopback's TCP port.
bool loopbackListening(int port);

// ser2net's program, or nullptr when it is not installed.
const char* ser2netProgram();
// Starts ser2net (configuration in `dir`) serving `device` on the loopback's
// `port` as raw TCP, or as RFC 2217 when `rfc2217`, and waits until it takes
// connections; 0 when it did not come up (the reason in *why).
pid_t ser2netStart(const std::string& dir, const std::string& device, int port, bool rfc2217,
                   std::string* why);
// Ends it (accepts 0).
void ser2netStop(pid_t server);

// Runs a program with these arguments, standard input from /dev/null and its
// standard output and error into `outputPath`; its pid.
pid_t spawnProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& outputPath);
// Its exit code, or 128 plus the signal that ended it.
int waitForExit(pid_t pid);
std::string readWholeFile(const std::string& path);
