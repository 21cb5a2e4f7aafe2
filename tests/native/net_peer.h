// What the tests of network ports share: loopback TCP ports, ser2net in front
// of a serial device.
#pragma once

#include <sys/types.h>

#include <string>

// A TCP port of the loopback that nothing listens on now.
int freeLoopbackPort();
// Whether something takes connections on the loopback's TCP port.
bool loopbackListening(int port);

// A server on the loopback's `port` that takes every connection and hangs
// it up at once, as a serial server going down does, until it is stopped.
struct HangUpServer;
HangUpServer* hangUpServerStart(int port);
// How many connections it has hung up.
int hangUpServerCount(HangUpServer* server);
// Stops it: the port refuses from then on (accepts nullptr).
void hangUpServerStop(HangUpServer* server);

// ser2net's program, or nullptr when it is not installed.
const char* ser2netProgram();
// Starts ser2net (configuration in `dir`) serving `device` on the loopback's
// `port` as raw TCP, or as RFC 2217 when `rfc2217`, and waits until it takes
// connections; 0 when it did not come up (the reason in *why).
pid_t ser2netStart(const std::string& dir, const std::string& device, int port, bool rfc2217,
                   std::string* why);
// Ends it (accepts 0).
void ser2netStop(pid_t server);
