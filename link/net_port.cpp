// Network ports over the sockets of each system: the Telnet stream of an
// RFC 2217 server (escaping, negotiation, COM-PORT settings, purges, control
// lines) or a raw byte stream.
#include "link/net_port.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "link/net_socket.h"
#include "link/telnet_codec.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bounds on what a peer can make us hold: data not yet read, and answers to
// its negotiation not yet sent.
constexpr size_t InputMax = 16384;
constexpr size_t PendingMax = 4096;
constexpr size_t ChunkSize = 512;
constexpr int WriteWaitMilliseconds = 1000;

struct NetPort {
  NetSocket socket = InvalidNetSocket;
  bool telnet = false;
  TelnetParser parser;
  TelnetOptions options;
  std::vector<uint8_t> input;  // data bytes received, read from inputAt on
  size_t inputAt = 0;
  std::vector<uint8_t> pending;  // our negotiation answers, sent before any data
  uint32_t settingsReplies = 0;  // the server's answers to SET-BAUDRATE to SET-CONTROL
  uint32_t controlSent = 0;
  uint32_t controlReplies = 0;
};

std::mutex portsLock;
std::map<SerialPort, std::shared_ptr<NetPort>> ports;

std::shared_ptr<NetPort> find(SerialPort port) {
  std::lock_guard<std::mutex> hold(portsLock);
  auto it = ports.find(port);
  return it == ports.end() ? nullptr : it->second;
}

long long millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Sends what answers are pending, waiting up to waitMs for room; false when
// the connection failed.
bool flushPending(NetPort* np, int waitMs) {
  if (np->pending.empty()) return true;
  const long put = socketWrite(np->socket, np->pending.data(), np->pending.size(), waitMs);
  if (put < 0) return false;
  np->pending.erase(np->pending.begin(), np->pending.begin() + put);
  return true;
}

// Queues bytes of ours to the server unless a peer that does not read has
// let the queue grow to its bound; then they are dropped whole.
void queue(NetPort* np, const std::vector<uint8_t>& bytes) {
  if (np->pending.size() + bytes.size() <= PendingMax) {
    np->pending.insert(np->pending.end(), bytes.begin(), bytes.end());
  }
}

void handleEvent(NetPort* np, const TelnetEvent& event) {
  if (event.kind == TelnetEventKind::Negotiation) {
    std::vector<uint8_t> answer;
    telnetAnswer(&np->options, event.verb, event.option, &answer);
    queue(np, answer);
    return;
  }
  // Of the sub-negotiations only the server's COM-PORT answers matter; its
  // notifications (line and modem state) and everything else are let go.
  if (event.kind != TelnetEventKind::Subnegotiation || event.option != TelnetOptionComPort ||
      event.payload.empty()) {
    return;
  }
  const uint8_t command = event.payload[0];
  if (command == ComPortServerOffset + ComPortSetControl) ++np->controlReplies;
  if (command >= ComPortServerOffset + ComPortSetBaudRate &&
      command <= ComPortServerOffset + ComPortSetControl) {
    ++np->settingsReplies;
  }
}

// Reads once, waiting up to waitMs: the bytes that came (data is kept up to
// InputMax, the rest of a flood is dropped), or -1 when the connection ended.
long pump(NetPort* np, int waitMs) {
  uint8_t chunk[ChunkSize];
  const long got = socketRead(np->socket, chunk, sizeof chunk, waitMs);
  if (got <= 0) return got;
  if (np->inputAt == np->input.size()) {
    np->input.clear();
    np->inputAt = 0;
  }
  std::vector<uint8_t> data;
  if (np->telnet) {
    std::vector<TelnetEvent> events;
    telnetFeed(&np->parser, chunk, static_cast<size_t>(got), &data, &events);
    for (const TelnetEvent& event : events) handleEvent(np, event);
    if (!flushPending(np, 0)) return -1;
  } else {
    data.assign(chunk, chunk + got);
  }
  const size_t room = InputMax - std::min(InputMax, np->input.size() - np->inputAt);
  np->input.insert(np->input.end(), data.begin(), data.begin() + std::min(room, data.size()));
  return got;
}

// Reads for up to waitMs until `done` says so, the abort is requested or the
// connection ends (false then).
template <typename Done>
bool pumpUntil(NetPort* np, int waitMs, Done done) {
  const Clock::time_point start = Clock::now();
  while (!done() && !linkAbortRequested()) {
    const long long left = waitMs - millisecondsSince(start);
    if (left <= 0) break;
    if (pump(np, static_cast<int>(std::min<long long>(left, BlockingSliceMilliseconds))) < 0) {
      return false;
    }
  }
  return true;
}

uint8_t controlValue(ControlLine line, bool asserted) {
  if (line == ControlLine::Dtr) return asserted ? ComPortControlDtrOn : ComPortControlDtrOff;
  return asserted ? ComPortControlRtsOn : ComPortControlRtsOff;
}

// The COM-PORT settings in the option's numbering.
void queueSettings(NetPort* np, const SerialSettings& settings, const ResetLine* reset) {
  const LineState state = lineStateFor(settings);
  const uint8_t parity = state.parity == 1 ? 2 : state.parity == 2 ? 3 : 1;
  const uint8_t stopSize = state.stopBits == 1 ? 3 : state.stopBits == 2 ? 2 : 1;
  std::vector<uint8_t> out;
  comPortCommand(ComPortSetBaudRate, state.baudRate, 4, &out);
  comPortCommand(ComPortSetDataSize, state.byteSize, 1, &out);
  comPortCommand(ComPortSetParity, parity, 1, &out);
  comPortCommand(ComPortSetStopSize, stopSize, 1, &out);
  comPortCommand(ComPortSetControl, ComPortControlNoFlow, 1, &out);
  if (reset) {
    const bool released = reset->inverted;
    comPortCommand(ComPortSetControl, controlValue(ControlLine::Dtr, released), 1, &out);
    comPortCommand(ComPortSetControl, controlValue(ControlLine::Rts, released), 1, &out);
    np->controlSent += 2;
  }
  queue(np, out);
}

// BINARY both ways and the COM-PORT option, then the line settings. A server
// that does not answer in time is not waited for any longer.
bool negotiate(NetPort* np, const SerialSettings& settings, const ResetLine* reset) {
  TelnetOptions& o = np->options;
  o.mine[TelnetOptionBinary] = o.theirs[TelnetOptionBinary] = true;
  o.mine[TelnetOptionComPort] = true;
  o.mine[TelnetOptionSuppressGoAhead] = o.theirs[TelnetOptionSuppressGoAhead] = true;
  std::vector<uint8_t> out;
  telnetAsk(&o, TelnetWILL, TelnetOptionBinary, &out);
  telnetAsk(&o, TelnetDO, TelnetOptionBinary, &out);
  telnetAsk(&o, TelnetWILL, TelnetOptionComPort, &out);
  telnetAsk(&o, TelnetDO, TelnetOptionSuppressGoAhead, &out);
  queue(np, out);
  if (!flushPending(np, WriteWaitMilliseconds)) return false;
  if (!pumpUntil(np, NetNegotiateMilliseconds,
                 [&] { return !o.localAsked[TelnetOptionComPort]; })) {
    return false;
  }
  queueSettings(np, settings, reset);
  if (!flushPending(np, WriteWaitMilliseconds)) return false;
  const uint32_t wanted = 5 + np->controlSent;
  return pumpUntil(np, NetNegotiateMilliseconds, [&] { return np->settingsReplies >= wanted; });
}

}  // namespace

namespace {

// The port number of a network port: its value 1 to 65535 in *number; empty,
// or what is wrong.
std::string readPortNumber(const std::string& text, std::string* number) {
  if (text.find_first_not_of("0123456789") != std::string::npos) {
    return "\"" + text + "\" is not a port number";
  }
  unsigned long value = 0;
  for (size_t i = 0; i < text.size() && value <= 65535; ++i) value = value * 10 + (text[i] - '0');
  if (value < 1 || value > 65535) return "the port number " + text + " is not 1 to 65535";
  *number = std::to_string(value);
  return std::string();
}

// Splits what follows the scheme into the host (an IPv6 address without its
// brackets) and the port number; empty, or what is wrong.
std::string splitHostPort(const std::string& rest, std::string* host, std::string* service) {
  if (rest.find('/') != std::string::npos) return "a network port has no path, only HOST:PORT";
  size_t colon = rest.rfind(':');
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return "the IPv6 address has no closing bracket";
    if (close + 1 < rest.size() && rest[close + 1] != ':') {
      return "only :PORT may follow the IPv6 address in brackets";
    }
    *host = rest.substr(1, close - 1);
    colon = close + 1 < rest.size() ? close + 1 : std::string::npos;
  } else {
    *host = rest.substr(0, colon);
  }
  if (host->empty()) return "no host is named";
  if (host->find_first_of("[]") != std::string::npos) {
    return "brackets go around an IPv6 address only";
  }
  if (colon == std::string::npos || colon + 1 == rest.size()) {
    return "no port number is given (HOST:PORT)";
  }
  return readPortNumber(rest.substr(colon + 1), service);
}

// The address of a name with a network port's scheme, or what is wrong with
// it; false (and nothing said) for a name of no such scheme.
bool splitNetAddress(const std::string& name, NetAddress* address, std::string* problem) {
  static const struct {
    const char* scheme;
    NetPortKind kind;
  } schemes[] = {{"rfc2217://", NetPortKind::Rfc2217}, {"tcp://", NetPortKind::RawTcp}};
  for (const auto& scheme : schemes) {
    const std::string prefix = scheme.scheme;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    address->kind = scheme.kind;
    *problem = splitHostPort(name.substr(prefix.size()), &address->host, &address->service);
    return true;
  }
  return false;
}

}  // namespace

bool parseNetAddress(const std::string& name, NetAddress* address) {
  std::string problem;
  return splitNetAddress(name, address, &problem) && problem.empty();
}

std::string netAddressProblem(const std::string& name) {
  NetAddress address;
  std::string problem;
  return splitNetAddress(name, &address, &problem) ? problem : std::string();
}

NetPortKind netPortKind(const std::string& name) {
  NetAddress address;
  return parseNetAddress(name, &address) ? address.kind : NetPortKind::None;
}

bool netOpen(SerialPort* port, const NetAddress& address, const SerialSettings& settings,
             const ResetLine* reset, PortOpenFault* fault) {
  if (reset && address.kind == NetPortKind::RawTcp) {
    *fault = {PortOpenStatus::NoControlLines, 0};
    return false;
  }
  auto np = std::make_shared<NetPort>();
  if (!socketConnect(address.host.c_str(), address.service.c_str(), NetConnectMilliseconds,
                     &np->socket, fault)) {
    return false;
  }
  np->telnet = address.kind == NetPortKind::Rfc2217;
  if (np->telnet && !negotiate(np.get(), settings, reset)) {
    socketClose(np->socket);
    *fault = {PortOpenStatus::Absent, 0};  // the server hung up while we negotiated
    return false;
  }
  std::lock_guard<std::mutex> hold(portsLock);
  ports[np->socket] = np;
  *port = np->socket;
  return true;
}

bool isNetPort(SerialPort port) {
  return find(port) != nullptr;
}

int netReadByte(SerialPort port, uint8_t* byte) {
  std::shared_ptr<NetPort> np = find(port);
  if (!np) return -1;
  const Clock::time_point start = Clock::now();
  while (np->inputAt == np->input.size()) {
    const long long left = BlockingSliceMilliseconds - millisecondsSince(start);
    if (left <= 0 || linkAbortRequested()) return 0;
    if (pump(np.get(), static_cast<int>(left)) < 0) return -1;
  }
  *byte = np->input[np->inputAt++];
  return 1;
}

void netPurgeInput(SerialPort port) {
  std::shared_ptr<NetPort> np = find(port);
  if (!np) return;
  if (np->telnet) {
    std::vector<uint8_t> out;
    comPortCommand(ComPortPurgeData, ComPortPurgeReceived, 1, &out);
    queue(np.get(), out);
    flushPending(np.get(), WriteWaitMilliseconds);
  }
  // What has come already is stale; a peer that never stops sending is not
  // drained for ever.
  for (int chunks = 0; chunks < 64 && pump(np.get(), 0) > 0; ++chunks) {
  }
  np->input.clear();
  np->inputAt = 0;
}

bool netWrite(SerialPort port, const void* bytes, size_t count) {
  std::shared_ptr<NetPort> np = find(port);
  if (!np || !flushPending(np.get(), WriteWaitMilliseconds) || !np->pending.empty()) return false;
  const uint8_t* data = static_cast<const uint8_t*>(bytes);
  std::vector<uint8_t> escaped;
  if (np->telnet) {
    telnetEscape(data, count, &escaped);
    data = escaped.data();
    count = escaped.size();
  }
  return socketWrite(np->socket, data, count, WriteWaitMilliseconds) == static_cast<long>(count);
}

void netClose(SerialPort port) {
  std::shared_ptr<NetPort> np;
  {
    std::lock_guard<std::mutex> hold(portsLock);
    auto it = ports.find(port);
    if (it == ports.end()) return;
    np = it->second;
    ports.erase(it);
  }
  flushPending(np.get(), 0);
  socketClose(np->socket);
}

ControlFault netSetControlLine(SerialPort port, ControlLine line, bool asserted) {
  std::shared_ptr<NetPort> np = find(port);
  if (!np || !np->telnet) return {ControlStatus::NoControlLines, 0};
  std::vector<uint8_t> out;
  comPortCommand(ComPortSetControl, controlValue(line, asserted), 1, &out);
  queue(np.get(), out);
  ++np->controlSent;
  if (!flushPending(np.get(), WriteWaitMilliseconds)) return {ControlStatus::Refused, 0};
  return {ControlStatus::Done, 0};
}

bool netAwaitControl(SerialPort port, int waitMs, bool untilConfirmed) {
  std::shared_ptr<NetPort> np = find(port);
  if (!np) return false;
  NetPort* p = np.get();
  pumpUntil(p, waitMs, [&] { return untilConfirmed && p->controlReplies >= p->controlSent; });
  return p->controlReplies >= p->controlSent;
}
