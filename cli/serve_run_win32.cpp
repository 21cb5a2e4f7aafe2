// k4471-cli serve in the Windows build: refused, as it has no database client.
#include <cstdio>

#include "operations/exit_codes.h"
#include "cli/serve_command.h"

int runServe(const ServeOptions&) {
  fprintf(stderr,
          "error: serve is not available in the Windows build (it has no database); use "
          "k4471-cli on Linux or macOS\n");
  return ExitUsage;
}
