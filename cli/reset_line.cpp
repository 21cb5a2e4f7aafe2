#include "cli/reset_line.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <set>
#include <string>

#include "cli/exit_codes.h"
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

// The ports already warned of a server that does not confirm the line.
std::set<std::string> warnedPorts;

}  // namespace

void addResetOptions(CLI::App* command, Options* options) {
  CLI::Option* reset = command->add_option(
      "--reset", options->reset,
      "reset the board through a control line of its port before its first call and before "
      "each retry: dtr or rts (asserted holds the board in reset), dtr-inverted or "
      "rts-inverted (released holds it); both lines are held released while the port is open. "
      "Not on tcp:// ports");
  reset->type_name("LINE")->check(CLI::IsMember({"dtr", "rts", "dtr-inverted", "rts-inverted"}));
  command
      ->add_option("--reset-ms", options->resetMs,
                   "with --reset: how long the line holds the board in reset, in milliseconds")
      ->type_name("MS")
      ->capture_default_str()
      ->check(CLI::Range(ShortestResetMilliseconds, LongestResetMilliseconds))
      ->needs(reset);
}

int takeResetOptions(const Options& options) {
  if (options.reset.empty()) {
    setResetLine(nullptr);
    return ExitOk;
  }
  for (const std::string& port : options.ports) {
    if (netPortKind(port) == NetPortKind::RawTcp) {
      fprintf(stderr,
              "error: --reset: %s is a raw TCP port, which has no control lines (a serial "
              "server's rfc2217:// port has)\n",
              port.c_str());
      return ExitUsage;
    }
  }
  ResetLine line = {ControlLine::Dtr, false};
  if (!lineOf(options.reset, &line)) {
    fprintf(stderr, "error: --reset takes dtr, rts, dtr-inverted or rts-inverted\n");
    return ExitUsage;
  }
  setResetLine(&line);
  return ExitOk;
}

int resetBoard(const Options& options, Progress* progress, BoardReport* board) {
  if (options.reset.empty()) return ExitOk;
  // A port by USB identity or place that is not there yet: its board calls
  // by itself when it is plugged in.
  if (serialPort.load() == InvalidSerialPort) return ExitOk;
  const std::string note = "Resetting the target on " + board->port + " (" + options.reset + ", " +
                           std::to_string(options.resetMs) + " ms).";
  progressNote(progress, note.c_str());
  const ControlFault fault = pulseReset(serialPort.load(), options.resetMs);
  switch (fault.status) {
    case ControlStatus::Done:
      return ExitOk;
    case ControlStatus::Unconfirmed:
      if (warnedPorts.insert(board->port).second) {
        fprintf(stderr,
                "warning: the serial server %s did not confirm the reset line; going on as if "
                "the board was reset\n",
                board->port.c_str());
      }
      return ExitOk;
    case ControlStatus::Refused:
    case ControlStatus::NoControlLines:
      break;
  }
  std::string reason = systemErrorText(fault.systemError);
  if (reason.empty()) {
    reason = fault.status == ControlStatus::Refused ? "the connection did not take the command"
                                                    : "it has no control lines";
  }
  board->message = board->port + ": cannot drive the reset line (" + reason + ")";
  board->failedStep = "port";
  fprintf(stderr, "error: %s\n", board->message.c_str());
  closeTargetPort();
  return ExitPortError;
}
