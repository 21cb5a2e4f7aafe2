// The control FIFO: control lines written by other programs, e.g. `echo reset > FIFO`.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/simulator_internal.h"

bool controlFifoCreate(Simulator* sim, std::string* error) {
  const char* path = sim->controlPath.c_str();
  struct stat st;
  if (lstat(path, &st) == 0) {
    if (!S_ISFIFO(st.st_mode)) {
      *error = sim->controlPath + " exists and is not a FIFO";
      return false;
    }
    unlink(path);
  }
  if (mkfifo(path, 0600) != 0) {
    *error = errnoText("mkfifo " + sim->controlPath);
    return false;
  }
  sim->fifoCreated = true;
  sim->fifoRead = open(path, O_RDONLY | O_NONBLOCK);
  if (sim->fifoRead >= 0) sim->fifoKeep = open(path, O_WRONLY | O_NONBLOCK);
  if (sim->fifoRead < 0 || sim->fifoKeep < 0) {
    *error = errnoText("open " + sim->controlPath);
    return false;
  }
  setCloexec(sim->fifoRead);
  setCloexec(sim->fifoKeep);
  return true;
}

void controlFifoRead(Simulator* sim) {
  char buffer[1024];
  ssize_t n = read(sim->fifoRead, buffer, sizeof buffer);
  if (n > 0) feedControl(sim, buffer, size_t(n));
}

void controlFifoClose(Simulator* sim) {
  closeFd(&sim->fifoRead);
  closeFd(&sim->fifoKeep);
  if (sim->fifoCreated) unlink(sim->controlPath.c_str());
}
