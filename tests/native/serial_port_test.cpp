// The serial port over a pseudo-terminal: reads, their limits, the abort and
// a dead line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "link/serial_port.h"
#include "tests/native/pty_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

class SerialPortOverPty : public PtyLinkTest {
 protected:
  void SetUp() override {
    PtyLinkTest::SetUp();
    ASSERT_EQ(openSerialPort(&port, settings), 0);
  }
  void TearDown() override {
    closeSerialPort(&port);
    PtyLinkTest::TearDown();
  }
  SerialPort port = InvalidSerialPort;
};

SerialSettings settingsForPort(int number) {
  SerialSettings settings = DefaultSerialSettings;
  settings.portNumber = number;
  return settings;
}

// Opens port 8 on the device and says why it did not open.
PortOpenFault openFaultAt(const char* device) {
  setPortDevicePath(8, device);
  SerialPort port = 1234;
  if (openSerialPort(&port, settingsForPort(8)) == 0) closeSerialPort(&port);
  setPortDevicePath(8, nullptr);
  return lastPortOpenFault();
}

// Whether another open of the device could take its advisory lock now.
bool lockIsFree(const std::string& device) {
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) close(fd);
  return free;
}

TEST(SerialPort, APortThatDoesNotOpenSaysWhy) {
  setPortDevicePath(8, "/nonexistent/tty");
  for (int number : {0, 11, -1, 7, 8}) {
    SerialPort port = 1234;
    EXPECT_EQ(openSerialPort(&port, settingsForPort(number)), 1) << number;
    EXPECT_EQ(port, InvalidSerialPort);
    const PortOpenFault fault = lastPortOpenFault();
    EXPECT_EQ(fault.status, number == 8 ? PortOpenStatus::Absent : PortOpenStatus::NoDevice);
    EXPECT_EQ(fault.systemError, number == 8 ? ENOENT : 0) << number;
  }
  setPortDevicePath(8, nullptr);
  EXPECT_EQ(systemErrorText(ENOENT), "No such file or directory");
  EXPECT_EQ(openFaultAt("/dev/null").status, PortOpenStatus::NotASerialPort);
}

// The lock is taken at the first open and kept across every close of the
// link; a new device behind the name takes its place.
TEST(SerialPort, APortIsHeldFromItsFirstOpenUntilAnotherDeviceTakesItsName) {
  PtyPeer first, second;
  ASSERT_TRUE(ptyOpen(&first));
  ASSERT_TRUE(ptyOpen(&second));
  int other = open(first.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  const PortOpenFault busy = openFaultAt(first.device.c_str());
  EXPECT_EQ(busy.status, PortOpenStatus::Busy);
  EXPECT_EQ(busy.systemError, 0);
  close(other);

  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(openFaultAt(first.device.c_str()).status, PortOpenStatus::Opened) << round;
    EXPECT_FALSE(lockIsFree(first.device)) << round;
  }
  EXPECT_EQ(openFaultAt(second.device.c_str()).status, PortOpenStatus::Opened);
  EXPECT_TRUE(lockIsFree(first.device));
  EXPECT_FALSE(lockIsFree(second.device));
  ptyClose(&first);
  ptyClose(&second);
}

// Noise before the lead byte is dropped; a second lead byte is data, and
// what follows a whole reply waits for the next read. A line end cuts a reply
// short and leaves the other slots as they were.
TEST_F(SerialPortOverPty, RepliesBeginAtTheLeadByteAndALineEndCutsThemShort) {
  using Slots = std::vector<uint32_t>;
  const std::pair<Bytes, std::vector<Slots>> cases[] = {
      {{0x00, 0x12, 0x8C, 0xFD, 0xCA, 0xBB}, {{0x8C, 0xFD, 0xCA, 0xBB}}},
      {{0x8C, 0x8C, 0xFD, 0xCA, 0x8C, 0xFD, 0xCA, 0xBB},
       {{0x8C, 0x8C, 0xFD, 0xCA}, {0x8C, 0xFD, 0xCA, 0xBB}}},
      {{0x8C, 0x0A, 0x8C, 0xFD, 0x0D, 0x55}, {{0x8C, 0x0A, 0x33, 0x44}, {0x8C, 0xFD, 0x0D, 0x44}}},
  };
  for (const auto& [line, reads] : cases) {
    ptySend(peer, line);
    FrameSlots slots = {0x11, 0x22, 0x33, 0x44};
    for (const Slots& expected : reads) {
      EXPECT_EQ(readReplyBlocking(port, slots, 4), 0);
      EXPECT_EQ(Slots(slots, slots + 4), expected);
    }
  }
}

TEST_F(SerialPortOverPty, TimedReadGivesUpAboutTenSecondsAfterTheLastByte) {
  FrameSlots slots = {0, 0, 0x33, 0x44};
  ptySend(peer, {0x8C, 0xFF});
  Clock::time_point start = Clock::now();
  EXPECT_EQ(readReplyTimed(port, slots, 4), 3);
  long waited = millisecondsSince(start);
  EXPECT_GE(waited, TimedReadMilliseconds - 50);
  EXPECT_LT(waited, generousBoundMs(TimedReadMilliseconds));
  EXPECT_EQ(std::vector<uint32_t>(slots, slots + 4),
            (std::vector<uint32_t>{0x8C, 0xFF, 0x33, 0x44}));
}

// The abort request, and the reply limit, which runs from the start of the
// read however many bytes come that make no reply.
TEST_F(SerialPortOverPty, AbortAndReplyLimitEndEveryWaitWhileTheLineKeepsTalking) {
  // A board running its application prints text with no lead byte in it.
  std::atomic<bool> talking{true};
  std::thread chatter([&] {
    for (int tick = 0; talking; ++tick) {
      std::string line = "app running, tick " + std::to_string(tick) + "\r\n";
      ptySend(peer, Bytes(line.begin(), line.end()));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (auto read : {readReplyBlocking, readReplyTimed}) {
    clearLinkAbort();
    // The abort comes while the read goes on; the read ends soon after it.
    Clock::time_point abortedAt;
    std::thread aborter([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      abortedAt = Clock::now();
      requestLinkAbort();
    });
    FrameSlots slots = {0, 0, 0, 0};
    EXPECT_EQ(read(port, slots, 4), 3);
    aborter.join();
    EXPECT_LT(millisecondsSince(abortedAt), generousBoundMs(2 * BlockingSliceMilliseconds));
    EXPECT_EQ(lastReadEnd(), ReadEnd::Aborted);
  }
  clearLinkAbort();
  setReplyLimit(300);
  for (auto read : {readReplyBlocking, readReplyTimed}) {
    FrameSlots slots = {0, 0, 0, 0};
    Clock::time_point start = Clock::now();
    EXPECT_EQ(read(port, slots, 4), 3);
    const long took = millisecondsSince(start);
    EXPECT_GE(took, 300);
    EXPECT_LT(took, generousBoundMs(300 + 2 * BlockingSliceMilliseconds));
    EXPECT_EQ(lastReadEnd(), ReadEnd::OtherData);
  }
  setReplyLimit(0);
  talking = false;
  chatter.join();
}

TEST_F(SerialPortOverPty, ADeadLineEndsReadsAtOnceAndALimitEndsASilentWait) {
  setReplyLimit(300);
  FrameSlots slots = {0, 0, 0, 0};
  Clock::time_point start = Clock::now();
  EXPECT_EQ(readReplyBlocking(port, slots, 4), 3);
  EXPECT_EQ(lastReadEnd(), ReadEnd::ReplyLimit);
  EXPECT_GE(millisecondsSince(start), 300);
  setReplyLimit(0);

  ptyClose(&peer);  // the far end is gone
  for (auto read : {readReplyBlocking, readReplyTimed}) {
    start = Clock::now();
    EXPECT_EQ(read(port, slots, 4), 3);
    EXPECT_LT(millisecondsSince(start), generousBoundMs(2 * BlockingSliceMilliseconds))
        << "long before a timed read's " << TimedReadMilliseconds << " ms";
    EXPECT_EQ(lastReadEnd(), ReadEnd::LineFailed);
  }
}

}  // namespace
