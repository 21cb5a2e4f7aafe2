// k4471-cli serve: its options.
#include "cli/serve_command.h"

#include <CLI/CLI.hpp>

CLI::App* addServeCommand(CLI::App* app, ServeOptions* options) {
  CLI::App* serve = app->add_subcommand(
      "serve",
      "serve the line's page for a supervisor, read-only from the record: each station's "
      "heartbeat and last boards, the day's yield per station and per hour, a unit's attempts "
      "by serial number (its URL printed at the start; Ctrl-C ends it)");
  serve
      ->add_option("--db", options->db,
                   "the record: a SQLite file on this machine, or "
                   "postgresql://[USER@]HOST[:PORT]/DBNAME; default: K4471_DB")
      ->type_name("TARGET")
      ->envname("K4471_DB");
  serve
      ->add_option("--listen", options->listen,
                   "the address to serve on (port 0: a free one; any address but the loopback "
                   "needs a token)")
      ->capture_default_str()
      ->type_name("HOST:PORT");
  serve
      ->add_option("--console-token-file", options->consoleTokenFile,
                   "the page's token, the first line of FILE (else K4471_CONSOLE_TOKEN, else a "
                   "random one, printed in the URL)")
      ->type_name("FILE");
  serve
      ->add_option("--console-host", options->consoleHost,
                   "a further host name the page's requests may name")
      ->type_name("NAME");
  return serve;
}
