// Keys typed on a POSIX terminal: canonical mode and echo off while a watch
// runs, signals left on, the settings put back at the end.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "cli/keys.h"

namespace {
struct termios saved;
bool started = false;
}  // namespace

bool startKeys() {
  if (started || !isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) return false;
  struct termios keys = saved;
  keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  keys.c_cc[VMIN] = 0;
  keys.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) return false;
  started = true;
  return true;
}

int typedKey() {
  if (!started) return 0;
  struct pollfd in = {STDIN_FILENO, POLLIN, 0};
  unsigned char key = 0;
  if (poll(&in, 1, 0) != 1 || read(STDIN_FILENO, &key, 1) != 1) return 0;
  return key;
}

void endKeys() {
  if (!started) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  started = false;
}
