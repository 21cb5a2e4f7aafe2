// The developer's loop's options and what they refuse.
#include "cli/devloop_options.h"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "operations/exit_codes.h"

namespace {

// ExitUsage with the reason.
int refuse(const char* option, const char* why) {
  fprintf(stderr, "error: %s %s\n", option, why);
  return ExitUsage;
}

// What --watch does not go with: it programs one board, again and again,
// from a file it reads each time.
int checkWatch(const Options& options) {
  if (options.image.file == "-") {
    return refuse("--watch", "needs a file to watch, not standard input (-)");
  }
  if (options.station.loop || options.station.count > 0) {
    return refuse("--watch",
                  "programs one board on your desk: it does not go with --loop or "
                  "--count");
  }
  if (!options.serials.serialAt.empty() || !options.serials.serialStart.empty() ||
      !options.serials.serialFile.empty()) {
    return refuse("--watch",
                  "does not number boards: it does not go with --serial-at, "
                  "--serial-start or --serial-file");
  }
  return ExitOk;
}

}  // namespace

void addMonitorOptions(CLI::App* command, CLI::Option* launch, Options* options) {
  CLI::Option* monitor = command->add_flag(
      "--monitor", options->monitor,
      "after the launch, keep the port open and show every line the application prints "
      "(control bytes escaped) until Ctrl-C; one port");
  if (launch) monitor->needs(launch);
  command
      ->add_flag("--timestamps", options->timestamps,
                 "with --monitor: the time since the launch before each line")
      ->needs(monitor);
}

void addWatchOptions(CLI::App* program, Options* options) {
  CLI::Option* watch = program->add_flag(
      "--watch", options->watch,
      "after the round, keep the port and program the file again each time it changes "
      "(keys on a terminal: r programs again now, q ends); one port");
  program
      ->add_option("--settle-ms", options->settleMs,
                   "with --watch: a file counts as changed once it has stayed the same this long")
      ->type_name("MS")
      ->capture_default_str()
      ->check(CLI::Range(ShortestSettleMilliseconds, LongestSettleMilliseconds))
      ->needs(watch);
  program
      ->add_flag("--force", options->force,
                 "with --watch: program an image even when it holds the same data as the last "
                 "good round")
      ->needs(watch);
}

int checkDevLoopOptions(const Options& options, TargetCommand command) {
  if (!options.monitor && !options.watch) return ExitOk;
  const char* option = options.watch ? "--watch" : "--monitor";
  if (options.link.ports.size() > 1) return refuse(option, "takes one port");
  if (options.link.simulate) {
    return refuse(option, "needs a board you can reset: it does not go with --simulate");
  }
  if (options.watch && command == TargetCommand::Program) return checkWatch(options);
  return ExitOk;
}
