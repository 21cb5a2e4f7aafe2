// k4471-cli serve: the line's page for a supervisor, read from the record (--db, default
// K4471_DB) and served on --listen. The Windows build has no database and refuses it.
#pragma once

#include <string>

namespace CLI {
class App;
}

struct ServeOptions {
  std::string db;
  std::string listen = "127.0.0.1:8080";
  std::string consoleTokenFile, consoleHost;
};

// Adds the command; returns it, to learn whether it was given.
CLI::App* addServeCommand(CLI::App* app, ServeOptions* options);
// Serves until Ctrl-C or a termination request: ExitOk then; ExitUsage for an option or an
// address it cannot listen on, ExitDatabaseError when the record cannot be read at the start.
int runServe(const ServeOptions& options);
