// Keys typed on a Windows console: read without echo by the C runtime's
// console calls, which leave the console's settings as they are.
#include <conio.h>
#include <io.h>

#include <cstdio>

#include "cli/keys.h"

namespace {
bool started = false;
}  // namespace

bool startKeys() {
  started = _isatty(_fileno(stdin)) != 0;
  return started;
}

int typedKey() {
  if (!started || !_kbhit()) return 0;
  return _getch();
}

void endKeys() {
  started = false;
}
