// The Telnet byte stream and its COM-PORT option: parsing, escaping, building.
#include "link/telnet_codec.h"

namespace {

void addCommand(std::vector<TelnetEvent>* events, uint8_t verb) {
  events->push_back({TelnetEventKind::Command, verb, 0, false, {}});
}

// A byte after IAC.
void afterIac(TelnetParser* p, uint8_t byte, std::vector<uint8_t>* data,
              std::vector<TelnetEvent>* events) {
  p->state = TelnetState::Data;
  if (byte == TelnetIAC) {
    data->push_back(TelnetIAC);
  } else if (byte >= TelnetWILL) {
    p->verb = byte;
    p->state = TelnetState::Verb;
  } else if (byte == TelnetSB) {
    p->state = TelnetState::SubOption;
  } else {
    addCommand(events, byte);  // SE out of place among them: nothing to end
  }
}

// A byte inside a sub-negotiation, or after an IAC there.
void inSub(TelnetParser* p, uint8_t byte, std::vector<TelnetEvent>* events) {
  if (p->state == TelnetState::Sub) {
    if (byte == TelnetIAC) {
      p->state = TelnetState::SubIac;
      return;
    }
  } else {
    p->state = TelnetState::Sub;
    if (byte == TelnetSE) {
      events->push_back(
          {TelnetEventKind::Subnegotiation, TelnetSB, p->subOption, p->subTruncated, p->sub});
      p->sub.clear();
      p->state = TelnetState::Data;
      return;
    }
    // IAC IAC is a 0xFF of the payload; IAC and anything else is taken as it
    // stands, as lenient peers do.
  }
  if (p->sub.size() < TelnetSubMax) {
    p->sub.push_back(byte);
  } else {
    p->subTruncated = true;
  }
}

}  // namespace

void telnetFeed(TelnetParser* p, const uint8_t* bytes, size_t count, std::vector<uint8_t>* data,
                std::vector<TelnetEvent>* events) {
  for (size_t i = 0; i < count; ++i) {
    const uint8_t byte = bytes[i];
    switch (p->state) {
      case TelnetState::Data:
        if (byte == TelnetIAC) {
          p->state = TelnetState::Iac;
        } else {
          data->push_back(byte);
        }
        break;
      case TelnetState::Iac:
        afterIac(p, byte, data, events);
        break;
      case TelnetState::Verb:
        events->push_back({TelnetEventKind::Negotiation, p->verb, byte, false, {}});
        p->state = TelnetState::Data;
        break;
      case TelnetState::SubOption:
        p->subOption = byte;
        p->subTruncated = false;
        p->sub.clear();
        p->state = TelnetState::Sub;
        break;
      case TelnetState::Sub:
      case TelnetState::SubIac:
        inSub(p, byte, events);
        break;
    }
  }
}

void telnetEscape(const uint8_t* bytes, size_t count, std::vector<uint8_t>* out) {
  for (size_t i = 0; i < count; ++i) {
    out->push_back(bytes[i]);
    if (bytes[i] == TelnetIAC) out->push_back(TelnetIAC);
  }
}

void telnetNegotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>* out) {
  out->insert(out->end(), {TelnetIAC, verb, option});
}

void telnetSubnegotiate(uint8_t option, const uint8_t* payload, size_t count,
                        std::vector<uint8_t>* out) {
  out->insert(out->end(), {TelnetIAC, TelnetSB});
  telnetEscape(&option, 1, out);
  telnetEscape(payload, count, out);
  out->insert(out->end(), {TelnetIAC, TelnetSE});
}

void comPortCommand(uint8_t command, uint32_t value, size_t width, std::vector<uint8_t>* out) {
  uint8_t payload[5] = {command};
  if (width > 4) width = 4;
  for (size_t i = 0; i < width; ++i) payload[1 + i] = uint8_t(value >> (8 * (width - 1 - i)));
  telnetSubnegotiate(TelnetOptionComPort, payload, 1 + width, out);
}

uint32_t comPortValue(const std::vector<uint8_t>& payload) {
  uint32_t value = 0;
  for (size_t i = 1; i < payload.size() && i <= 4; ++i) value = value << 8 | payload[i];
  return value;
}

void telnetAsk(TelnetOptions* o, uint8_t verb, uint8_t option, std::vector<uint8_t>* out) {
  const bool ours = verb == TelnetWILL;
  bool& on = ours ? o->localOn[option] : o->remoteOn[option];
  bool& asked = ours ? o->localAsked[option] : o->remoteAsked[option];
  if (on || asked) return;
  asked = true;
  telnetNegotiate(ours ? TelnetWILL : TelnetDO, option, out);
}

void telnetAnswer(TelnetOptions* o, uint8_t verb, uint8_t option, std::vector<uint8_t>* out) {
  // WILL/WONT speak of the peer's side, DO/DONT of ours.
  const bool peerSide = verb == TelnetWILL || verb == TelnetWONT;
  const bool enable = verb == TelnetWILL || verb == TelnetDO;
  bool& on = peerSide ? o->remoteOn[option] : o->localOn[option];
  bool& asked = peerSide ? o->remoteAsked[option] : o->localAsked[option];
  const bool allowed = peerSide ? o->theirs[option] : o->mine[option];
  const uint8_t yes = peerSide ? TelnetDO : TelnetWILL;
  const uint8_t no = peerSide ? TelnetDONT : TelnetWONT;
  const bool wasAsked = asked;
  asked = false;
  if (enable == on) return;  // already so: no echo
  if (enable && !allowed) {
    if (!wasAsked) telnetNegotiate(no, option, out);
    return;
  }
  on = enable;
  if (!wasAsked) telnetNegotiate(enable ? yes : no, option, out);
}
