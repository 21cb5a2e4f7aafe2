// The record's commands in the Windows build: refused, as it has no database client.
#include <cstdio>

#include "operations/exit_codes.h"
#include "cli/record_commands.h"

int runRecordCommand(const RecordCommands&, const RecordOptions&) {
  fprintf(stderr,
          "error: the database (--db, K4471_DB, counter, history, yield) is not available in "
          "the Windows build; use k4471-cli on Linux or macOS\n");
  return ExitUsage;
}
