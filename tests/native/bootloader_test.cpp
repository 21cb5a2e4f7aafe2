#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "link/bootloader.h"
#include "link/trace.h"
#include "tests/native/pty_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string traced;
void recordTrace(const char* text) {
  traced += text;
}

Bytes reply(int32_t code) {
  return replyBytes(code);
}

// The operations against a target played by the test: its replies are put on
// the line before the operation runs, and what the operation sent is read back.
class Bootloader : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ptyOpen(&peer));
    setPortDevicePath(4, peer.device.c_str());
    settings = DefaultSerialSettings;
    settings.portNumber = 4;
    traced.clear();
    setTraceSink(recordTrace);
    clearLinkAbort();
  }
  void TearDown() override {
    closeTargetPort();
    setTraceSink(nullptr);
    ptyClose(&peer);
    setPortDevicePath(4, nullptr);
    clearLinkAbort();
  }
  void connect() {
    ptySend(peer, reply(ReplyTargetCall) + reply(ReplyAckConfirmed));
    ASSERT_EQ(connectToTarget(settings), LinkOk);
    ptyReceive(peer, 100);
    traced.clear();
  }
  PtyPeer peer;
  SerialSettings settings;
};

TEST_F(Bootloader, HandshakeTracesEveryReadAndAcknowledgesTheCall) {
  ptySend(peer, Bytes{0x00, 0x12} + reply(ReplyStatusE0) + reply(ReplyTargetCall) +
                    reply(ReplyAckConfirmed));
  EXPECT_EQ(connectToTarget(settings), LinkOk);
  EXPECT_EQ(traced, "waiting for TGT call\nwaiting for TGT call\nSending ACK to TGT\n");
  EXPECT_EQ(ptyReceive(peer, 200), (Bytes{0x9C, 0xCA, 0xFD, 0xAB}));
  EXPECT_NE(serialPort.load(), InvalidSerialPort);
}

TEST_F(Bootloader, ASecondCallInPlaceOfTheConfirmationClosesThePort) {
  ptySend(peer, reply(ReplyTargetCall) + reply(ReplyTargetCall));
  EXPECT_EQ(connectToTarget(settings), LinkNoAck);
  EXPECT_EQ(traced, "waiting for TGT call\nSending ACK to TGT\nNo ACK from TGT\n");
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
}

TEST_F(Bootloader, UnknownPortIsUnavailableWithoutTrace) {
  settings.portNumber = 11;
  EXPECT_EQ(connectToTarget(settings), LinkPortUnavailable);
  settings.portNumber = 9;  // no device behind it
  EXPECT_EQ(connectToTarget(settings), LinkPortUnavailable);
  EXPECT_EQ(traced, "");
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
}

TEST_F(Bootloader, AbortedHandshakeClosesThePortAndTheNextOneSucceeds) {
  std::thread aborter([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    requestLinkAbort();
  });
  EXPECT_EQ(connectToTarget(settings), LinkAborted);
  aborter.join();
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
  clearLinkAbort();
  connect();
}

TEST_F(Bootloader, HandshakeServesATargetThatCallsLate) {
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ptySend(peer, reply(ReplyTargetCall) + reply(ReplyAckConfirmed));
  });
  EXPECT_EQ(connectToTarget(settings), LinkOk);
  late.join();
}

TEST_F(Bootloader, SingleExchangesAcceptOnlyTheirOwnReply) {
  connect();
  struct Case {
    int32_t (*operation)();
    Bytes frame;
    int32_t awaited;
    int32_t other;
  } cases[] = {
      {startErase, {0x9C, 0xED, 0xFD, 0x8C}, ReplyEraseAck, ReplyEraseAllAck},
      {startEraseAll, {0x9C, 0xEA, 0xFD, 0x8B}, ReplyEraseAllAck, ReplyEraseAck},
      {startProgramApplication, {0x9C, 0xFF, 0xFD, 0x9E}, ReplyAppAck, ReplyBootAck},
      {startProgramBootloader, {0x9C, 0xFB, 0xFD, 0x9A}, ReplyBootAck, ReplyAppAck},
      {endProgramming, {0x9C, 0xEF, 0xFD, 0x8E}, ReplyComplete, ReplyStatusE0},
  };
  for (const Case& c : cases) {
    ptySend(peer, reply(c.awaited));
    EXPECT_EQ(c.operation(), LinkOk);
    EXPECT_EQ(ptyReceive(peer, 100), c.frame);
    ptySend(peer, reply(c.other));
    EXPECT_EQ(c.operation(), LinkUnexpectedReply);
    ptyReceive(peer, 100);
  }
  EXPECT_NE(serialPort.load(), InvalidSerialPort) << "failures leave the port open";
}

TEST_F(Bootloader, SendBlockTakesEitherAcknowledgementAtBothSteps) {
  connect();
  BlockRecord record = {};
  record.baseAddress = 0x8000;
  record.byteCount = 3;
  record.data[0] = 1;
  record.checkValue = blockCheckValue(record);
  ptySend(peer, reply(ReplyBootAck) + reply(ReplyAppAck));
  EXPECT_EQ(sendBlock(record), LinkOk);
  Bytes sent = ptyReceive(peer, 200);
  ASSERT_EQ(sent.size(), 4u + 268u);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 4), (Bytes{0x9C, 0x11, 0xFD, 0x70}));
}

TEST_F(Bootloader, SendBlockKeepsTheRecordBackAfterAWrongFirstReply) {
  connect();
  BlockRecord record = {};
  ptySend(peer, reply(ReplyBlockErased));
  EXPECT_EQ(sendBlock(record), LinkUnexpectedReply);
  EXPECT_EQ(ptyReceive(peer, 200).size(), 4u);
  ptySend(peer, reply(ReplyAppAck) + reply(ReplyStatusE0));
  EXPECT_EQ(sendBlock(record), LinkUnexpectedReply);
  EXPECT_EQ(ptyReceive(peer, 200).size(), 4u + 268u);
}

TEST_F(Bootloader, ProgressRepliesPassOnlyTheFourProgressCodes) {
  connect();
  ptySend(peer, reply(ReplyBlockErased) + reply(ReplyComplete) + reply(ReplyAppAck) +
                    reply(ReplyBootAck) + reply(ReplyStatusE0) + Bytes{0x8C, 0xFD, 0xEB, 0x9B});
  EXPECT_EQ(readProgressReply(), ReplyBlockErased);
  EXPECT_EQ(readProgressReply(), ReplyComplete);
  EXPECT_EQ(readProgressReply(), ReplyAppAck);
  EXPECT_EQ(readProgressReply(), ReplyBootAck);
  EXPECT_EQ(readProgressReply(), LinkUnexpectedReply);
  EXPECT_EQ(readProgressReply(), LinkUnexpectedReply);
}

TEST_F(Bootloader, LaunchSendsItsFrameAndClosesThePort) {
  connect();
  EXPECT_EQ(launchTarget(), LinkOk);
  EXPECT_EQ(ptyReceive(peer, 200), (Bytes{0x9C, 0xBB, 0xFD, 0xDA}));
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
  connect();  // and the port opens again for the next connection
}

}  // namespace
