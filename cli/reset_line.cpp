// The reset line's options (--reset, --reset-ms) and their check against the ports.
#include "cli/reset_line.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "cli/number_options.h"
#include "operations/exit_codes.h"
#include "link/bootloader.h"

namespace {

// The line of an --reset value; false for none of the four.
bool lineOf(const std::string& name, ResetLine* line) {
  const struct {
    const char* name;
    ResetLine line;
  } lines[] = {{"dtr", {ControlLine::Dtr, false}},
               {"rts", {ControlLine::Rts, false}},
               {"dtr-inverted", {ControlLine::Dtr, true}},
               {"rts-inverted", {ControlLine::Rts, true}}};
  for (const auto& known : lines) {
    if (name == known.name) {
      *line = known.line;
      return true;
    }
  }
  return false;
}

}  // namespace

bool isResetLine(const std::string& name) {
  ResetLine line;
  return lineOf(name, &line);
}

void addResetOptions(CLI::App* command, Options* options) {
  CLI::Option* reset = command->add_option(
      "--reset", options->link.reset,
      "reset the board through a control line of its port before its first call and before "
      "each retry: dtr or rts (asserted holds the board in reset), dtr-inverted or "
      "rts-inverted (released holds it); both lines are held released while the port is open. "
      "Not on tcp:// ports");
  reset->type_name("LINE")->check(CLI::IsMember({"dtr", "rts", "dtr-inverted", "rts-inverted"}));
  CLI::Option* milliseconds =
      command
          ->add_option("--reset-ms", options->link.resetMs,
                       "with --reset: how long the line holds the board in reset, in milliseconds")
          ->type_name("MS")
          ->capture_default_str()
          ->needs(reset);
  checkWholeNumber(milliseconds, ShortestResetMilliseconds, LongestResetMilliseconds);
}

int takeResetOptions(const Options& options) {
  // A raw TCP port has no control lines, whoever's reset it is given.
  for (size_t i = 0; i < options.link.ports.size(); ++i) {
    if (resetOf(options, i).empty() || netPortKind(options.link.ports[i]) != NetPortKind::RawTcp) {
      continue;
    }
    fprintf(stderr,
            "error: --reset: %s is a raw TCP port, which has no control lines (a serial "
            "server's rfc2217:// port has)\n",
            options.link.ports[i].c_str());
    return ExitUsage;
  }
  if (options.link.reset.empty()) {
    setResetLine(nullptr);
    return ExitOk;
  }
  ResetLine line = {ControlLine::Dtr, false};
  if (!lineOf(options.link.reset, &line)) {
    fprintf(stderr, "error: --reset takes dtr, rts, dtr-inverted or rts-inverted\n");
    return ExitUsage;
  }
  setResetLine(&line);
  return ExitOk;
}
