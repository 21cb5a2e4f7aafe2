#include <fcntl.h>
#include <libserialport.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/exit_codes.h"
#include "cli/ports.h"

namespace {
// The descriptor holding the claimed port's lock, for the life of the process.
int claimedPort = -1;

// Errors of a device that is not there (yet): unplugged, or a line hung up.
bool isAbsence(int error) {
  return error == ENOENT || error == ENXIO || error == ENODEV || error == EIO;
}

// Opens and locks the port. ExitOk with the descriptor in *fd, else
// ExitPortError with the reason and the open's errno in *error (0 when it
// opened but is busy or no serial port).
int takePort(const std::string& device, int* fd, int* error, std::string* message) {
  *fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  *error = *fd < 0 ? errno : 0;
  if (*fd < 0) {
    if (*error == EBUSY) {
      *message = device + ": port busy (" + strerror(*error) + ")";
    } else {
      *message = "COM Port Error: Cannot Connect to " + device + ": " + strerror(*error);
      if (*error == EACCES || *error == EPERM) *message += " (is the user in the dialout group?)";
    }
    return ExitPortError;
  }
  struct stat about;
  if (fstat(*fd, &about) != 0 || !S_ISCHR(about.st_mode) || !isatty(*fd)) {
    close(*fd);
    *message = device + " is not a serial port";
    return ExitPortError;
  }
  if (flock(*fd, LOCK_EX | LOCK_NB) != 0) {
    int failure = errno;
    close(*fd);
    *message =
        device + ": port busy (" +
        (failure == EWOULDBLOCK ? std::string("another program is using it") : strerror(failure)) +
        ")";
    return ExitPortError;
  }
  return ExitOk;
}

}  // namespace

int claimPort(const std::string& device, std::string* message) {
  int fd = -1, error = 0;
  int code = takePort(device, &fd, &error, message);
  if (code != ExitOk) return code;
  if (claimedPort >= 0) close(claimedPort);
  claimedPort = fd;
  return ExitOk;
}

int reclaimPort(const std::string& device, std::string* message) {
  // The lock on the device that went away goes first: the device back may be
  // that very one.
  if (claimedPort >= 0) close(claimedPort);
  claimedPort = -1;
  int fd = -1, error = 0;
  int code = takePort(device, &fd, &error, message);
  if (code != ExitOk) return isAbsence(error) ? -1 : code;
  claimedPort = fd;
  return ExitOk;
}

std::string portOpenError(const std::string& device) {
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return "";
  }
  return strerror(errno);
}

bool samePort(const std::string& a, const std::string& b) {
  struct stat first, second;
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return a == b;
  if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) return first.st_rdev == second.st_rdev;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::vector<PortInfo> listSerialPorts() {
  std::vector<PortInfo> ports;
  sp_port** list = nullptr;
  if (sp_list_ports(&list) != SP_OK) return ports;
  for (int i = 0; list[i]; ++i) {
    PortInfo info;
    info.device = sp_get_port_name(list[i]);
    std::string description;
    if (const char* text = sp_get_port_description(list[i])) description = text;
    if (sp_get_port_transport(list[i]) == SP_TRANSPORT_USB) {
      int vendor = 0, product = 0;
      if (sp_get_port_usb_vid_pid(list[i], &vendor, &product) == SP_OK) {
        char ids[32];
        snprintf(ids, sizeof ids, " [USB %04x:%04x]", vendor, product);
        description += ids;
      }
      if (const char* maker = sp_get_port_usb_manufacturer(list[i])) {
        description += std::string(", ") + maker;
      }
      if (const char* serial = sp_get_port_usb_serial(list[i])) {
        description += std::string(", serial ") + serial;
      }
    }
    info.description = description;
    ports.push_back(info);
  }
  sp_free_port_list(list);
  return ports;
}
