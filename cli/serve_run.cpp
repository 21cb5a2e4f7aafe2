// k4471-cli serve: the record opened, the line's page served until an interrupt.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "station/interrupt.h"
#include "station/plan.h"
#include "cli/console.h"
#include "operations/exit_codes.h"
#include "cli/record_commands.h"
#include "cli/serve_command.h"
#include "console/console_access.h"
#include "line/line_server.h"
#include "record/attempt_row.h"

namespace {

int usage(const std::string& text) {
  fprintf(stderr, "error: %s\n", text.c_str());
  return ExitUsage;
}

// The settings from the options; ExitOk, or ExitUsage told.
int takeSettings(const ServeOptions& options, LineSettings* settings) {
  ListenAddress listen;
  std::string error;
  if (!parseListenAddress(options.listen, &listen, &error)) {
    return usage(
        "--listen takes HOST:PORT (such as 127.0.0.1:8080, [::1]:0 or 0.0.0.0:8080), "
        "not \"" +
        options.listen + "\"");
  }
  settings->listen = options.listen;
  settings->consoleHost = options.consoleHost;
  bool made = false;
  if (!isLoopbackHost(listen.host) &&
      !takeConsoleToken(options.consoleTokenFile, std::getenv("K4471_CONSOLE_TOKEN"),
                        &settings->token, &made, &error)) {
    return usage(error);
  }
  return ExitOk;
}

// The record named by --db, open; ExitOk, or the exit code told.
int openTarget(const ServeOptions& options, Db* db) {
  return openNamedRecord(options.db, false, db);
}

void stopServing() {
  interrupted.store(1);
}

}  // namespace

int runServe(const ServeOptions& options) {
  LineSettings settings;
  Db db;
  if (int code = takeSettings(options, &settings)) return code;
  if (int code = openTarget(options, &db)) return code;
  onInterrupt(stopServing);
  std::string url, error;
  LineServer* server = startLineServer(settings, &db, &url, &error);
  if (!server) {
    dbClose(&db);
    return usage(error);
  }
  fprintf(stderr, "The line's page: %s\n", url.c_str());
  fflush(stderr);
  while (!interrupted.load()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stopLineServer(server);
  fprintf(stderr, "The line's page has stopped.\n");
  return ExitOk;
}
