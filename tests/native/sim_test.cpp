// The simulated target, driven through its pseudo-terminal by a raw peer that
// plays the host: handshake, every command's replies, the flash model, the
// faults, reset, the control FIFO, the log, the link, pacing and the program.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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

#include "link/bootloader.h"
#include "link/frames.h"
#include "sim/simulator.h"
#include "sim/target_model.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes frameBytes(const FrameSlots& frame) {
  return Bytes{uint8_t(frame[0]), uint8_t(frame[1]), uint8_t(frame[2]), uint8_t(frame[3])};
}

Bytes reply(int32_t code) {
  uint32_t slots[4];
  encodeReply(code, slots);
  return Bytes{uint8_t(slots[0]), uint8_t(slots[1]), uint8_t(slots[2]), uint8_t(slots[3])};
}

int32_t decoded(const Bytes& frame) {
  if (frame.size() != 4) return -1;
  uint32_t slots[4] = {frame[0], frame[1], frame[2], frame[3]};
  return decodeReply(slots);
}

long msSince(Clock::time_point start) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

BlockRecord makeRecord(uint32_t base, const Bytes& data) {
  BlockRecord record{};
  record.baseAddress = base;
  record.byteCount = uint32_t(data.size());
  if (!data.empty()) memcpy(record.data, data.data(), std::min<size_t>(data.size(), 256));
  record.checkValue = blockCheckValue(record);
  return record;
}

Bytes recordBytes(const BlockRecord& record) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
  return Bytes(p, p + sizeof record);
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The host's end of the line: the slave device opened through the link.
struct Peer {
  int fd = -1;

  ~Peer() { close(); }

  bool open(const std::string& path) {
    close();
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    termios tio;
    if (tcgetattr(fd, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd, TCSANOW, &tio);
    }
    return true;
  }

  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  void send(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += size_t(n);
      } else {
        ASSERT_TRUE(n < 0 && (errno == EAGAIN || errno == EINTR)) << strerror(errno);
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  }

  // Exactly `count` bytes, or fewer when none came for `timeoutMs` (or the
  // line hung up: then `hungUp` is set).
  Bytes read(size_t count, int timeoutMs = 2000, bool* hungUp = nullptr) {
    Bytes bytes;
    while (bytes.size() < count) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) break;
      uint8_t buffer[512];
      ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (n > 0) {
        bytes.insert(bytes.end(), buffer, buffer + n);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (hungUp) *hungUp = true;
        break;
      }
    }
    return bytes;
  }

  Bytes frame(int timeoutMs = 2000) { return read(4, timeoutMs); }

  // Everything that comes until the line has been quiet for `quietMs`.
  Bytes drain(int quietMs) { return read(1 << 20, quietMs); }
};

class SimTest : public ::testing::Test {
 protected:
  std::string dir;
  std::string link;
  std::string memory;
  std::string control;
  std::string log;
  SimConfig config;
  Simulator* sim = nullptr;
  Peer host;

  void SetUp() override {
    char pattern[] = "/tmp/k4471-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    link = dir + "/tty";
    memory = dir + "/flash.bin";
    control = dir + "/control";
    log = dir + "/frames.log";
    config.linkPath = link.c_str();
    config.callMs = 1000;  // the first call goes out at once; the next only much later
    config.eraseBlocks = 3;
    config.flashBase = 0;
    config.flashSize = 64 * 1024;
    config.bootSize = 4 * 1024;
    config.memoryOut = memory.c_str();
  }

  void TearDown() override {
    host.close();
    simStop(sim);
    std::string command = "rm -rf '" + dir + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  void start() {
    sim = simStart(config);
    ASSERT_NE(sim, nullptr);
  }

  // Opens the link and completes the handshake.
  void connect() {
    ASSERT_TRUE(host.open(link)) << strerror(errno);
    ASSERT_EQ(host.frame(), reply(ReplyTargetCall));
    host.send(frameBytes(FrameAck));
    ASSERT_EQ(host.frame(), reply(ReplyAckConfirmed));
  }

  void startAndConnect() {
    start();
    connect();
  }

  void expectSilence(int ms = 150) { EXPECT_EQ(host.drain(ms), Bytes{}); }

  // Sends a command and expects exactly these replies, then quiet.
  void exchange(const FrameSlots& command, const std::vector<int32_t>& replies) {
    host.send(frameBytes(command));
    for (size_t i = 0; i < replies.size(); ++i) {
      ASSERT_EQ(host.frame(), reply(replies[i])) << "reply " << i;
    }
  }

  std::vector<int32_t> eraseSequence(int32_t ack, int32_t end, int blocks) {
    std::vector<int32_t> codes{ack};
    for (int i = 0; i < blocks; ++i) codes.push_back(ReplyBlockErased);
    codes.push_back(end);
    return codes;
  }

  // Block-follows, then the record; returns the second reply.
  Bytes sendRecord(const BlockRecord& record, int32_t firstAck = ReplyAppAck) {
    host.send(frameBytes(FrameBlockFollows));
    EXPECT_EQ(host.frame(), reply(firstAck));
    host.send(recordBytes(record));
    return host.frame();
  }

  void fill(uint32_t address, size_t count, uint8_t value) {
    Bytes bytes(count, value);
    ASSERT_TRUE(simLoadFlash(sim, address, bytes.data(), bytes.size()));
  }
};

// ---- Handshake and calls ----

TEST_F(SimTest, CallsAtOnceAndConfirmsTheAcknowledgement) {
  start();
  ASSERT_TRUE(host.open(link));
  EXPECT_EQ(host.frame(), reply(ReplyTargetCall));
  host.send(frameBytes(FrameAck));
  EXPECT_EQ(host.frame(), reply(ReplyAckConfirmed));
  expectSilence();
  SimStatus status = simStatus(sim);
  EXPECT_TRUE(status.connected);
  EXPECT_EQ(status.framesReceived, 1);
  EXPECT_EQ(status.callsSent, 1);
}

TEST_F(SimTest, RepeatsTheCallEveryPeriodWithoutABacklog) {
  config.callMs = 40;
  start();
  ASSERT_TRUE(host.open(link));
  ASSERT_EQ(host.frame(), reply(ReplyTargetCall));
  auto first = Clock::now();
  ASSERT_EQ(host.frame(), reply(ReplyTargetCall));
  ASSERT_EQ(host.frame(), reply(ReplyTargetCall));
  EXPECT_GE(msSince(first), 60);
  // A host that does not read for a while finds one fresh call, not a pile of old ones.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Bytes waiting = host.read(64, 10);
  EXPECT_EQ(waiting, reply(ReplyTargetCall));
  // The call stops once acknowledged (a call may still cross the acknowledgement).
  host.send(frameBytes(FrameAck));
  Bytes answer = host.frame();
  while (answer == reply(ReplyTargetCall)) answer = host.frame();
  EXPECT_EQ(answer, reply(ReplyAckConfirmed));
  expectSilence(200);
}

TEST_F(SimTest, AHostThatTakesACallHasAWholePeriodToAnswerIt) {
  config.callMs = 30;
  start();
  for (int round = 0; round < 8; ++round) {
    ASSERT_TRUE(host.open(link));
    ASSERT_EQ(host.frame(), reply(ReplyTargetCall));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a slow host
    host.send(frameBytes(FrameAck));
    ASSERT_EQ(host.frame(), reply(ReplyAckConfirmed)) << "round " << round;
    host.send(frameBytes(FrameLaunch));
    host.close();
    simReset(sim);
  }
}

TEST_F(SimTest, NeverCallsWithCallPeriodZero) {
  config.callMs = 0;
  start();
  ASSERT_TRUE(host.open(link));
  expectSilence(150);
  host.send(frameBytes(FrameAck));  // an acknowledgement is still served
  EXPECT_EQ(host.frame(), reply(ReplyAckConfirmed));
}

TEST_F(SimTest, CallPeriodZeroTakesBackAnUnreadCallAndAPeriodStartsCalling) {
  start();
  auto begin = Clock::now();
  while (simStatus(sim).callsSent < 1 && msSince(begin) < 2000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(simControl(sim, "set call-ms 0"));
  ASSERT_TRUE(host.open(link));
  expectSilence(150);
  ASSERT_TRUE(simControl(sim, "set call-ms 30"));
  EXPECT_EQ(host.frame(500), reply(ReplyTargetCall));
}

TEST_F(SimTest, IgnoresOtherCommandsBeforeTheHandshake) {
  start();
  ASSERT_TRUE(host.open(link));
  ASSERT_EQ(host.frame(), reply(ReplyTargetCall));
  host.send(frameBytes(FrameErase));
  expectSilence();
  host.send(frameBytes(FrameAck));
  EXPECT_EQ(host.frame(), reply(ReplyAckConfirmed));
  EXPECT_EQ(simStatus(sim).framesReceived, 2);
}

TEST_F(SimTest, ConfirmsARepeatedAcknowledgement) {
  startAndConnect();
  exchange(FrameAck, {ReplyAckConfirmed});
  expectSilence();
}

// ---- Erase and programming starts ----

TEST_F(SimTest, EraseSparesTheBootloaderRegionAndPublishesTheFlash) {
  start();
  fill(0, 4096, 0x11);
  fill(4096, 8192, 0x22);
  connect();
  exchange(FrameErase, eraseSequence(ReplyEraseAck, ReplyComplete, 3));
  // The file is written before the completion reply goes out.
  Bytes flash = simFlash(sim);
  EXPECT_EQ(readFile(memory), flash);
  ASSERT_EQ(flash.size(), 64u * 1024);
  EXPECT_EQ(flash[0], 0x11);
  EXPECT_EQ(flash[4095], 0x11);
  EXPECT_EQ(flash[4096], 0xFF);
  EXPECT_EQ(Bytes(flash.begin() + 4096, flash.end()), Bytes(60 * 1024, 0xFF));
  expectSilence();
}

TEST_F(SimTest, EraseAllErasesTheWholeFlash) {
  start();
  fill(0, 64 * 1024, 0x5A);
  connect();
  exchange(FrameEraseAll, eraseSequence(ReplyEraseAllAck, ReplyComplete, 3));
  EXPECT_EQ(simFlash(sim), Bytes(64 * 1024, 0xFF));
  EXPECT_EQ(readFile(memory), Bytes(64 * 1024, 0xFF));
}

TEST_F(SimTest, ProgrammingTheApplicationErasesItsRegionAndAcknowledgesTwice) {
  start();
  fill(0, 64 * 1024, 0x33);
  connect();
  exchange(FrameProgramApp, eraseSequence(ReplyAppAck, ReplyAppAck, 3));
  Bytes flash = simFlash(sim);
  EXPECT_EQ(flash[4095], 0x33);
  EXPECT_EQ(flash[4096], 0xFF);
  EXPECT_TRUE(simStatus(sim).programming);
  EXPECT_EQ(simStatus(sim).flashPublished, 0);  // published at the end of programming
}

TEST_F(SimTest, ProgrammingTheBootloaderErasesOnlyItsRegion) {
  start();
  fill(0, 64 * 1024, 0x33);
  connect();
  exchange(FrameProgramBoot, eraseSequence(ReplyBootAck, ReplyBootAck, 3));
  Bytes flash = simFlash(sim);
  EXPECT_EQ(flash[0], 0xFF);
  EXPECT_EQ(flash[4095], 0xFF);
  EXPECT_EQ(flash[4096], 0x33);
}

TEST_F(SimTest, ZeroEraseBlocksGivesAcknowledgementAndEnd) {
  config.eraseBlocks = 0;
  startAndConnect();
  exchange(FrameErase, {ReplyEraseAck, ReplyComplete});
  exchange(FrameProgramApp, {ReplyAppAck, ReplyAppAck});
  expectSilence();
}

// ---- Block records ----

TEST_F(SimTest, AcceptedRecordsLandInTheFlashAndEndOfProgrammingPublishesIt) {
  startAndConnect();
  exchange(FrameProgramApp, eraseSequence(ReplyAppAck, ReplyAppAck, 3));
  Bytes full(256);
  for (int i = 0; i < 256; ++i) full[size_t(i)] = uint8_t(i);
  EXPECT_EQ(sendRecord(makeRecord(0x1000, full)), reply(ReplyAppAck));
  EXPECT_EQ(sendRecord(makeRecord(0x2345, Bytes{0x0A, 0x0D, 0x9C, 0x11, 0x13})),
            reply(ReplyAppAck));
  EXPECT_EQ(sendRecord(makeRecord(0xFFFF, Bytes{0x77})), reply(ReplyAppAck));  // the last byte
  EXPECT_EQ(sendRecord(makeRecord(0x2400, Bytes{})), reply(ReplyAppAck));      // empty last record
  exchange(FrameEndProgramming, {ReplyComplete});
  expectSilence();

  Bytes expected(64 * 1024, 0xFF);
  std::copy(full.begin(), full.end(), expected.begin() + 0x1000);
  Bytes small{0x0A, 0x0D, 0x9C, 0x11, 0x13};
  std::copy(small.begin(), small.end(), expected.begin() + 0x2345);
  expected[0xFFFF] = 0x77;
  EXPECT_EQ(simFlash(sim), expected);
  EXPECT_EQ(readFile(memory), expected);
  SimStatus status = simStatus(sim);
  EXPECT_EQ(status.recordsAccepted, 4);
  EXPECT_EQ(status.recordsRefused, 0);
  EXPECT_FALSE(status.programming);
  EXPECT_EQ(status.flashPublished, 1);
  // Block records do not count as frames: ack, program, 4 block-follows, end.
  EXPECT_EQ(status.framesReceived, 7);
}

TEST_F(SimTest, RefusesBadRecordsWithTheStatusReplyAndGoesOn) {
  startAndConnect();
  exchange(FrameProgramApp, eraseSequence(ReplyAppAck, ReplyAppAck, 3));
  BlockRecord badCheck = makeRecord(0x1000, Bytes{1, 2, 3});
  badCheck.checkValue ^= 1;
  EXPECT_EQ(sendRecord(badCheck), reply(ReplyStatusE0));
  BlockRecord badCount = makeRecord(0x1000, Bytes(256, 0x44));
  badCount.byteCount = 257;
  badCount.checkValue = badCount.baseAddress;  // whatever it is, the count alone is refused
  EXPECT_EQ(sendRecord(badCount), reply(ReplyStatusE0));
  EXPECT_EQ(sendRecord(makeRecord(0x0FFE, Bytes{1, 2, 3, 4})), reply(ReplyStatusE0));  // boot
  EXPECT_EQ(sendRecord(makeRecord(0xFFFE, Bytes{1, 2, 3})), reply(ReplyStatusE0));     // past end
  EXPECT_EQ(sendRecord(makeRecord(0x10000, Bytes{1})), reply(ReplyStatusE0));
  EXPECT_EQ(sendRecord(makeRecord(0xFFFFFFFF, Bytes{1, 2})), reply(ReplyStatusE0));  // wraps
  // The run goes on: a good record is still taken.
  EXPECT_EQ(sendRecord(makeRecord(0x1000, Bytes{9, 8, 7})), reply(ReplyAppAck));
  exchange(FrameEndProgramming, {ReplyComplete});

  Bytes flash = simFlash(sim);
  EXPECT_EQ(Bytes(flash.begin() + 0x1000, flash.begin() + 0x1004), (Bytes{9, 8, 7, 0xFF}));
  EXPECT_EQ(flash[0x0FFE], 0xFF);
  EXPECT_EQ(flash[0xFFFE], 0xFF);
  SimStatus status = simStatus(sim);
  EXPECT_EQ(status.recordsRefused, 6);
  EXPECT_EQ(status.recordsAccepted, 1);
}

TEST_F(SimTest, BootloaderRunWritesOnlyTheBootloaderRegion) {
  startAndConnect();
  exchange(FrameProgramBoot, eraseSequence(ReplyBootAck, ReplyBootAck, 3));
  EXPECT_EQ(sendRecord(makeRecord(0x0000, Bytes{0xB0, 0x07}), ReplyBootAck), reply(ReplyBootAck));
  EXPECT_EQ(sendRecord(makeRecord(0x0FFF, Bytes{0xEE}), ReplyBootAck), reply(ReplyBootAck));
  EXPECT_EQ(sendRecord(makeRecord(0x0FFF, Bytes{1, 2}), ReplyBootAck), reply(ReplyStatusE0));
  EXPECT_EQ(sendRecord(makeRecord(0x1000, Bytes{1}), ReplyBootAck), reply(ReplyStatusE0));
  exchange(FrameEndProgramming, {ReplyComplete});
  Bytes flash = simFlash(sim);
  EXPECT_EQ(flash[0], 0xB0);
  EXPECT_EQ(flash[1], 0x07);
  EXPECT_EQ(flash[0x0FFF], 0xEE);
  EXPECT_EQ(flash[0x1000], 0xFF);
}

TEST_F(SimTest, BlockFollowsAndEndOfProgrammingOutsideARunAreRefused) {
  startAndConnect();
  exchange(FrameBlockFollows, {ReplyStatusE0});
  exchange(FrameEndProgramming, {ReplyStatusE0});
  // After an erase there is no run either.
  exchange(FrameErase, eraseSequence(ReplyEraseAck, ReplyComplete, 3));
  exchange(FrameBlockFollows, {ReplyStatusE0});
  expectSilence();
  EXPECT_EQ(simStatus(sim).recordsReceived, 0);
}

TEST_F(SimTest, FlashAtAnotherBaseAddress) {
  config.flashBase = 0x08000000;
  config.flashSize = 8192;
  config.bootSize = 1024;
  startAndConnect();
  exchange(FrameProgramApp, eraseSequence(ReplyAppAck, ReplyAppAck, 3));
  EXPECT_EQ(sendRecord(makeRecord(0x08000400, Bytes{0xC3})), reply(ReplyAppAck));
  EXPECT_EQ(sendRecord(makeRecord(0x00000400, Bytes{0xC3})), reply(ReplyStatusE0));
  exchange(FrameEndProgramming, {ReplyComplete});
  Bytes flash = simFlash(sim);
  ASSERT_EQ(flash.size(), 8192u);
  EXPECT_EQ(flash[0x400], 0xC3);
  EXPECT_EQ(readFile(memory), flash);
}

TEST_F(SimTest, RefusesAnUnusableGeometry) {
  config.bootSize = config.flashSize + 1;
  std::string error;
  EXPECT_EQ(simStart(config, &error), nullptr);
  EXPECT_FALSE(error.empty());
  config.bootSize = 0;
  config.flashBase = 0xFFFFF000;
  config.flashSize = 0x2000;
  EXPECT_EQ(simStart(config, &error), nullptr);
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0);
}

// ---- Frame synchronisation ----

TEST_F(SimTest, FindsTheLeadByteAfterNoiseAndInsideARejectedFrame) {
  startAndConnect();
  host.send(Bytes{0x00, 0x12, 0xFD, 0x9C, 0x9C, 0xED, 0xFD, 0x8C});
  for (int32_t code : eraseSequence(ReplyEraseAck, ReplyComplete, 3)) {
    ASSERT_EQ(host.frame(), reply(code));
  }
  host.send(Bytes{0x9C, 0x12, 0xFD, 0x73});  // well formed, but no command
  expectSilence();
  exchange(FrameEraseAll, eraseSequence(ReplyEraseAllAck, ReplyComplete, 3));
  SimStatus status = simStatus(sim);
  EXPECT_EQ(status.garbledFrames, 2);
  EXPECT_EQ(status.framesReceived, 3);
}

// ---- Faults ----

TEST_F(SimTest, SilentFromAFrameUntilReset) {
  config.silentFromFrame = 2;
  config.callMs = 50;
  startAndConnect();
  host.send(frameBytes(FrameErase));
  expectSilence(200);
  EXPECT_TRUE(simStatus(sim).silent);
  fill(4096, 16, 0x42);
  host.send(frameBytes(FrameAck));
  expectSilence(150);
  EXPECT_EQ(simFlash(sim)[4096], 0x42);  // the erase was not done
  simReset(sim);
  EXPECT_FALSE(simStatus(sim).silent);
  EXPECT_EQ(host.frame(), reply(ReplyTargetCall));
  host.send(frameBytes(FrameAck));
  Bytes answer = host.frame();
  while (answer == reply(ReplyTargetCall)) answer = host.frame();
  EXPECT_EQ(answer, reply(ReplyAckConfirmed));
}

TEST_F(SimTest, SilentFromTheFirstFrameMeansNoConfirmationAndNoMoreCalls) {
  config.silentFromFrame = 1;
  config.callMs = 30;
  start();
  ASSERT_TRUE(host.open(link));
  ASSERT_EQ(host.frame(), reply(ReplyTargetCall));
  host.send(frameBytes(FrameAck));
  // At most one call that crossed the acknowledgement, then nothing.
  Bytes rest = host.drain(200);
  EXPECT_TRUE(rest.empty() || rest == reply(ReplyTargetCall)) << hexBytes(rest.data(), rest.size());
}

TEST_F(SimTest, GarbledReplyHasAWrongPairButTheCommandIsCarriedOut) {
  config.garbleReplyToFrame = 2;
  start();
  fill(4096, 16, 0x42);
  connect();
  host.send(frameBytes(FrameErase));
  Bytes first = host.frame();
  ASSERT_EQ(first.size(), 4u);
  EXPECT_EQ(first[0], 0x8C);
  EXPECT_EQ(first[1], 0xED);
  EXPECT_NE(first[2], 0xAC);
  EXPECT_EQ(first[3], uint8_t(first[0] ^ first[1] ^ first[2]));
  EXPECT_EQ(decoded(first), ReplyNone);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(host.frame(), reply(ReplyBlockErased));
  EXPECT_EQ(host.frame(), reply(ReplyComplete));
  EXPECT_EQ(simFlash(sim)[4096], 0xFF);
  // Only frame 2 is touched.
  exchange(FrameErase, eraseSequence(ReplyEraseAck, ReplyComplete, 3));
}

TEST_F(SimTest, BadCheckByteOnTheReplyToAFrame) {
  config.badCheckReplyToFrame = 3;
  startAndConnect();
  exchange(FrameProgramApp, eraseSequence(ReplyAppAck, ReplyAppAck, 3));
  host.send(frameBytes(FrameBlockFollows));
  Bytes first = host.frame();
  Bytes expected = reply(ReplyAppAck);
  expected[3] ^= 0x01;
  EXPECT_EQ(first, expected);
  EXPECT_EQ(decoded(first), ReplyNone);
  // The target went on as if its reply had arrived: it takes the record.
  host.send(recordBytes(makeRecord(0x2000, Bytes{5})));
  EXPECT_EQ(host.frame(), reply(ReplyAppAck));
  EXPECT_EQ(simFlash(sim)[0x2000], 5);
}

TEST_F(SimTest, UnexpectedReplyRefusesTheFrame) {
  config.unexpectedReplyToFrame = 2;
  start();
  fill(4096, 16, 0x42);
  connect();
  exchange(FrameErase, {ReplyStatusE0});
  expectSilence();
  EXPECT_EQ(simFlash(sim)[4096], 0x42);
  exchange(FrameErase, eraseSequence(ReplyEraseAck, ReplyComplete, 3));
}

TEST_F(SimTest, UnexpectedReplyToTheAcknowledgementKeepsTheTargetCalling) {
  config.unexpectedReplyToFrame = 1;
  config.callMs = 100;
  start();
  ASSERT_TRUE(host.open(link));
  ASSERT_EQ(host.frame(), reply(ReplyTargetCall));
  host.send(frameBytes(FrameAck));
  Bytes answer = host.frame();
  while (answer == reply(ReplyTargetCall)) answer = host.frame();
  EXPECT_EQ(answer, reply(ReplyStatusE0));
  EXPECT_FALSE(simStatus(sim).connected);
  EXPECT_EQ(host.frame(500), reply(ReplyTargetCall));
}

TEST_F(SimTest, HangupClosesTheLineUntilResetGivesANewOne) {
  config.hangupAtFrame = 2;
  startAndConnect();
  const std::string before = simDevicePath(sim);
  host.send(frameBytes(FrameErase));
  bool hungUp = false;
  Bytes got = host.read(4, 2000, &hungUp);
  EXPECT_TRUE(hungUp);
  EXPECT_TRUE(got.empty());
  EXPECT_TRUE(simStatus(sim).hungUp);
  host.close();

  simReset(sim);
  EXPECT_FALSE(simStatus(sim).hungUp);
  char target[256] = {0};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(simDevicePath(sim), target);
  EXPECT_EQ(before.substr(0, 9), std::string(target).substr(0, 9));  // another /dev/pts/N
  connect();
  // Frame numbers count from the reset: frame 2 hangs up again.
  host.send(frameBytes(FrameErase));
  hungUp = false;
  host.read(4, 2000, &hungUp);
  EXPECT_TRUE(hungUp);
}

TEST_F(SimTest, FaultsCanBeSetWhileRunning) {
  startAndConnect();
  ASSERT_TRUE(simControl(sim, "set unexpected-reply 3"));
  exchange(FrameErase, eraseSequence(ReplyEraseAck, ReplyComplete, 3));  // frame 2
  exchange(FrameErase, {ReplyStatusE0});                                 // frame 3
  ASSERT_TRUE(simControl(sim, "set unexpected-reply 0"));
  ASSERT_TRUE(simControl(sim, "set erase-blocks 1"));
  exchange(FrameErase, eraseSequence(ReplyEraseAck, ReplyComplete, 1));
  EXPECT_FALSE(simControl(sim, "set no-such-option 1"));
  EXPECT_FALSE(simControl(sim, "set erase-blocks -1"));
  EXPECT_FALSE(simControl(sim, "set erase-blocks"));
  EXPECT_FALSE(simControl(sim, "jump"));
  EXPECT_TRUE(simControl(sim, "# a comment"));
  EXPECT_TRUE(simControl(sim, ""));
}

// ---- Launch and reset ----

TEST_F(SimTest, LaunchMakesTheTargetSilentUntilReset) {
  config.callMs = 50;
  startAndConnect();
  host.send(frameBytes(FrameLaunch));
  expectSilence(150);
  EXPECT_TRUE(simStatus(sim).launched);
  host.send(frameBytes(FrameAck));
  host.send(frameBytes(FrameErase));
  expectSilence(150);
  EXPECT_EQ(simStatus(sim).framesReceived, 2);  // nothing counts after the launch
  // The host closes the port after a launch and opens it again to wait for the call.
  host.close();
  simReset(sim);
  SimStatus status = simStatus(sim);
  EXPECT_FALSE(status.launched);
  EXPECT_EQ(status.framesReceived, 0);
  EXPECT_EQ(status.resets, 1);
  connect();
}

TEST_F(SimTest, SettleWaitsUntilEverythingTheHostSentIsServed) {
  start();
  for (int round = 0; round < 20; ++round) {
    connect();
    host.send(frameBytes(FrameLaunch));
    host.close();
    ASSERT_TRUE(simSettle(sim));
    ASSERT_TRUE(simStatus(sim).launched) << "round " << round;
    simReset(sim);
  }
}

TEST_F(SimTest, ResetDiscardsWhatIsStillOnTheLine) {
  config.eraseBlocks = 50;
  startAndConnect();
  host.send(frameBytes(FrameErase));
  ASSERT_EQ(host.frame(), reply(ReplyEraseAck));
  simReset(sim);  // 50 block-erased replies and the completion are still unread
  EXPECT_EQ(host.frame(), reply(ReplyTargetCall));
  host.send(frameBytes(FrameAck));
  EXPECT_EQ(host.frame(), reply(ReplyAckConfirmed));
}

TEST_F(SimTest, HostMayCloseAndReopenThePortAgainAndAgain) {
  start();
  for (int round = 0; round < 5; ++round) {
    connect();
    exchange(FrameErase, eraseSequence(ReplyEraseAck, ReplyComplete, 3));
    host.close();
    ASSERT_TRUE(host.open(link));  // still connected: the target answers
    exchange(FrameEraseAll, eraseSequence(ReplyEraseAllAck, ReplyComplete, 3));
    host.send(frameBytes(FrameLaunch));
    host.close();
    simReset(sim);
  }
  EXPECT_EQ(simStatus(sim).resets, 5);
}

// ---- Control FIFO and log ----

TEST_F(SimTest, ControlFifoSetsOptionsAndResets) {
  config.controlPath = control.c_str();
  startAndConnect();
  struct stat st;
  ASSERT_EQ(stat(control.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  host.send(frameBytes(FrameLaunch));

  FILE* fifo = fopen(control.c_str(), "w");
  ASSERT_NE(fifo, nullptr);
  fputs("set erase-blocks 5\r\n  # comment\nset garble-reply 3\nbogus\nreset\n", fifo);
  fclose(fifo);
  EXPECT_EQ(host.frame(), reply(ReplyTargetCall));
  host.send(frameBytes(FrameAck));
  EXPECT_EQ(host.frame(), reply(ReplyAckConfirmed));
  exchange(FrameErase, eraseSequence(ReplyEraseAck, ReplyComplete, 5));
  host.send(frameBytes(FrameErase));
  EXPECT_EQ(decoded(host.frame()), ReplyNone);  // frame 3 garbled

  // A second writer later works as well.
  host.drain(100);
  fifo = fopen(control.c_str(), "w");
  ASSERT_NE(fifo, nullptr);
  fputs("set silent-from 1\nreset\n", fifo);
  fclose(fifo);
  auto begin = Clock::now();
  while (simStatus(sim).resets < 2 && msSince(begin) < 2000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(simStatus(sim).resets, 2);
  EXPECT_EQ(host.frame(), reply(ReplyTargetCall));
  host.send(frameBytes(FrameAck));
  expectSilence();

  simStop(sim);
  sim = nullptr;
  EXPECT_NE(lstat(control.c_str(), &st), 0);  // the FIFO is gone
}

TEST_F(SimTest, ControlWriteMemoryPublishesTheFlashNow) {
  config.controlPath = control.c_str();
  start();
  fill(0, 4, 0xAB);
  ASSERT_TRUE(simControl(sim, "write-memory"));
  Bytes file = readFile(memory);
  ASSERT_EQ(file.size(), 64u * 1024);
  EXPECT_EQ(file[3], 0xAB);
}

TEST_F(SimTest, LogHasTheHostFramesRecordsAndResets) {
  config.logPath = log.c_str();
  startAndConnect();
  exchange(FrameProgramApp, eraseSequence(ReplyAppAck, ReplyAppAck, 3));
  EXPECT_EQ(sendRecord(makeRecord(0x1000, Bytes(256, 1))), reply(ReplyAppAck));
  BlockRecord bad = makeRecord(0x1100, Bytes{1, 2});
  bad.checkValue = 0;
  EXPECT_EQ(sendRecord(bad), reply(ReplyStatusE0));
  host.send(Bytes{0x9C, 0x00, 0xFD, 0x61});
  exchange(FrameEndProgramming, {ReplyComplete});
  host.send(frameBytes(FrameLaunch));
  expectSilence(100);
  simReset(sim);

  const std::vector<std::string> expected = {"9C CA FD AB",         "9C FF FD 9E",
                                             "9C 11 FD 70",         "record 00001000 256 ok",
                                             "9C 11 FD 70",         "record 00001100 2 bad-check",
                                             "garbled 9C 00 FD 61", "9C EF FD 8E",
                                             "9C BB FD DA",         "reset"};
  EXPECT_EQ(simLogLines(sim), expected);
  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines, expected);
  // The raw bytes: 6 frames, 1 garbled frame, 2 records.
  EXPECT_EQ(simHostBytes(sim).size(), 7 * 4 + 2 * 268u);
}

// ---- Link ----

TEST_F(SimTest, ReplacesAnExistingLinkAndRemovesItsOwnAtStop) {
  ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);
  start();
  char target[256] = {0};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(simDevicePath(sim), target);
  EXPECT_EQ(std::string(target).rfind("/dev/", 0), 0u);
  simStop(sim);
  sim = nullptr;
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(SimTest, LeavesALinkThatSomeoneElseHasTakenOver) {
  start();
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
  simStop(sim);
  sim = nullptr;
  char target[256] = {0};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "/dev/null");
}

TEST_F(SimTest, RefusesToReplaceAFile) {
  FILE* f = fopen(link.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  std::string error;
  EXPECT_EQ(simStart(config, &error), nullptr);
  EXPECT_NE(error.find("not a symbolic link"), std::string::npos);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

// ---- Pacing ----

TEST_F(SimTest, PacesRepliesAtTheBaudRate) {
  config.baud = 19200;  // 1920 bytes a second
  config.eraseBlocks = 38;
  startAndConnect();
  host.send(frameBytes(FrameErase));
  auto begin = Clock::now();
  for (int32_t code : eraseSequence(ReplyEraseAck, ReplyComplete, 38)) {
    ASSERT_EQ(host.frame(), reply(code));
  }
  // 40 frames, 160 bytes: 83 ms on the wire.
  EXPECT_GE(msSince(begin), 75);
  EXPECT_LT(msSince(begin), 1000);
}

TEST_F(SimTest, TakesBytesNoFasterThanTheBaudRate) {
  config.baud = 9600;  // 960 bytes a second
  startAndConnect();
  exchange(FrameProgramApp, eraseSequence(ReplyAppAck, ReplyAppAck, 3));
  host.send(frameBytes(FrameBlockFollows));
  ASSERT_EQ(host.frame(), reply(ReplyAppAck));
  auto begin = Clock::now();
  host.send(recordBytes(makeRecord(0x1000, Bytes(256, 0x66))));
  EXPECT_EQ(host.frame(), reply(ReplyAppAck));
  // 268 bytes in and 4 out: 283 ms on the wire.
  EXPECT_GE(msSince(begin), 260);
}

TEST_F(SimTest, PausesBeforeEachBlockErasedReply) {
  config.eraseBlockMs = 40;
  startAndConnect();
  host.send(frameBytes(FrameErase));
  ASSERT_EQ(host.frame(), reply(ReplyEraseAck));
  auto begin = Clock::now();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(host.frame(), reply(ReplyBlockErased));
  ASSERT_EQ(host.frame(), reply(ReplyComplete));
  EXPECT_GE(msSince(begin), 110);
}

// ---- The real bootloader operations against the simulated target ----

class LinkAgainstSim : public SimTest {
 protected:
  SerialSettings settings = DefaultSerialSettings;

  void SetUp() override {
    SimTest::SetUp();
    config.callMs = 20;
    setPortDevicePath(7, link.c_str());
    settings.portNumber = 7;
    clearLinkAbort();
  }
  void TearDown() override {
    closeTargetPort();
    setPortDevicePath(7, nullptr);
    clearLinkAbort();
    SimTest::TearDown();
  }
  void connectLink() { ASSERT_EQ(connectToTarget(settings), LinkOk); }
  void expectProgress(int blocks, int32_t end) {
    for (int i = 0; i < blocks; ++i) ASSERT_EQ(readProgressReply(), ReplyBlockErased) << i;
    ASSERT_EQ(readProgressReply(), end);
  }
  // Runs `operation` while aborting the link's wait after `ms`.
  template <typename Operation>
  int32_t withAbortAfter(int ms, Operation operation) {
    std::thread aborter([ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      requestLinkAbort();
    });
    int32_t result = operation();
    aborter.join();
    clearLinkAbort();
    return result;
  }
};

TEST_F(LinkAgainstSim, ConnectLaunchResetAndConnectAgainAndAgain) {
  config.callMs = 5;
  start();
  for (int round = 0; round < 10; ++round) {
    ASSERT_EQ(connectToTarget(settings), LinkOk) << "round " << round;
    EXPECT_TRUE(simStatus(sim).connected);
    EXPECT_EQ(launchTarget(), LinkOk);
    EXPECT_EQ(serialPort.load(), InvalidSerialPort);
    auto begin = Clock::now();
    while (!simStatus(sim).launched && msSince(begin) < 2000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(simStatus(sim).launched);
    simReset(sim);
  }
}

TEST_F(LinkAgainstSim, ErasesReportEveryBlockThenTheEnd) {
  start();
  fill(0, 64 * 1024, 0x12);
  connectLink();
  ASSERT_EQ(startErase(), LinkOk);
  expectProgress(3, ReplyComplete);
  Bytes flash = simFlash(sim);
  EXPECT_EQ(flash[4095], 0x12);
  EXPECT_EQ(flash[4096], 0xFF);
  ASSERT_EQ(startEraseAll(), LinkOk);
  expectProgress(3, ReplyComplete);
  EXPECT_EQ(simFlash(sim), Bytes(64 * 1024, 0xFF));
  EXPECT_EQ(readFile(memory), Bytes(64 * 1024, 0xFF));
}

TEST_F(LinkAgainstSim, ApplicationRunPutsEveryRecordInTheFlash) {
  start();
  connectLink();
  ASSERT_EQ(startProgramApplication(), LinkOk);
  expectProgress(3, ReplyAppAck);
  Bytes expected(64 * 1024, 0xFF);
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  // Full blocks back to back, a gap, a short block, an empty last record.
  std::vector<BlockRecord> records;
  for (uint32_t base : {0x1000u, 0x1100u, 0x1200u}) {
    Bytes data(256);
    for (auto& byte : data) byte = uint8_t(next() >> 16);
    records.push_back(makeRecord(base, data));
  }
  records.push_back(makeRecord(0x8001, Bytes{0x0D, 0x0A, 0x8C, 0x9C, 0x00}));
  records.push_back(makeRecord(0x8006, Bytes{}));
  for (const BlockRecord& record : records) {
    ASSERT_EQ(sendBlock(record), LinkOk);
    std::copy(record.data, record.data + record.byteCount, expected.begin() + record.baseAddress);
  }
  ASSERT_EQ(endProgramming(), LinkOk);
  EXPECT_EQ(simFlash(sim), expected);
  EXPECT_EQ(readFile(memory), expected);
  EXPECT_EQ(simStatus(sim).recordsAccepted, 5);
}

TEST_F(LinkAgainstSim, BootloaderRunAnswersWithTheBootAcknowledgement) {
  start();
  connectLink();
  ASSERT_EQ(startProgramBootloader(), LinkOk);
  expectProgress(3, ReplyBootAck);
  EXPECT_EQ(sendBlock(makeRecord(0x0000, Bytes{0xB0, 0x07})), LinkOk);
  EXPECT_EQ(sendBlock(makeRecord(0x1000, Bytes{0x01})), LinkUnexpectedReply);  // app region
  EXPECT_EQ(endProgramming(), LinkOk);
  EXPECT_EQ(simFlash(sim)[1], 0x07);
  EXPECT_EQ(simFlash(sim)[0x1000], 0xFF);
}

TEST_F(LinkAgainstSim, BlockOutsideARunGoesNoFurtherThanTheBlockFollowsFrame) {
  start();
  connectLink();
  const size_t before = simHostBytes(sim).size();
  EXPECT_EQ(sendBlock(makeRecord(0x1000, Bytes{1, 2, 3})), LinkUnexpectedReply);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(simHostBytes(sim).size(), before + 4);
  EXPECT_EQ(endProgramming(), LinkUnexpectedReply);
}

TEST_F(LinkAgainstSim, ReplyFaultsMakeTheOperationsFail) {
  config.garbleReplyToFrame = 2;
  config.badCheckReplyToFrame = 3;
  start();
  connectLink();
  EXPECT_EQ(startErase(), LinkUnexpectedReply);     // frame 2, garbled
  expectProgress(3, ReplyComplete);                 // the target went on all the same
  EXPECT_EQ(startEraseAll(), LinkUnexpectedReply);  // frame 3, bad check byte
  expectProgress(3, ReplyComplete);
  EXPECT_EQ(startErase(), LinkOk);
  expectProgress(3, ReplyComplete);
  ASSERT_TRUE(simControl(sim, "set unexpected-reply 5"));
  EXPECT_EQ(startProgramApplication(), LinkUnexpectedReply);  // frame 5, refused
  EXPECT_EQ(startProgramApplication(), LinkOk);
  expectProgress(3, ReplyAppAck);
  ASSERT_TRUE(simControl(sim, "set bad-check 8"));
  EXPECT_EQ(sendBlock(makeRecord(0x1000, Bytes{1})), LinkOk);  // frame 7
  EXPECT_EQ(endProgramming(), LinkUnexpectedReply);            // frame 8
}

TEST_F(LinkAgainstSim, RefusedAcknowledgementMeansNoAckThenAResetConnects) {
  config.unexpectedReplyToFrame = 1;
  start();
  EXPECT_EQ(connectToTarget(settings), LinkNoAck);
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
  simReset(sim);  // frame 1 again after the reset: refused again
  EXPECT_EQ(connectToTarget(settings), LinkNoAck);
  ASSERT_TRUE(simControl(sim, "set unexpected-reply 0"));
  simReset(sim);
  EXPECT_EQ(connectToTarget(settings), LinkOk);
}

TEST_F(LinkAgainstSim, SilentTargetKeepsABlockWaitingUntilAborted) {
  start();
  connectLink();
  ASSERT_EQ(startProgramApplication(), LinkOk);
  expectProgress(3, ReplyAppAck);
  ASSERT_TRUE(simControl(sim, "set silent-from 3"));
  auto begin = Clock::now();
  EXPECT_EQ(withAbortAfter(200, [] { return sendBlock(makeRecord(0x1000, Bytes{1})); }),
            LinkUnexpectedReply);
  EXPECT_GE(msSince(begin), 190);
}

TEST_F(LinkAgainstSim, HangUpLosesTheLineAndAResetBringsItBack) {
  config.hangupAtFrame = 3;
  start();
  connectLink();
  ASSERT_EQ(startProgramApplication(), LinkOk);  // frame 2
  expectProgress(3, ReplyAppAck);
  EXPECT_EQ(withAbortAfter(200, [] { return sendBlock(makeRecord(0x1000, Bytes{1})); }),
            LinkUnexpectedReply);  // frame 3: the line hangs up
  EXPECT_TRUE(simStatus(sim).hungUp);
  closeTargetPort();  // what the host does on the loss of the link
  ASSERT_TRUE(simControl(sim, "set hangup-at 0"));
  simReset(sim);
  connectLink();
  ASSERT_EQ(startProgramApplication(), LinkOk);
  expectProgress(3, ReplyAppAck);
  EXPECT_EQ(sendBlock(makeRecord(0x1000, Bytes{1})), LinkOk);
  EXPECT_EQ(endProgramming(), LinkOk);
}

TEST_F(LinkAgainstSim, PacedTargetTakesTheWireTimeOfAProgrammingRun) {
  config.baud = 57600;  // 5760 bytes a second
  start();
  connectLink();
  ASSERT_EQ(startProgramApplication(), LinkOk);
  expectProgress(3, ReplyAppAck);
  auto begin = Clock::now();
  for (uint32_t i = 0; i < 5; ++i) {
    ASSERT_EQ(sendBlock(makeRecord(0x1000 + 256 * i, Bytes(256, uint8_t(i)))), LinkOk);
  }
  // Each block: 4 + 268 bytes out, 8 bytes back: 280 bytes, 48.6 ms.
  EXPECT_GE(msSince(begin), 5 * 280 * 1000 / 5760 * 9 / 10);
  ASSERT_EQ(endProgramming(), LinkOk);
}

// ---- The program ----

#ifdef K4471_SIM_PROGRAM
TEST_F(SimTest, ProgramPublishesItsLinkServesAndEndsCleanlyOnSigterm) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    execl(K4471_SIM_PROGRAM, "k4471-sim", "--link", link.c_str(), "--call-ms", "1000",
          "--erase-blocks", "2", "--control", control.c_str(), "--memory-out", memory.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[256];
  while (text.find("ready\n") == std::string::npos) {
    pollfd p{out[0], POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 5000), 0) << "no ready line; got: " << text;
    ssize_t n = ::read(out[0], buffer, sizeof buffer);
    ASSERT_GT(n, 0) << text;
    text.append(buffer, size_t(n));
  }
  char target[256] = {0};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_NE(text.find(target), std::string::npos) << text;

  connect();
  exchange(FrameErase, eraseSequence(ReplyEraseAck, ReplyComplete, 2));
  EXPECT_EQ(readFile(memory).size(), 512u * 1024);
  host.close();

  ASSERT_EQ(kill(child, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ::close(out[0]);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  EXPECT_NE(lstat(control.c_str(), &st), 0);
}

TEST_F(SimTest, ProgramRefusesAMissingLinkOption) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int devnull = ::open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execl(K4471_SIM_PROGRAM, "k4471-sim", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_NE(WEXITSTATUS(status), 127);
}
#endif

}  // namespace
