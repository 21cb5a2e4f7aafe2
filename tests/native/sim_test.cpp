// The simulated target through its pseudo-terminal, the test playing the host.
// Whole runs through the real link operations are in run_logic_test and
// cli_test; here are the things those runs rely on but cannot see.
#include <errno.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "link/frames.h"
#include "link/telnet_codec.h"
#include "sim/app_text.h"
#include "sim/line_pacing.h"
#include "sim/simulator.h"
#include "tests/native/pty_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const auto reply = replyBytes;

BlockRecord makeRecord(uint32_t base, const Bytes& data) {
  BlockRecord record{};
  record.baseAddress = base;
  record.byteCount = uint32_t(data.size());
  std::copy(data.begin(), data.end(), record.data);
  record.checkValue = blockCheckValue(record);
  return record;
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Up to `count` bytes from the host's end of the line; fewer when none came
// for `timeoutMs`, or when the line hung up (then *hungUp is set).
Bytes hostRead(int fd, size_t count, int timeoutMs, bool* hungUp = nullptr) {
  Bytes bytes(count);
  size_t got = 0;
  pollfd p{fd, POLLIN, 0};
  while (got < count && poll(&p, 1, timeoutMs) > 0) {
    ssize_t n = read(fd, bytes.data() + got, count - got);
    if (n == 0 || (n < 0 && errno != EAGAIN)) {
      if (hungUp) *hungUp = true;
      break;
    }
    got += size_t(std::max<ssize_t>(n, 0));
  }
  bytes.resize(got);
  return bytes;
}

class SimTest : public ::testing::Test {
 protected:
  std::string dir = makeScratchDir();
  std::string link = dir + "/tty", memory = dir + "/flash.bin", control = dir + "/control";
  SimConfig config;
  Simulator* sim = nullptr;
  int host = -1;  // the device behind the link (the simulator has made the line raw)

  void SetUp() override {
    ASSERT_FALSE(dir.empty());
    config.linkPath = link.c_str();
    config.memoryOut = memory.c_str();
    config.callMs = 1000;  // a call at once, the next only much later
    config.eraseBlocks = 3;
    config.flashSize = 64 * 1024;
    config.bootSize = 4 * 1024;
  }
  void TearDown() override {
    stop();
    removeScratchDir(dir);
  }
  void start() { ASSERT_NE(sim = simStart(config), nullptr); }
  void stop() {
    if (host >= 0) close(host);
    host = -1;
    simStop(sim);
    sim = nullptr;
  }
  Bytes frame(int timeoutMs = WaitLimitMs) { return hostRead(host, 4, timeoutMs); }
  Bytes drain(int quietMs = 150) { return hostRead(host, 4096, quietMs); }
  void send(const Bytes& bytes) {
    EXPECT_EQ(write(host, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  void send(const uint32_t* command) { send(Bytes(command, command + 4)); }
  // Opens the link afresh and completes the handshake (frame 1).
  void connect() {
    if (host >= 0) close(host);
    host = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(host, 0) << strerror(errno);
    ASSERT_EQ(frame(), reply(ReplyTargetCall));
    send(FrameAck);
    ASSERT_EQ(frame(), reply(ReplyAckConfirmed));
  }
  // An erase or a programming start: acknowledgement, block-erased replies, end.
  void erase(const uint32_t* command, int32_t ack, int32_t end, int blocks = 3) {
    send(command);
    ASSERT_EQ(frame(), reply(ack));
    for (int i = 0; i < blocks; ++i) ASSERT_EQ(frame(), reply(ReplyBlockErased)) << i;
    ASSERT_EQ(frame(), reply(end));
  }
  // Block-follows, then the record; the reply to the record.
  Bytes sendRecord(const BlockRecord& record, int32_t ack) {
    send(FrameBlockFollows);
    EXPECT_EQ(frame(), reply(ack));
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
    send(Bytes(p, p + sizeof record));
    return frame();
  }
  void fill(uint32_t offset, size_t count, uint8_t value) {
    Bytes bytes(count, value);
    ASSERT_TRUE(simLoadFlash(sim, config.flashBase + offset, bytes.data(), count));
  }
};

// ---- The flash model ----

// The board calls on a strict beat until it is answered: a call the host
// discarded unread (it opened the port after it) is followed a period later,
// and calls that pile up unread are replaced, not queued.
TEST_F(SimTest, CallsKeepTheirBeatUntilAnsweredWhateverBecameOfTheLastOne) {
  config.callMs = 300;
  const auto begin = Clock::now();
  start();
  host = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(host, 0) << strerror(errno);
  pollfd first{host, POLLIN, 0};
  ASSERT_EQ(poll(&first, 1, WaitLimitMs), 1) << "the first call";
  tcflush(host, TCIFLUSH);  // the first call is lost
  std::vector<long> at;     // ms after the start
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(frame(WaitLimitMs), reply(ReplyTargetCall)) << i;
    at.push_back(millisecondsSince(begin));
  }
  EXPECT_LT(at[0], generousBoundMs(300)) << "a period after the lost call";
  for (int i = 1; i < 3; ++i) {
    EXPECT_GT(at[i] - at[i - 1], 200) << i;
    EXPECT_LT(at[i] - at[i - 1], generousBoundMs(300)) << i;
  }
  // Two calls go out unread: the second replaces the first.
  const int sent = simStatus(sim).callsSent;
  ASSERT_TRUE(waitUntil([&] { return simStatus(sim).callsSent >= sent + 2; }));
  EXPECT_EQ(drain(), reply(ReplyTargetCall)) << "one fresh call waits, not a backlog";
  send(FrameAck);
  EXPECT_EQ(frame(), reply(ReplyAckConfirmed));
  const int answered = simStatus(sim).callsSent;
  EXPECT_EQ(drain(700), Bytes{}) << "answered, the board calls no more";
  EXPECT_EQ(simStatus(sim).callsSent, answered);
}

TEST_F(SimTest, EachEraseEmptiesItsRegionAndCompletedOnesReachTheFile) {
  struct Case {
    const uint32_t* command;
    int32_t ack, end;
    bool bootErased, appErased, published;
  } const cases[] = {
      {FrameErase, ReplyEraseAck, ReplyComplete, false, true, true},
      {FrameEraseAll, ReplyEraseAllAck, ReplyComplete, true, true, true},
      {FrameProgramApp, ReplyAppAck, ReplyAppAck, false, true, false},
      {FrameProgramBoot, ReplyBootAck, ReplyBootAck, true, false, false},
  };
  start();
  connect();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ack);
    fill(0, 64 * 1024, 0x5A);
    remove(memory.c_str());
    erase(c.command, c.ack, c.end);
    const Bytes flash = simFlash(sim);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 4096), Bytes(4096, c.bootErased ? 0xFF : 0x5A));
    EXPECT_EQ(Bytes(flash.begin() + 4096, flash.end()),
              Bytes(60 * 1024, c.appErased ? 0xFF : 0x5A));
    // A completed erase is in the file before its last reply goes out.
    EXPECT_EQ(readFile(memory), c.published ? flash : Bytes{});
  }
}

// A record lands at its address when it lies in the region of its run; any
// other is refused with E0 and changes nothing. The flash starts at a base of
// its own, so that an address taken for an offset shows.
TEST_F(SimTest, RecordsLandInTheRegionOfTheirRunOrAreRefusedWithoutAChange) {
  const uint32_t base = 0x08000000;
  config.flashBase = base;
  enum Fault { None, BadCheck, BadCount };
  struct Case {
    bool bootRun;
    uint32_t offset, size;
    Fault fault;
    bool ok;
  } const cases[] = {
      {false, 0x1000, 256, None, true},  // first block of the application region
      {false, 0xFFFF, 1, None, true},    // last byte of the flash
      {false, 0x0800, 0, None, true},    // empty: writes nothing, wherever it points
      {false, 0x0FFF, 2, None, false},   // reaches into the boot region
      {false, 0xFFFF, 2, None, false},   // runs past the end
      {false, 0u - 16, 1, None, false},  // below the flash
      {false, ~base, 2, None, false},    // at 0xFFFFFFFF: would wrap
      {false, 0x3000, 3, BadCheck, false},
      {false, 0x3000, 256, BadCount, false},
      {true, 0x0000, 2, None, true},
      {true, 0x0FFF, 2, None, false},  // reaches into the application region
  };
  start();
  connect();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    const int32_t ack = c.bootRun ? ReplyBootAck : ReplyAppAck;
    erase(c.bootRun ? FrameProgramBoot : FrameProgramApp, ack, ack);
    Bytes data(c.size);
    for (size_t k = 0; k < data.size(); ++k) data[k] = uint8_t(i * 37 + k);
    BlockRecord record = makeRecord(base + c.offset, data);
    if (c.fault == BadCheck) record.checkValue ^= 1;
    if (c.fault == BadCount) record.byteCount = 257;
    Bytes expected = simFlash(sim);
    if (c.ok) std::copy(data.begin(), data.end(), expected.begin() + c.offset);
    EXPECT_EQ(sendRecord(record, ack), reply(c.ok ? ack : ReplyStatusE0));
    EXPECT_EQ(simFlash(sim), expected);
    send(FrameEndProgramming);
    ASSERT_EQ(frame(), reply(ReplyComplete));
    EXPECT_EQ(readFile(memory), expected);
  }
}

// ---- Faults, reset, control, pacing ----

// Each fault, set for frame 2 (an erase), strikes there and again at frame 2
// after a reset. A reset ends silence and a hang-up; after a hang-up the line
// is a new pseudo-terminal, and the link points at it.
TEST_F(SimTest, EachFaultStrikesAtItsFrameAndAgainAfterAReset) {
  Bytes garbled = reply(ReplyEraseAck), badCheck = garbled;
  garbled[2] ^= 0x55;  // and a check byte to fit
  garbled[3] = uint8_t(garbled[0] ^ garbled[1] ^ garbled[2]);
  badCheck[3] ^= 0x01;
  struct Case {
    int SimConfig::*option;
    Bytes firstReply;  // empty: none
    bool carriedOut, hangsUp;
  } const cases[] = {
      {&SimConfig::garbleReplyToFrame, garbled, true, false},
      {&SimConfig::badCheckReplyToFrame, badCheck, true, false},
      {&SimConfig::unexpectedReplyToFrame, reply(ReplyStatusE0), false, false},
      {&SimConfig::silentFromFrame, Bytes{}, false, false},
      {&SimConfig::hangupAtFrame, Bytes{}, false, true},
  };
  const SimConfig plain = config;
  for (const Case& c : cases) {
    config = plain;
    config.*c.option = 2;
    start();
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(testing::Message() << "case " << (&c - cases) << ", round " << round);
      fill(0x1000, 16, 0x42);
      connect();
      send(FrameErase);
      bool hungUp = false;
      EXPECT_EQ(hostRead(host, 4, c.firstReply.empty() ? 150 : WaitLimitMs, &hungUp), c.firstReply);
      EXPECT_EQ(hungUp, c.hangsUp);
      for (int k = 0; c.carriedOut && k < 4; ++k) {
        EXPECT_EQ(frame(), reply(k < 3 ? ReplyBlockErased : ReplyComplete));
      }
      EXPECT_EQ(simFlash(sim)[0x1000], c.carriedOut ? 0xFF : 0x42);
      if (!c.firstReply.empty()) {
        erase(FrameErase, ReplyEraseAck, ReplyComplete);  // a reply fault strikes frame 2 only
      } else if (!c.hangsUp) {
        send(FrameAck);  // silence lasts
        EXPECT_EQ(drain(), Bytes{});
      }
      struct stat before, after;
      ASSERT_EQ(lstat(link.c_str(), &before), 0);
      simReset(sim);
      ASSERT_EQ(lstat(link.c_str(), &after), 0);
      EXPECT_EQ(after.st_ino != before.st_ino, c.hangsUp);  // a new link, to a new device
      char target[256] = {0};
      EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
      EXPECT_EQ(std::string(target), simDevicePath(sim));
    }
    stop();
  }
}

// A reset discards what is still on the line and ends a launch. Control lines
// apply in order: the call after `reset` comes once every line before it is.
TEST_F(SimTest, ResetAndControlLinesTakeEffectInOrder) {
  config.controlPath = control.c_str();
  config.eraseBlocks = 50;
  start();
  connect();
  send(FrameErase);
  ASSERT_EQ(frame(), reply(ReplyEraseAck));
  simReset(sim);  // the other 51 replies, still unread, go with it
  connect();
  send(FrameLaunch);
  send(FrameErase);
  EXPECT_EQ(drain(), Bytes{});  // the application runs: nobody answers
  fill(0, 4, 0xAB);             // unlike the file the erase left
  std::ofstream(control) << "set erase-blocks 4\nset erase-blocks 5\r\n  # note\nbogus\n"
                            "set erase-block-ms 30\nset unexpected-reply 3\nwrite-memory\nreset\n";
  connect();
  EXPECT_EQ(readFile(memory), simFlash(sim));
  const auto begin = Clock::now();
  erase(FrameErase, ReplyEraseAck, ReplyComplete, 5);
  EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(140));
  send(FrameErase);  // frame 3
  EXPECT_EQ(frame(), reply(ReplyStatusE0));
  // Unplugged: the host's line hangs up and the port is gone until a reset.
  struct stat st;
  ASSERT_TRUE(simControl(sim, "unplug"));
  bool hungUp = false;
  EXPECT_EQ(hostRead(host, 4, 500, &hungUp), Bytes{});
  EXPECT_TRUE(hungUp);
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  simReset(sim);
  connect();
  // Every option of the table is one `set` understands; a negative value is not.
  size_t count = 0;
  const SimOption* options = simOptions(&count);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_TRUE(simControl(sim, (std::string("set ") + options[i].name + " 0").c_str()));
  }
  EXPECT_FALSE(simControl(sim, "set call-ms -1"));
  stop();  // the link and the FIFO go with the simulator
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  EXPECT_NE(lstat(control.c_str(), &st), 0);
}

// ---- A station's fixture: the next board, the application's line ----

TEST(AppText, PlaceholdersReadTheFlashInTheirFormat) {
  const FlashGeometry g{0x1000, 0x100, 0};
  Bytes flash(0x100, 0xFF);
  for (int i = 0; i < 8; ++i) flash[0x10 + i] = uint8_t(i + 1);
  memcpy(&flash[0x20], "SN0042", 6);
  std::string why;
  const std::string text =
      "{u32le@0x1010} {u32be@0x1010} {u64le@4112} {u64be@0x1010} id {ascii:6@0x1020}!";
  ASSERT_TRUE(appTextValid(text, g, &why)) << why;
  EXPECT_EQ(appTextRender(text, g, flash),
            "67305985 16909060 578437695752307201 72623859790382856 id SN0042!");
  for (const char* bad : {"{u32le@0x10FD}", "{u32le@0xFFF}", "{u16le@0x1010}", "{ascii:0@0x1010}",
                          "{ascii:65@0x1010}", "{u32le 0x1010}", "x {u32le@0x1010", "{u32le@-1}",
                          "{u64be@0x100000000}"}) {
    EXPECT_FALSE(appTextValid(bad, g, &why)) << bad;
  }
  EXPECT_EQ(simMemoryOutPath("f.bin", 1), "f.bin");
  EXPECT_EQ(simMemoryOutPath("f.bin", 3), "f.bin.3");
  EXPECT_EQ(simMemoryOutPath("b{board}.bin", 12), "b12.bin");
}

// The next board comes the set time after a launch or the end of a run, with
// an erased flash and a memory-out file of its own; the launched application
// prints its line with the number programmed into it.
TEST_F(SimTest, TheNextBoardComesAfterALaunchOrARunWithAFileOfItsOwn) {
  config.nextBoardMs = 500;
  config.appText = "app up, sn={u32le@0x7FF0}";
  start();
  const auto program = [&](uint8_t low) {
    connect();
    erase(FrameProgramApp, ReplyAppAck, ReplyAppAck);
    EXPECT_EQ(sendRecord(makeRecord(0x7FF0, {low, 0x03, 0, 0}), ReplyAppAck), reply(ReplyAppAck));
    send(FrameEndProgramming);
    EXPECT_EQ(frame(), reply(ReplyComplete));
  };
  program(0xE8);
  const Bytes first = simFlash(sim);
  send(FrameLaunch);
  const auto launched = Clock::now();
  const std::string expected = "app up, sn=1000\r\n";
  const Bytes line = hostRead(host, expected.size(), WaitLimitMs);
  EXPECT_EQ(std::string(line.begin(), line.end()), expected);
  EXPECT_EQ(drain(), Bytes{});  // silent while the fixture is reloaded
  EXPECT_EQ(simStatus(sim).board, 1);
  EXPECT_EQ(frame(), reply(ReplyTargetCall));
  EXPECT_GE(Clock::now() - launched, std::chrono::milliseconds(500));
  EXPECT_EQ(simStatus(sim).board, 2);
  EXPECT_EQ(simFlash(sim), Bytes(64 * 1024, 0xFF));
  program(0xE9);  // not launched: the end of the run starts the count
  EXPECT_EQ(readFile(memory), first);
  EXPECT_EQ(readFile(memory + ".2")[0x7FF0], 0xE9);
  EXPECT_EQ(frame(int(generousBoundMs(500))), reply(ReplyTargetCall));
  EXPECT_EQ(simStatus(sim).board, 3);
  // The text's placeholders are checked before the simulator starts.
  stop();
  config.appText = "sn={u32le@0xFFFE}";
  EXPECT_EQ(simStart(config), nullptr);
}

// ---- The network port ----

int tcpConnect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// Raw bytes, one host at a time, the next once the first has gone; each
// message held for the latency, each way.
TEST_F(SimTest, TheNetworkPortServesOneHostAtATimeWithItsLatency) {
  config.listen = "127.0.0.1:0";
  start();
  ASSERT_GT(simListenPort(sim), 0);
  int first = tcpConnect(simListenPort(sim));
  EXPECT_EQ(hostRead(first, 4, WaitLimitMs), reply(ReplyTargetCall));
  const int second = tcpConnect(simListenPort(sim));
  bool refused = false;
  EXPECT_EQ(hostRead(second, 4, 1000, &refused), Bytes{});
  EXPECT_TRUE(refused);
  close(second);
  ASSERT_TRUE(simControl(sim, "set latency-ms 60"));
  const auto begin = Clock::now();
  const Bytes ack(FrameAck, FrameAck + 4);
  ASSERT_EQ(write(first, ack.data(), 4), 4);
  EXPECT_EQ(hostRead(first, 4, WaitLimitMs), reply(ReplyAckConfirmed));
  EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(120));
  // Paced, the hold comes on top of each message's time on the wire
  // (33 ms for four bytes at 1200 baud), both ways.
  ASSERT_TRUE(simControl(sim, "set baud 1200"));
  const auto paced = Clock::now();
  ASSERT_EQ(write(first, ack.data(), 4), 4);
  EXPECT_EQ(hostRead(first, 4, WaitLimitMs), reply(ReplyAckConfirmed));
  EXPECT_GE(Clock::now() - paced, std::chrono::milliseconds(185));
  ASSERT_TRUE(simControl(sim, "set baud 0"));
  close(first);
  ASSERT_TRUE(simControl(sim, "set latency-ms 0"));
  first = tcpConnect(simListenPort(sim));
  ASSERT_EQ(write(first, ack.data(), 4), 4);
  EXPECT_EQ(hostRead(first, 4, WaitLimitMs), reply(ReplyAckConfirmed));
  close(first);
}

// The host's end of a Telnet COM-PORT connection.
struct TelnetHost {
  int fd;
  TelnetParser parser;
  Bytes data;
  std::vector<TelnetEvent> events;
  void send(const Bytes& bytes, bool escape = true) {
    Bytes wire;
    if (escape) telnetEscape(bytes.data(), bytes.size(), &wire);
    const Bytes& out = escape ? wire : bytes;
    EXPECT_EQ(write(fd, out.data(), out.size()), ssize_t(out.size()));
  }
  // Reads what comes within `timeoutMs`; false when nothing did.
  bool pump(int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    uint8_t got[4096];
    ssize_t n = 0;
    if (poll(&p, 1, timeoutMs) <= 0 || (n = read(fd, got, sizeof got)) <= 0) return false;
    telnetFeed(&parser, got, size_t(n), &data, &events);
    return true;
  }
  // The next `count` data bytes, fewer when nothing came for a while.
  Bytes take(size_t count, int timeoutMs = WaitLimitMs) {
    while (data.size() < count && pump(timeoutMs)) {
    }
    Bytes taken(data.begin(), data.begin() + std::min(count, data.size()));
    data.erase(data.begin(), data.begin() + taken.size());
    return taken;
  }
  // The value the server answered to a COM-PORT command, -1 when none came.
  long answer(uint8_t command, uint32_t value, size_t width) {
    Bytes out;
    comPortCommand(command, value, width, &out);
    send(out, false);
    do {
      for (const TelnetEvent& e : events) {
        if (e.kind != TelnetEventKind::Subnegotiation || e.payload.empty() ||
            e.payload[0] != command + ComPortServerOffset) {
          continue;
        }
        const long value = long(comPortValue(e.payload));
        events.clear();
        return value;
      }
    } while (pump(WaitLimitMs));
    return -1;
  }
};

// Over the Telnet COM-PORT protocol: the options agreed, the settings
// answered, 0xFF doubled both ways; a board whose reset hangs on DTR, silent
// after its launch, is held by DTR and calls once it is released.
TEST_F(SimTest, TheComPortProtocolCarriesDataAndTheResetLine) {
  config.listen = "127.0.0.1:0";
  config.rfc2217 = true;
  config.resetOn = "dtr";
  config.appText = "{ascii:2@0x2101}";  // 0xFF 0xFF, from the board this time
  start();
  TelnetHost h{tcpConnect(simListenPort(sim)), {}, {}, {}};
  h.send({TelnetIAC, TelnetWILL, TelnetOptionComPort, TelnetIAC, TelnetWILL, TelnetOptionBinary,
          TelnetIAC, TelnetDO, TelnetOptionBinary},
         false);
  EXPECT_EQ(h.take(4), reply(ReplyTargetCall));
  EXPECT_EQ(h.answer(ComPortSetBaudRate, 115200, 4), 115200);
  EXPECT_EQ(h.answer(ComPortSetDataSize, 8, 1), 8);
  EXPECT_EQ(h.answer(ComPortSetControl, ComPortControlDtrOff, 1), ComPortControlDtrOff);
  EXPECT_EQ(h.answer(ComPortPurgeData, ComPortPurgeBoth, 1), ComPortPurgeBoth);
  h.send(Bytes(FrameAck, FrameAck + 4));
  EXPECT_EQ(h.take(4), reply(ReplyAckConfirmed));
  h.send(Bytes(FrameProgramApp, FrameProgramApp + 4));
  EXPECT_EQ(h.take(20).size(), 20u);  // acknowledgement, 3 blocks erased, end
  h.send(Bytes(FrameBlockFollows, FrameBlockFollows + 4));
  EXPECT_EQ(h.take(4), reply(ReplyAppAck));
  const BlockRecord record = makeRecord(0x20FF, {0xFF, 0x00, 0xFF, 0xFF});
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
  h.send(Bytes(p, p + sizeof record));
  EXPECT_EQ(h.take(4), reply(ReplyAppAck));
  const Bytes flash = simFlash(sim);
  EXPECT_EQ(Bytes(flash.begin() + 0x20FE, flash.begin() + 0x2104),
            Bytes({0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF}));
  h.send(Bytes(FrameLaunch, FrameLaunch + 4));
  EXPECT_EQ(h.take(4), Bytes({0xFF, 0xFF, '\r', '\n'}));
  EXPECT_EQ(h.answer(ComPortSetControl, ComPortControlDtrOn, 1), ComPortControlDtrOn);
  EXPECT_EQ(h.take(4, 300), Bytes{});  // held in reset
  EXPECT_EQ(simStatus(sim).resets, 0);
  EXPECT_EQ(h.answer(ComPortSetControl, ComPortControlDtrOff, 1), ComPortControlDtrOff);
  EXPECT_EQ(h.take(4), reply(ReplyTargetCall));
  EXPECT_EQ(simStatus(sim).resets, 1);
  close(h.fd);
}

// ---- Pacing, on a fake clock ----

// A line whose clock moves only when the sender sleeps, and then oversleeps.
struct FakeLine {
  SimTime now{};
  SimClock::duration oversleep{};
  std::vector<long> room;  // what each write takes, in turn; then everything
  std::vector<std::pair<SimTime, size_t>> writes;
};

PacedLine pacedLine(FakeLine* fake) {
  return PacedLine{fake, [](void* c) { return static_cast<FakeLine*>(c)->now; },
                   [](void* c, SimTime until) {
                     FakeLine* f = static_cast<FakeLine*>(c);
                     f->now = std::max(f->now, until) + f->oversleep;
                     return true;
                   },
                   [](void* c, const uint8_t*, size_t count) {
                     FakeLine* f = static_cast<FakeLine*>(c);
                     long n = long(count);
                     if (f->writes.size() < f->room.size())
                       n = std::min(n, f->room[f->writes.size()]);
                     f->writes.push_back({f->now, size_t(n)});
                     return n;
                   }};
}

// At 10000 baud a byte takes 1 ms. A message goes out whole once its last
// byte is through: one sleep, so one oversleep, whatever its length; and the
// line is taken until that byte's slot, not until the late wake-up. Short
// writes cost no further slots.
TEST(LinePacing, BytesTakeTenBitTimesAndAMessageSleepsOnce) {
  using std::chrono::microseconds;
  const SimTime t0{};
  FakeLine fake;
  fake.oversleep = microseconds(300);
  LinePace pace{t0};
  const Bytes message(10, 0x55);
  ASSERT_TRUE(sendPaced(&pace, 10000, pacedLine(&fake), message.data(), message.size()));
  ASSERT_EQ(fake.writes.size(), 1u);
  EXPECT_EQ(fake.writes[0].first, t0 + microseconds(10300));
  EXPECT_EQ(fake.writes[0].second, 10u);
  EXPECT_EQ(pace.ready, t0 + microseconds(10000));
  // Handed over while the line is still taken: after the bytes before them.
  EXPECT_EQ(paceBytes(&pace, 10000, t0 + microseconds(5000), 4), t0 + microseconds(14000));
  // Handed over to an idle line: from then on.
  EXPECT_EQ(paceBytes(&pace, 10000, t0 + microseconds(20000), 4), t0 + microseconds(24000));
  // Written in pieces, for want of room on the host's side: no new slots.
  fake = FakeLine{};
  fake.room = {3, 0, 4};
  pace.ready = fake.now;
  ASSERT_TRUE(sendPaced(&pace, 10000, pacedLine(&fake), message.data(), message.size()));
  ASSERT_EQ(fake.writes.size(), 4u);
  EXPECT_EQ(fake.writes.back().first, fake.now);
  EXPECT_EQ(fake.now, t0 + microseconds(10000));
  EXPECT_EQ(fake.writes.back().second, 3u);
  // Unpaced, bytes go at once.
  fake.writes.clear();
  ASSERT_TRUE(sendPaced(&pace, 0, pacedLine(&fake), message.data(), message.size()));
  EXPECT_EQ(fake.writes[0].first, fake.now);
}

}  // namespace
