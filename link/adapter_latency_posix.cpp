// A USB serial adapter's low-latency mode and latency timer on Linux: the
// adapter is recognised through the device tree under /sys, the mode is a
// flag of the serial driver, the timer a file of the adapter's driver.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/adapter_latency.h"

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace {

std::string sysfsRoot() {
  const char* root = getenv("K4471_SYSFS_ROOT");
  return root && *root ? root : "/sys";
}

// The tty name (ttyUSB0, ttyACM0) of the character device open at fd when
// the device tree places it under a USB device; empty otherwise (a
// pseudo-terminal, a port on the board, a system without /sys).
std::string usbTtyName(int fd, const std::string& root) {
  struct stat about;
  if (fstat(fd, &about) != 0 || !S_ISCHR(about.st_mode)) return "";
  const std::string link = root + "/dev/char/" + std::to_string(major(about.st_rdev)) + ":" +
                           std::to_string(minor(about.st_rdev));
  char target[4096];
  const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  if (length <= 0) return "";
  const std::string path(target, static_cast<size_t>(length));
  if (path.find("/usb") == std::string::npos) return "";
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The adapter's latency timer in ms, and the file it is set in under /sys;
// -1 when its driver shows none.
int readLatencyTimer(const std::string& root, const std::string& tty, std::string* file) {
  const std::string places[] = {"/bus/usb-serial/devices/" + tty + "/latency_timer",
                                "/class/tty/" + tty + "/device/latency_timer"};
  for (const std::string& place : places) {
    FILE* in = fopen((root + place).c_str(), "r");
    if (!in) continue;
    int ms = -1;
    const bool read = fscanf(in, "%d", &ms) == 1 && ms >= 0;
    fclose(in);
    if (!read) continue;
    *file = "/sys" + place;
    return ms;
  }
  return -1;
}

// Sets the driver's low-latency flag; 0, or the system's reason for the
// refusal (-1 when the driver took the request and dropped the flag).
int setLowLatency(int fd) {
  serial_struct info;
  if (ioctl(fd, TIOCGSERIAL, &info) != 0) return errno;
  if (info.flags & ASYNC_LOW_LATENCY) return 0;
  info.flags |= ASYNC_LOW_LATENCY;
  if (ioctl(fd, TIOCSSERIAL, &info) != 0) return errno;
  if (ioctl(fd, TIOCGSERIAL, &info) != 0) return errno;
  return (info.flags & ASYNC_LOW_LATENCY) ? 0 : -1;
}

}  // namespace

AdapterLatency askLowLatency(int fd) {
  AdapterLatency latency;
  const std::string root = sysfsRoot();
  const std::string tty = usbTtyName(fd, root);
  if (tty.empty()) return latency;
  const int refusal = setLowLatency(fd);
  latency.lowLatency = refusal == 0 ? LowLatency::Granted : LowLatency::Refused;
  latency.systemError = refusal > 0 ? refusal : 0;
  // Read after the request: some drivers lower the timer with the flag.
  latency.timerMs = readLatencyTimer(root, tty, &latency.timerFile);
  return latency;
}

#else

AdapterLatency askLowLatency(int) {
  return AdapterLatency();
}

#endif
