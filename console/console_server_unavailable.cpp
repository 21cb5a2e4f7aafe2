// The console where the HTTP library is not built (the Windows cross build).
#include "console/console_server.h"

bool consoleAvailable() {
  return false;
}

ConsoleServer* startConsoleServer(const ConsoleSettings&, StationView*, ConsoleStop, std::string*,
                                  std::string* error) {
  *error = "this build of k4471-cli has no --console (its HTTP library is not built for it)";
  return nullptr;
}

void stopConsoleServer(ConsoleServer*) {}
