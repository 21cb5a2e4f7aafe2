// The server's side of the Telnet COM-PORT option: negotiation answers, the
// port settings echoed back, purges, and the control lines, one of which may
// hang on the board's reset.
#include "sim/simulator_internal.h"

namespace {

// A control line changes: the board's reset follows it when it hangs there.
// Active holds the board in reset; the release resets it and it calls again.
void controlLine(Simulator* sim, SimResetLine line, bool active) {
  NetPort& net = sim->net;
  bool& level = line == SimResetLine::Dtr ? net.dtr : net.rts;
  const bool was = level;
  level = active;
  if (net.resetOn != line || was == active) return;
  simTrace(sim, "sim  ", active ? "held in reset" : "reset released");
  simHoldReset(sim, active);
}

// SET-CONTROL: the value the server reports back.
uint8_t setControl(Simulator* sim, uint8_t value) {
  NetPort& net = sim->net;
  switch (value) {
    case 0:  // ask for the flow control
      return ComPortControlNoFlow;
    case ComPortControlDtrOn:
    case ComPortControlDtrOff:
      controlLine(sim, SimResetLine::Dtr, value == ComPortControlDtrOn);
      return value;
    case ComPortControlRtsOn:
    case ComPortControlRtsOff:
      controlLine(sim, SimResetLine::Rts, value == ComPortControlRtsOn);
      return value;
    case 7:  // ask for DTR
      return net.dtr ? ComPortControlDtrOn : ComPortControlDtrOff;
    case 10:  // ask for RTS
      return net.rts ? ComPortControlRtsOn : ComPortControlRtsOff;
    default:
      return value;
  }
}

void purge(Simulator* sim, uint8_t value) {
  if (value == ComPortPurgeReceived || value == ComPortPurgeBoth) ptyDiscardBoardInput(sim->line);
  if (value == ComPortPurgeToSend || value == ComPortPurgeBoth) ptyDiscardHostInput(sim->line);
}

void serveComPort(Simulator* sim, const std::vector<uint8_t>& payload, std::vector<uint8_t>* out) {
  if (payload.empty()) return;
  NetPort& net = sim->net;
  const uint8_t command = payload[0];
  const uint32_t value = comPortValue(payload);
  const uint8_t answer = uint8_t(command + ComPortServerOffset);
  switch (command) {
    case ComPortSignature: {
      static const char name[] = "k4471-sim";
      std::vector<uint8_t> reply(name, name + sizeof name - 1);
      reply.insert(reply.begin(), answer);
      telnetSubnegotiate(TelnetOptionComPort, reply.data(), reply.size(), out);
      return;
    }
    case ComPortSetBaudRate:
      if (value) net.baudRate = value;
      return comPortCommand(answer, net.baudRate, 4, out);
    case ComPortSetDataSize:
    case ComPortSetParity:
    case ComPortSetStopSize: {
      uint8_t& setting = net.framing[command - ComPortSetDataSize];
      if (value) setting = uint8_t(value);
      return comPortCommand(answer, setting, 1, out);
    }
    case ComPortSetControl:
      return comPortCommand(answer, setControl(sim, uint8_t(value)), 1, out);
    case ComPortPurgeData:
      purge(sim, uint8_t(value));
      return comPortCommand(answer, value, 1, out);
    case ComPortSetLineStateMask:
    case ComPortSetModemStateMask:
      return comPortCommand(answer, value, 1, out);
    default:
      return;  // notifications and flow suspension: nothing to say
  }
}

}  // namespace

void comPortServe(Simulator* sim, const TelnetEvent& event, std::vector<uint8_t>* out) {
  switch (event.kind) {
    case TelnetEventKind::Negotiation:
      telnetAnswer(&sim->net.options, event.verb, event.option, out);
      break;
    case TelnetEventKind::Subnegotiation:
      if (event.option == TelnetOptionComPort && !event.truncated) {
        serveComPort(sim, event.payload, out);
      }
      break;
    case TelnetEventKind::Command:
      break;
  }
}
