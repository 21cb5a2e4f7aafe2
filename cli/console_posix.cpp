// The console on Linux and macOS: standard streams kept open, signals passed on to the workers.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/console.h"
#include "station/worker_process.h"

namespace {
void (*interruptHandler)() = nullptr;

void onSignal(int signal) {
  int saved = errno;
  if (interruptHandler) interruptHandler();
  passSignalToWorkers(signal);
  errno = saved;
}
}  // namespace

void prepareStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // open gives the lowest free descriptor: this one.
      int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) close(opened);
    }
  }
  signal(SIGPIPE, SIG_IGN);
}

void onInterrupt(void (*handler)()) {
  interruptHandler = handler;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}
