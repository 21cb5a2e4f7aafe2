// The simulator's whole-number options, in one table: k4471-sim's command
// line, the control line `set`, the help texts and the start all read it.
#include "sim/simulator_internal.h"

namespace {

const SimOption options[] = {
    {"call-ms", "Period of the call frame before the handshake; 0: never", &SimConfig::callMs,
     [](Simulator* sim, int v) { sim->callMs = v; }},
    {"erase-blocks", "Block-erased replies per erase", &SimConfig::eraseBlocks,
     [](Simulator* sim, int v) { sim->model.eraseBlocks = v; }},
    {"erase-block-ms", "Pause before each block-erased reply", &SimConfig::eraseBlockMs,
     [](Simulator* sim, int v) { sim->eraseBlockMs = v; }},
    {"baud", "Pace both directions at 10 bits per byte; 0: full speed", &SimConfig::baud,
     [](Simulator* sim, int v) { sim->baud = v; }},
    {"silent-from", "Send nothing from frame N on, until reset", &SimConfig::silentFromFrame,
     [](Simulator* sim, int v) { sim->model.faults.silentFrom = v; }},
    {"garble-reply", "Reply to frame N with a wrong b2", &SimConfig::garbleReplyToFrame,
     [](Simulator* sim, int v) { sim->model.faults.garbleReply = v; }},
    {"bad-check", "Reply to frame N with a wrong check byte", &SimConfig::badCheckReplyToFrame,
     [](Simulator* sim, int v) { sim->model.faults.badCheck = v; }},
    {"unexpected-reply", "Refuse frame N with 8C FD E0 91", &SimConfig::unexpectedReplyToFrame,
     [](Simulator* sim, int v) { sim->model.faults.unexpectedReply = v; }},
    {"hangup-at", "Hang the line up at frame N, until reset", &SimConfig::hangupAtFrame,
     [](Simulator* sim, int v) { sim->model.faults.hangupAt = v; }},
    {"stale-calls",
     "Queue N calls at once at start and after each reset, as a port opened late finds them",
     &SimConfig::staleCalls, [](Simulator* sim, int v) { sim->staleCalls = v; }},
    {"chatter-ms", "Be a running application: print a line of text every N ms, never call",
     &SimConfig::chatterMs, [](Simulator* sim, int v) { sim->chatterMs = v; }},
    {"next-board-ms",
     "Be replaced by the next board (flash erased, calling) N ms after a programming run ends "
     "or a launch, silent until then; 0: never",
     &SimConfig::nextBoardMs, [](Simulator* sim, int v) { sim->nextBoardMs = v; }},
    {"app-text-cut",
     "Print only the first N bytes of the --app-text line, without its end, as an application "
     "that stalls in the middle of a line; 0: all of it",
     &SimConfig::appTextCut, [](Simulator* sim, int v) { sim->appTextCut = v; }},
    {"latency-ms", "Hold each message this long before it is delivered, each way",
     &SimConfig::latencyMs, [](Simulator* sim, int v) { sim->latencyMs = v; }},
};

}  // namespace

const SimOption* simOptions(size_t* count) {
  *count = sizeof options / sizeof options[0];
  return options;
}

const SimOption* simFindOption(const char* name) {
  for (const SimOption& option : options) {
    if (std::string(option.name) == name) return &option;
  }
  return nullptr;
}

std::string simOptionNames() {
  std::string names;
  for (const SimOption& option : options)
    names += (names.empty() ? "" : ", ") + std::string(option.name);
  return names;
}
