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
  for (int number : {0, 11, -1, 7}) {
    SerialSettings settings = DefaultSerialSettings;
    settings.portNumber = number;
    SerialPort port = 1234;
    EXPECT_EQ(openSerialPort(&port, settings), 1) << number;
    EXPECT_EQ(port, InvalidSerialPort);
  }
  setPortDevicePath(7, "/nonexistent/tty");
  SerialSettings settings = DefaultSerialSettings;
  settings.portNumber = 7;
  SerialPort port = InvalidSerialPort;
  EXPECT_EQ(openSerialPort(&port, settings), 1);
  setPortDevicePath(7, nullptr);
}

TEST_F(SerialPortOverPty, NoiseBeforeTheLeadByteIsDropped) {
  ptySend(peer, {0x00, 0x12, 0x8C, 0xFD, 0xCA, 0xBB});
  FrameSlots slots = {0, 0, 0, 0};
  EXPECT_EQ(readReplyBlocking(port, slots, 4), 0);
  EXPECT_EQ(decodeReply(slots), ReplyTargetCall);
}

TEST_F(SerialPortOverPty, ASecondLeadByteIsDataAndFurtherBytesWaitForTheNextRead) {
  ptySend(peer, {0x8C, 0x8C, 0xFD, 0xCA, 0x8C, 0xFD, 0xCA, 0xBB});
  FrameSlots slots = {0, 0, 0, 0};
  EXPECT_EQ(readReplyBlocking(port, slots, 4), 0);
  EXPECT_EQ(slots[0], 0x8Cu);
  EXPECT_EQ(slots[1], 0x8Cu);
  EXPECT_EQ(slots[2], 0xFDu);
  EXPECT_EQ(slots[3], 0xCAu);
  EXPECT_EQ(readReplyBlocking(port, slots, 4), 0);
  EXPECT_EQ(decodeReply(slots), ReplyTargetCall);
}

TEST_F(SerialPortOverPty, LineEndCutsAReplyShortAndKeepsTheOtherSlots) {
  ptySend(peer, {0x8C, 0x0A, 0x8C, 0xFD, 0x0D, 0x55});
  FrameSlots slots = {0x11, 0x22, 0x33, 0x44};
  EXPECT_EQ(readReplyBlocking(port, slots, 4), 0);
  EXPECT_EQ(slots[0], 0x8Cu);
  EXPECT_EQ(slots[1], 0x0Au);
  EXPECT_EQ(slots[2], 0x33u);
  EXPECT_EQ(slots[3], 0x44u);
  EXPECT_EQ(readReplyBlocking(port, slots, 4), 0);
  EXPECT_EQ(slots[1], 0xFDu);
  EXPECT_EQ(slots[2], 0x0Du);
  EXPECT_EQ(slots[3], 0x44u);
}

TEST_F(SerialPortOverPty, BlockingReadWaitsThroughManySlicesForALateReply) {
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    ptySend(peer, {0x8C, 0xFD, 0xC0, 0xB1});
  });
  FrameSlots slots = {0, 0, 0, 0};
  EXPECT_EQ(readReplyBlocking(port, slots, 4), 0);
  late.join();
  EXPECT_EQ(decodeReply(slots), ReplyComplete);
}

TEST_F(SerialPortOverPty, AbortEndsABlockingWaitLikeAReadWithNoByte) {
  std::thread aborter([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    requestLinkAbort();
  });
  FrameSlots slots = {0, 0, 0, 0};
  Clock::time_point start = Clock::now();
  EXPECT_EQ(readReplyBlocking(port, slots, 4), 3);
  long waited = millisecondsSince(start);
  aborter.join();
  EXPECT_GE(waited, 250);
  EXPECT_LT(waited, 300 + 3 * BlockingSliceMilliseconds);
  EXPECT_EQ(slots[0], 0u);
}

TEST_F(SerialPortOverPty, TimedReadGivesUpAboutTenSecondsAfterTheLastByte) {
  FrameSlots slots = {0, 0, 0x33, 0x44};
  ptySend(peer, {0x8C, 0xFF});
  Clock::time_point start = Clock::now();
  EXPECT_EQ(readReplyTimed(port, slots, 4), 3);
  long waited = millisecondsSince(start);
  EXPECT_GE(waited, TimedReadMilliseconds - 50);
  EXPECT_LT(waited, TimedReadMilliseconds + 1500);
  EXPECT_EQ(slots[0], 0x8Cu);
  EXPECT_EQ(slots[1], 0xFFu);
  EXPECT_EQ(slots[2], 0x33u);
  EXPECT_EQ(slots[3], 0x44u);
}

TEST_F(SerialPortOverPty, AbortEndsEveryWaitWhileTheLineKeepsTalking) {
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
  talking = false;
  chatter.join();
}

TEST_F(SerialPortOverPty, ADeadLineEndsReadsAtOnceAndALimitEndsASilentWait) {
  setReadIdleLimit(300);
  FrameSlots slots = {0, 0, 0, 0};
  Clock::time_point start = Clock::now();
  EXPECT_EQ(readReplyBlocking(port, slots, 4), 3);
  EXPECT_EQ(lastReadEnd(), ReadEnd::IdleLimit);
  EXPECT_GE(millisecondsSince(start), 300);
  setReadIdleLimit(0);

  ptyClose(&peer);  // the far end is gone
  for (auto read : {readReplyBlocking, readReplyTimed}) {
    start = Clock::now();
    EXPECT_EQ(read(port, slots, 4), 3);
    EXPECT_LT(millisecondsSince(start), 2 * BlockingSliceMilliseconds);
    EXPECT_EQ(lastReadEnd(), ReadEnd::LineFailed);
  }
}

TEST_F(SerialPortOverPty, FramesAndRecordsGoOutByteForByte) {
  EXPECT_EQ(writeFrame(port, FrameErase, 4), 0);
  EXPECT_EQ(ptyReceive(peer, 500), (Bytes{0x9C, 0xED, 0xFD, 0x8C}));

  BlockRecord record = {};
  record.baseAddress = 0x12345678;
  record.data[0] = 0xAB;
  record.byteCount = 1;
  record.checkValue = blockCheckValue(record);
  EXPECT_EQ(writeBlockRecord(port, record), 0);
  Bytes sent = ptyReceive(peer, 500);
  ASSERT_EQ(sent.size(), 268u);
  EXPECT_EQ(sent[0], 0x78);
  EXPECT_EQ(sent[4], 0x78 ^ 0xAB);
  EXPECT_EQ(sent[8], 0xAB);
  EXPECT_EQ(sent[264], 1);
}

}  // namespace
