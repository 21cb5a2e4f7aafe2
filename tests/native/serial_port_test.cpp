#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "link/serial_port.h"
#include "tests/native/pty_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

long millisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

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

TEST(SerialPort, PortNumbersOutsideOneToTenAndPortsWithoutADeviceDoNotOpen) {
  setPortDevicePath(8, "/nonexistent/tty");
  for (int number : {0, 11, -1, 7, 8}) {
    SerialSettings settings = DefaultSerialSettings;
    settings.portNumber = number;
    SerialPort port = 1234;
    EXPECT_EQ(openSerialPort(&port, settings), 1) << number;
    EXPECT_EQ(port, InvalidSerialPort);
  }
  setPortDevicePath(8, nullptr);
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
  EXPECT_LT(waited, TimedReadMilliseconds + 1500);
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
    std::thread aborter([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      requestLinkAbort();
    });
    FrameSlots slots = {0, 0, 0, 0};
    Clock::time_point start = Clock::now();
    EXPECT_EQ(read(port, slots, 4), 3);
    EXPECT_LT(millisecondsSince(start), 300 + 2 * BlockingSliceMilliseconds);
    EXPECT_EQ(lastReadEnd(), ReadEnd::Aborted);
    aborter.join();
  }
  clearLinkAbort();
  setReplyLimit(300);
  for (auto read : {readReplyBlocking, readReplyTimed}) {
    FrameSlots slots = {0, 0, 0, 0};
    Clock::time_point start = Clock::now();
    EXPECT_EQ(read(port, slots, 4), 3);
    EXPECT_GE(millisecondsSince(start), 300);
    EXPECT_LT(millisecondsSince(start), 300 + 2 * BlockingSliceMilliseconds);
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
    EXPECT_LT(millisecondsSince(start), 2 * BlockingSliceMilliseconds);
    EXPECT_EQ(lastReadEnd(), ReadEnd::LineFailed);
  }
}

}  // namespace
