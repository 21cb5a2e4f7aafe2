// Network ports against servers on the loopback: a raw one, a small RFC 2217
// peer built from the Telnet codec, hostile ones.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_port.h"
#include "link/telnet_codec.h"
#include "tests/native/pty_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// A listening socket on the loopback; port 0 until it listens.
int listenOnLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 4) != 0) return -1;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  *port = ntohs(address.sin_port);
  return fd;
}

// What a server thread does with its one connection until told to stop.
struct Server {
  int listener = -1;
  int port = 0;
  std::atomic<bool> stop{false};
  std::thread thread;
  std::mutex lock;
  Bytes data;      // the data bytes it received
  Bytes controls;  // the SET-CONTROL values it received
  int purges = 0;  // the PURGE-DATA requests
  bool confirmControl = true;
  bool telnet = true;
  Bytes later;  // sent, as it stands, once sendNow is set
  std::atomic<bool> sendNow{false};
};

bool readable(int fd, int waitMs) {
  pollfd waiter = {fd, POLLIN, 0};
  return poll(&waiter, 1, waitMs) > 0;
}

void sendAll(int fd, const Bytes& bytes) {
  if (!bytes.empty()) send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// The server's side of COM-PORT: every command answered (SET-CONTROL only
// when it confirms), the others' values noted.
void serveComPort(Server* server, int fd, const TelnetEvent& event) {
  if (event.option != TelnetOptionComPort || event.payload.empty()) return;
  const uint8_t command = event.payload[0];
  std::lock_guard<std::mutex> hold(server->lock);
  if (command == ComPortSetControl) server->controls.push_back(event.payload.at(1));
  if (command == ComPortPurgeData) ++server->purges;
  if (command == ComPortSetControl && !server->confirmControl) return;
  Bytes answer;
  Bytes payload = event.payload;
  payload[0] = static_cast<uint8_t>(command + ComPortServerOffset);
  telnetSubnegotiate(TelnetOptionComPort, payload.data(), payload.size(), &answer);
  sendAll(fd, answer);
}

// Takes in what came: data bytes, and for Telnet the answers it calls for.
void takeIn(Server* server, int fd, TelnetParser* parser, TelnetOptions* options,
            const uint8_t* bytes, size_t count) {
  Bytes data(bytes, bytes + count), answers;
  if (server->telnet) {
    data.clear();
    std::vector<TelnetEvent> events;
    telnetFeed(parser, bytes, count, &data, &events);
    for (const TelnetEvent& event : events) {
      if (event.kind == TelnetEventKind::Negotiation) {
        telnetAnswer(options, event.verb, event.option, &answers);
      } else if (event.kind == TelnetEventKind::Subnegotiation) {
        serveComPort(server, fd, event);
      }
    }
  }
  sendAll(fd, answers);
  std::lock_guard<std::mutex> hold(server->lock);
  server->data.insert(server->data.end(), data.begin(), data.end());
}

// A server of one connection, raw or a minimal RFC 2217 one: sends `greeting`
// once the client is connected, then answers and collects.
void startServer(Server* server, Bytes greeting = {}) {
  server->listener = listenOnLoopback(&server->port);
  server->thread = std::thread([server, greeting] {
    if (!readable(server->listener, 5000)) return;
    const int fd = accept(server->listener, nullptr, nullptr);
    TelnetParser parser;
    TelnetOptions options;
    for (uint8_t option : {TelnetOptionBinary, TelnetOptionComPort, TelnetOptionSuppressGoAhead}) {
      options.mine[option] = options.theirs[option] = true;
    }
    sendAll(fd, greeting);
    while (!server->stop) {
      if (server->sendNow.exchange(false)) sendAll(fd, server->later);
      if (!readable(fd, 20)) continue;
      uint8_t chunk[256];
      const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      takeIn(server, fd, &parser, &options, chunk, static_cast<size_t>(got));
    }
    // What the client sent before it closed is kept, however late the
    // loop came to read it.
    uint8_t chunk[256];
    for (ssize_t got; readable(fd, 1000) && (got = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
      takeIn(server, fd, &parser, &options, chunk, static_cast<size_t>(got));
    }
    close(fd);
  });
}

void stopServer(Server* server) {
  server->stop = true;
  if (server->thread.joinable()) server->thread.join();
  if (server->listener >= 0) close(server->listener);
}

// Opens the link's port 6 on the URL.
int openUrl(const std::string& url, SerialPort* port) {
  setPortDevicePath(6, url.c_str());
  SerialSettings settings = DefaultSerialSettings;
  settings.portNumber = 6;
  return openSerialPort(port, settings);
}

BlockRecord recordFullOf0xFF() {
  BlockRecord record = {};
  record.baseAddress = 0xFFFF00FFu;
  for (size_t i = 0; i < sizeof record.data; ++i) record.data[i] = i % 3 ? 0xFF : uint8_t(i);
  record.byteCount = 256;
  return record;
}

// A reply frame with 0xFF in it, sent as the server's data.
const Bytes ReplyWith0xFF = {0x8C, 0xFF, 0x12, 0xFF};

void expectReplyWith0xFF(SerialPort port) {
  uint32_t slots[4] = {};
  ASSERT_EQ(readReplyTimed(port, slots, 4), 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(slots[i] & 0xFF, ReplyWith0xFF[size_t(i)]) << i;
}

}  // namespace

// Frames and data holding 0xFF pass both ways intact; the server's
// notifications and commands never become data.
TEST(NetPort, BytesPassIntactOverRfc2217AndRawTcp) {
  const BlockRecord record = recordFullOf0xFF();
  const uint8_t* recordBytes = reinterpret_cast<const uint8_t*>(&record);
  for (bool telnet : {true, false}) {
    SCOPED_TRACE(telnet ? "rfc2217" : "tcp");
    Server server;
    server.telnet = telnet;
    Bytes notices;
    if (telnet) {
      const uint8_t lineState[] = {ComPortServerOffset + ComPortNotifyLineState, 0x60};
      telnetSubnegotiate(TelnetOptionComPort, lineState, sizeof lineState, &notices);
      notices.insert(notices.end(), {TelnetIAC, TelnetNOP});
    }
    server.later = notices;
    if (telnet) {
      telnetEscape(ReplyWith0xFF.data(), ReplyWith0xFF.size(), &server.later);
    } else {
      server.later.insert(server.later.end(), ReplyWith0xFF.begin(), ReplyWith0xFF.end());
    }
    startServer(&server, notices);
    SerialPort port = InvalidSerialPort;
    ASSERT_EQ(openUrl((telnet ? "rfc2217://127.0.0.1:" : "tcp://localhost:") +
                          std::to_string(server.port),
                      &port),
              0);
    EXPECT_EQ(writeBlockRecord(port, record), 0);
    server.sendNow = true;
    expectReplyWith0xFF(port);
    closeSerialPort(&port);
    // The server has taken in as many data bytes as were sent.
    EXPECT_TRUE(waitUntil([&server] {
      std::lock_guard<std::mutex> hold(server.lock);
      return server.data.size() >= sizeof(BlockRecord);
    }));
    stopServer(&server);
    EXPECT_EQ(server.data, Bytes(recordBytes, recordBytes + sizeof record));
    EXPECT_EQ(server.purges, telnet ? 1 : 0);  // the purge at open
  }
}

TEST(NetPort, ARefusedOrMalformedAddressDoesNotOpenAndSaysWhy) {
  int free = 0;
  close(listenOnLoopback(&free));
  SerialPort port = InvalidSerialPort;
  for (const char* scheme : {"tcp://127.0.0.1:", "rfc2217://[::1]:"}) {
    EXPECT_EQ(openUrl(scheme + std::to_string(free), &port), 1) << scheme;
    EXPECT_EQ(lastPortOpenFault().status, PortOpenStatus::Absent);
    EXPECT_EQ(systemErrorText(lastPortOpenFault().systemError), "Connection refused");
  }
  // A name that cannot be resolved, in the resolver's words (a label longer
  // than 63 characters: refused before any name server is asked).
  EXPECT_EQ(openUrl("tcp://" + std::string(70, 'a') + ".invalid:4000", &port), 1);
  EXPECT_EQ(lastPortOpenFault().status, PortOpenStatus::Unresolved);
  EXPECT_EQ(resolverErrorText(lastPortOpenFault().systemError), gai_strerror(EAI_NONAME));
  const ResetLine dtr = {ControlLine::Dtr, false};
  setResetLine(&dtr);  // a raw stream has no control lines
  EXPECT_EQ(openUrl("tcp://127.0.0.1:" + std::to_string(free), &port), 1);
  EXPECT_EQ(lastPortOpenFault().status, PortOpenStatus::NoControlLines);
  setResetLine(nullptr);
  setPortDevicePath(6, nullptr);
}

// A network port's name is well formed, or says what is wrong with it; a port
// number never wraps (69007 is not 3471).
TEST(NetPort, AnAddressIsWellFormedOrNamesWhatIsWrong) {
  const struct {
    const char* name;
    NetPortKind kind;
    const char* problem;  // words of the problem; "" for none
  } cases[] = {
      {"tcp://127.0.0.1:4001", NetPortKind::RawTcp, ""},
      {"rfc2217://board.example:1", NetPortKind::Rfc2217, ""},
      {"rfc2217://[fe80::1]:65535", NetPortKind::Rfc2217, ""},
      {"tcp://127.0.0.1:69007", NetPortKind::None, "69007 is not 1 to 65535"},
      {"rfc2217://h:65536", NetPortKind::None, "65536 is not 1 to 65535"},
      {"tcp://h:0", NetPortKind::None, "0 is not 1 to 65535"},
      {"tcp://h:000000000004001000", NetPortKind::None, "is not 1 to 65535"},
      {"tcp://127.0.0.1", NetPortKind::None, "no port number"},
      {"rfc2217://h:", NetPortKind::None, "no port number"},
      {"rfc2217://[::1]", NetPortKind::None, "no port number"},
      {"tcp://h:abc", NetPortKind::None, "\"abc\" is not a port number"},
      {"rfc2217://h:8x", NetPortKind::None, "\"8x\" is not a port number"},
      {"tcp://h:4000/path", NetPortKind::None, "no path"},
      {"tcp://:80", NetPortKind::None, "no host"},
      {"tcp://", NetPortKind::None, "no host"},
      {"tcp://[::1:80", NetPortKind::None, "no closing bracket"},
      {"tcp://[::1]80", NetPortKind::None, "only :PORT"},
      {"tcp://a]b:80", NetPortKind::None, "brackets"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(netPortKind(c.name), c.kind) << c.name;
    const std::string problem = netAddressProblem(c.name);
    if (*c.problem == '\0') {
      EXPECT_EQ(problem, "") << c.name;
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << c.name << ": " << problem;
    }
  }
  for (const char* other : {"udp://h:1", "/dev/ttyUSB0", "TCP://h:1", "COM3"}) {
    EXPECT_EQ(netPortKind(other), NetPortKind::None) << other;
    EXPECT_EQ(netAddressProblem(other), "") << other;
  }
}

// A server that hangs up while a reply is awaited: the dead line, at once.
TEST(NetPort, AConnectionClosedByTheServerEndsTheReadAsTheDeadLine) {
  for (const char* scheme : {"tcp://127.0.0.1:", "rfc2217://127.0.0.1:"}) {
    int portNumber = 0;
    const int listener = listenOnLoopback(&portNumber);
    std::atomic<bool> reading{false};
    Clock::time_point closedAt;
    // The server hangs up a while after the read began.
    std::thread closer([listener, &reading, &closedAt] {
      const int fd = accept(listener, nullptr, nullptr);
      waitUntil([&] { return reading.load(); });
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      closedAt = Clock::now();
      close(fd);
    });
    SerialPort port = InvalidSerialPort;
    EXPECT_EQ(openUrl(scheme + std::to_string(portNumber), &port), 0) << scheme;
    reading = true;
    uint32_t slots[4] = {};
    EXPECT_EQ(readReplyBlocking(port, slots, 4), 3);
    closer.join();
    EXPECT_EQ(lastReadEnd(), ReadEnd::LineFailed);
    EXPECT_LT(millisecondsSince(closedAt), generousBoundMs(2 * BlockingSliceMilliseconds));
    closeSerialPort(&port);
    close(listener);
  }
}

// Endless negotiation, a sub-negotiation without end, a stream of IAC NOP,
// and a server that never reads our answers: every wait still ends in time.
TEST(NetPort, AHostileServerCannotHoldTheLink) {
  int portNumber = 0;
  const int listener = listenOnLoopback(&portNumber);
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const int fd = accept(listener, nullptr, nullptr);
    Bytes storm;
    for (int i = 0; i < 200; ++i) storm.insert(storm.end(), {TelnetIAC, TelnetWILL, 1});
    for (int i = 0; i < 200; ++i) storm.insert(storm.end(), {TelnetIAC, TelnetNOP});
    storm.insert(storm.end(), {TelnetIAC, TelnetSB, TelnetOptionComPort});
    const Bytes endless(4096, 0x41);
    for (int round = 0; !stop; ++round) {
      send(fd, (round % 8 ? endless : storm).data(), (round % 8 ? endless : storm).size(),
           MSG_DONTWAIT | MSG_NOSIGNAL);
      if (round % 8 == 7) send(fd, storm.data(), 3, MSG_DONTWAIT | MSG_NOSIGNAL);  // SB ends
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(fd);
  });
  Clock::time_point start = Clock::now();
  SerialPort port = InvalidSerialPort;
  ASSERT_EQ(openUrl("rfc2217://127.0.0.1:" + std::to_string(portNumber), &port), 0);
  EXPECT_LT(millisecondsSince(start), 2000);
  setReplyLimit(600);
  start = Clock::now();
  uint32_t slots[4] = {};
  EXPECT_EQ(readReplyBlocking(port, slots, 4), 3);
  EXPECT_EQ(lastReadEnd(), ReadEnd::ReplyLimit);
  EXPECT_LT(millisecondsSince(start), generousBoundMs(600));
  setReplyLimit(0);
  // The abort comes a while after the read began.
  Clock::time_point abortedAt;
  std::thread aborter([&abortedAt] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    abortedAt = Clock::now();
    requestLinkAbort();
  });
  EXPECT_EQ(readReplyBlocking(port, slots, 4), 3);
  aborter.join();
  EXPECT_EQ(lastReadEnd(), ReadEnd::Aborted);
  EXPECT_LT(millisecondsSince(abortedAt), generousBoundMs(2 * BlockingSliceMilliseconds));
  clearLinkAbort();
  closeSerialPort(&port);
  stop = true;
  flood.join();
  close(listener);
}

// The reset line over RFC 2217: both lines released from the open on, the
// pulse as SET-CONTROL; a server that does not confirm is waited for briefly.
TEST(NetPort, AResetPulsesTheLineThroughSetControl) {
  for (bool confirms : {true, false}) {
    Server server;
    server.confirmControl = confirms;
    telnetEscape(ReplyWith0xFF.data(), ReplyWith0xFF.size(), &server.later);
    startServer(&server);
    const ResetLine reset = {confirms ? ControlLine::Dtr : ControlLine::Rts, !confirms};
    setResetLine(&reset);
    SerialPort port = InvalidSerialPort;
    ASSERT_EQ(openUrl("rfc2217://127.0.0.1:" + std::to_string(server.port), &port), 0);
    server.sendNow = true;  // the board's call, while the line is pulsed
    const Clock::time_point start = Clock::now();
    const ControlFault fault = pulseReset(port, 150);
    const long took = millisecondsSince(start);
    EXPECT_EQ(fault.status, confirms ? ControlStatus::Done : ControlStatus::Unconfirmed);
    EXPECT_GE(took, 150);
    EXPECT_LT(took, generousBoundMs(confirms ? 150 : 150 + ControlConfirmMilliseconds));
    expectReplyWith0xFF(port);
    closeSerialPort(&port);
    setResetLine(nullptr);
    // The server has taken in the control values sent: the flow, the pulse.
    EXPECT_TRUE(waitUntil([&server] {
      std::lock_guard<std::mutex> hold(server.lock);
      return server.controls.size() >= 5;
    }));
    stopServer(&server);
    const Bytes sent = confirms ? Bytes{ComPortControlDtrOff, ComPortControlRtsOff,
                                        ComPortControlDtrOn, ComPortControlDtrOff}
                                : Bytes{ComPortControlDtrOn, ComPortControlRtsOn,
                                        ComPortControlRtsOff, ComPortControlRtsOn};
    EXPECT_EQ(server.controls, Bytes{ComPortControlNoFlow} + sent);
  }
}

namespace {

struct ControlCall {
  SerialPort port;
  ControlLine line;
  bool asserted;
  bool operator==(const ControlCall& other) const {
    return port == other.port && line == other.line && asserted == other.asserted;
  }
};
std::vector<ControlCall> controlCalls;
int controlError = 0;

int recordControl(SerialPort port, ControlLine line, bool asserted) {
  controlCalls.push_back({port, line, asserted});
  return controlError;
}

}  // namespace

// The local path: a pseudo-terminal refuses the modem-control calls, so the
// port does not open with a reset line; through the recording hook the lines
// are held released from the open, the hang-up at close is off, and the pulse
// drives the line for its time.
class LocalReset : public PtyLinkTest {
 protected:
  void TearDown() override {
    setControlLineHook(nullptr);
    setResetLine(nullptr);
    PtyLinkTest::TearDown();
  }
};

TEST_F(LocalReset, APortWithoutControlLinesDoesNotOpen) {
  const ResetLine dtr = {ControlLine::Dtr, false};
  setResetLine(&dtr);
  SerialPort port = InvalidSerialPort;
  EXPECT_EQ(openSerialPort(&port, settings), 1);
  EXPECT_EQ(lastPortOpenFault().status, PortOpenStatus::NoControlLines);
  EXPECT_EQ(lastPortOpenFault().systemError, ENOTTY);
}

TEST_F(LocalReset, TheLinesAreHeldReleasedAndPulsedForTheirTime) {
  const ResetLine rtsInverted = {ControlLine::Rts, true};
  setResetLine(&rtsInverted);
  setControlLineHook(recordControl);
  controlCalls.clear();
  controlError = 0;
  SerialPort port = InvalidSerialPort;
  ASSERT_EQ(openSerialPort(&port, settings), 0);
  termios tio;
  ASSERT_EQ(tcgetattr(peer.slaveHold, &tio), 0);
  EXPECT_EQ(tio.c_cflag & HUPCL, 0u);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(pulseReset(port, 120).status, ControlStatus::Done);
  EXPECT_GE(millisecondsSince(start), 120);
  const std::vector<ControlCall> expected = {{port, ControlLine::Dtr, true},
                                             {port, ControlLine::Rts, true},
                                             {port, ControlLine::Rts, false},
                                             {port, ControlLine::Rts, true}};
  EXPECT_EQ(controlCalls, expected);
  controlError = EIO;
  const ControlFault fault = pulseReset(port, 10);
  EXPECT_EQ(fault.status, ControlStatus::Refused);
  EXPECT_EQ(fault.systemError, EIO);
  closeSerialPort(&port);
}
