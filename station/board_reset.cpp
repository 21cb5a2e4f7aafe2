// A board reset through a control line of its port (station/board_reset.h).
#include "station/board_reset.h"

#include <cstdio>
#include <set>
#include <string>

#include "link/bootloader.h"
#include "operations/exit_codes.h"
#include "station/failure.h"
#include "station/say.h"

namespace {

// The ports already warned of a server that does not confirm the line.
std::set<std::string> warnedPorts;

}  // namespace

int resetBoard(const LinkPlan& link, Progress* progress, BoardReport* board) {
  if (link.reset.empty()) return ExitOk;
  // A port by USB identity or place that is not there yet: its board calls
  // by itself when it is plugged in.
  if (serialPort.load() == InvalidSerialPort) return ExitOk;
  const std::string note = "Resetting the target on " + board->port + " (" + link.reset + ", " +
                           std::to_string(link.resetMs) + " ms).";
  progressNote(progress, note.c_str());
  const ControlFault fault = pulseReset(serialPort.load(), link.resetMs);
  switch (fault.status) {
    case ControlStatus::Done:
      return ExitOk;
    case ControlStatus::Unconfirmed:
      if (warnedPorts.insert(board->port).second) {
        say("warning: the serial server %s did not confirm the reset line; going on as if "
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
  const Failure failure = toldFailure(
      ExitPortError, "port", board->port + ": cannot drive the reset line (" + reason + ")");
  closeTargetPort();
  return reportFailure(failure, board);
}
