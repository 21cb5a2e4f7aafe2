// The terminal on Linux and macOS: escape sequences always show.
#include <unistd.h>

#include "station/terminal.h"

bool enableEscapeSequences(FILE*) {
  return true;
}

bool isTerminal(FILE* stream) {
  return isatty(fileno(stream)) != 0;
}
