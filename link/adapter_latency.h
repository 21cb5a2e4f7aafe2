// USB serial adapters hold what they receive for up to their latency timer
// before they pass it on. The protocol waits for two replies per block, so a
// 16 ms timer costs more time than the block takes on the wire. When a local
// port turns out to be such an adapter, the link asks the system for its
// low-latency mode and reads the timer, for the user to be told.
#pragma once

#include <string>

#include "link/serial_port.h"

enum class LowLatency {
  NotAnAdapter,  // no USB serial adapter (or a system where nobody can tell)
  Granted,
  Refused,
};

struct AdapterLatency {
  LowLatency lowLatency = LowLatency::NotAnAdapter;
  int systemError = 0;    // why low-latency mode was refused; 0 when the driver ignored it
  int timerMs = -1;       // the adapter's latency timer; -1 when it shows none
  std::string timerFile;  // where the timer is set (a path under /sys)
};

// What the last port opened by this process turned out to be.
AdapterLatency lastAdapterLatency();
void noteAdapterLatency(const AdapterLatency& latency);

// One line for the user about the port's adapter: the low-latency mode and
// the latency timer, with the command that lowers a timer above 1 ms. Empty
// when the port is no USB serial adapter.
std::string adapterLatencyNote(const std::string& device, const AdapterLatency& latency);

// POSIX: asks for low-latency mode on the open port fd when it is a USB
// serial adapter (Linux only; a refusal is quietly accepted) and reads its
// latency timer. The system's device tree is read under K4471_SYSFS_ROOT
// when that is set (the folder that stands for /sys).
AdapterLatency askLowLatency(int fd);
