// The machine's host name on Linux and macOS.
#include "console/machine_name.h"

#include <unistd.h>

std::string machineName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}
