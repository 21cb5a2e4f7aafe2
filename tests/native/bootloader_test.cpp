// The serial bootloader protocol of the link against a target played on a
// pseudo-terminal: the handshake, single exchanges, the launched application.
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
const auto reply = replyBytes;

// The operations against a target played by the test: it answers each frame
// the operation writes, and what the operation sent is read back.
class Bootloader : public PtyLinkTest {
 protected:
  void SetUp() override {
    PtyLinkTest::SetUp();
    traced.clear();
    setTraceSink([](const char* text) { traced += text; });
  }
  void TearDown() override {
    setTraceSink(nullptr);
    PtyLinkTest::TearDown();
  }
  void connect() {
    scriptStart(&script, peer, callThen(reply(ReplyAckConfirmed)));
    ASSERT_EQ(connectToTarget(settings), LinkOk);
    scriptFinish(&script, peer);
    traced.clear();
  }
  // The target calls once the port is open, and answers the acknowledgement.
  static std::vector<PeerStep> callThen(const Bytes& answer, const Bytes& call = {}) {
    return {{0, call.empty() ? reply(ReplyTargetCall) : call, 100}, {4, answer}};
  }
  // Answers the next frame the operation writes, and returns what it wrote.
  template <typename Operation>
  Bytes exchange(const std::vector<PeerStep>& steps, Operation operation, int32_t expected) {
    scriptStart(&script, peer, steps);
    EXPECT_EQ(operation(), expected);
    return scriptFinish(&script, peer);
  }
};

TEST_F(Bootloader, HandshakeTracesEveryReadAndAcknowledgesTheCall) {
  Bytes sent = exchange(
      callThen(reply(ReplyAckConfirmed),
               Bytes{0x00, 0x12} + reply(ReplyStatusE0) + reply(ReplyTargetCall)),
      [&] { return connectToTarget(settings); }, LinkOk);
  EXPECT_EQ(traced, "waiting for TGT call\nwaiting for TGT call\nSending ACK to TGT\n");
  EXPECT_EQ(sent, (Bytes{0x9C, 0xCA, 0xFD, 0xAB}));
  EXPECT_NE(serialPort.load(), InvalidSerialPort);
}

TEST_F(Bootloader, ASecondCallInPlaceOfTheConfirmationClosesThePort) {
  exchange(
      callThen(reply(ReplyTargetCall)), [&] { return connectToTarget(settings); }, LinkNoAck);
  EXPECT_EQ(traced, "waiting for TGT call\nSending ACK to TGT\nNo ACK from TGT\n");
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
}

// The command line passes over calls that crossed its acknowledgement (a
// network, a server that gathers bytes), never more than it was told.
TEST_F(Bootloader, CallsThatCrossedTheAcknowledgementArePassedOverWhenAsked) {
  passCrossingCalls(2);
  exchange(
      callThen(reply(ReplyTargetCall) + reply(ReplyTargetCall) + reply(ReplyAckConfirmed)),
      [&] { return connectToTarget(settings); }, LinkOk);
  closeTargetPort();
  exchange(
      callThen(reply(ReplyTargetCall) + reply(ReplyTargetCall) + reply(ReplyTargetCall) +
               reply(ReplyAckConfirmed)),
      [&] { return connectToTarget(settings); }, LinkNoAck);
  passCrossingCalls(0);
}

TEST_F(Bootloader, StaleCallsNeverStandInForTheConfirmation) {
  // Calls queued on the line before the port was opened.
  ptySend(peer, reply(ReplyTargetCall) + reply(ReplyTargetCall) + reply(ReplyTargetCall));
  exchange(
      callThen(reply(ReplyAckConfirmed)), [&] { return connectToTarget(settings); }, LinkOk);
  closeTargetPort();
  // Calls that came while the host was answering the first one.
  Bytes calls;
  for (int i = 0; i < 10; ++i) calls = calls + reply(ReplyTargetCall);
  exchange(
      callThen(reply(ReplyAckConfirmed), calls), [&] { return connectToTarget(settings); }, LinkOk);
  // The first command after connecting does not read a leftover confirmation.
  ptySend(peer, reply(ReplyAckConfirmed));
  exchange({{4, reply(ReplyEraseAck)}}, startErase, LinkOk);
}

// An abort, then a line that fails, while the host waits for the call: either
// ends the wait at once and closes the port; after the abort the next
// handshake succeeds.
TEST_F(Bootloader, AnAbortOrALineThatFailsWhileWaitingForTheCallClosesThePort) {
  for (bool unplug : {false, true}) {
    // Once the host has opened the port and waits.
    std::chrono::steady_clock::time_point start;
    std::thread during([&] {
      EXPECT_TRUE(waitUntil([] { return serialPort.load() != InvalidSerialPort; }));
      start = std::chrono::steady_clock::now();
      unplug ? ptyClose(&peer) : requestLinkAbort();
    });
    EXPECT_EQ(connectToTarget(settings), unplug ? LinkPortUnavailable : LinkAborted);
    during.join();
    EXPECT_LT(millisecondsSince(start), generousBoundMs(2 * BlockingSliceMilliseconds));
    EXPECT_EQ(serialPort.load(), InvalidSerialPort);
    clearLinkAbort();
    if (!unplug) connect();
    closeTargetPort();
  }
}

TEST_F(Bootloader, HandshakeServesATargetThatCallsLate) {
  exchange(
      {{0, reply(ReplyTargetCall), 700}, {4, reply(ReplyAckConfirmed)}},
      [&] { return connectToTarget(settings); }, LinkOk);
}

TEST_F(Bootloader, SingleExchangesAcceptOnlyTheirOwnReply) {
  connect();
  struct Case {
    LinkResult (*operation)();
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
    EXPECT_EQ(exchange({{4, reply(c.awaited)}}, c.operation, LinkOk), c.frame);
    exchange({{4, reply(c.other)}}, c.operation, LinkUnexpectedReply);
  }
  EXPECT_NE(serialPort.load(), InvalidSerialPort) << "failures leave the port open";
}

// Either acknowledgement will do at both steps; after a wrong first reply the
// record is kept back.
TEST_F(Bootloader, SendBlockTakesEitherAcknowledgementAtBothSteps) {
  connect();
  BlockRecord record = {};
  auto send = [&] { return sendBlock(record); };
  Bytes sent = exchange({{4, reply(ReplyBootAck)}, {268, reply(ReplyAppAck)}}, send, LinkOk);
  ASSERT_EQ(sent.size(), 4u + 268u);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 4), (Bytes{0x9C, 0x11, 0xFD, 0x70}));
  EXPECT_EQ(exchange({{4, reply(ReplyBlockErased)}}, send, LinkUnexpectedReply).size(), 4u);
  EXPECT_EQ(
      exchange({{4, reply(ReplyAppAck)}, {268, reply(ReplyStatusE0)}}, send, LinkUnexpectedReply)
          .size(),
      4u + 268u);
}

TEST_F(Bootloader, ProgressRepliesPassOnlyTheFourProgressCodes) {
  connect();
  ptySend(peer, reply(ReplyBlockErased) + reply(ReplyComplete) + reply(ReplyAppAck) +
                    reply(ReplyBootAck) + reply(ReplyStatusE0) + Bytes{0x8C, 0xFD, 0xEB, 0x9B});
  for (ProgressReply expected :
       {ProgressReply::BlockErased, ProgressReply::Complete, ProgressReply::AppAck,
        ProgressReply::BootAck, ProgressReply::Other, ProgressReply::Other}) {
    EXPECT_EQ(readProgressReply(), expected);
  }
}

TEST_F(Bootloader, LaunchSendsItsFrameAndClosesThePort) {
  connect();
  EXPECT_EQ(exchange({}, launchTarget, LinkOk), (Bytes{0x9C, 0xBB, 0xFD, 0xDA}));
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
  connect();  // and the port opens again for the next connection
}

TEST_F(Bootloader, TheLaunchedApplicationIsReadUntilALineHoldsTheTextOrTheLimit) {
  connect();
  using Clock = std::chrono::steady_clock;
  auto text = [](const std::string& t) { return Bytes(t.begin(), t.end()); };
  // The application speaks the moment the launch frame is in: nothing is lost.
  scriptStart(&script, peer, {{4, text("boot 1.2\r\n\r\napp up, sn=1000, more")}});
  EXPECT_EQ(launchTargetKeepOpen(), LinkOk);
  AppLastLine last;
  EXPECT_EQ(awaitApplicationText({plainAnswer("sn=1000")}, 2000, &last), AppAnswer::Found);
  EXPECT_EQ(last.text, "app up, sn=1000");
  EXPECT_EQ(traced, "application: boot 1.2\napplication: app up, sn=1000\n");
  EXPECT_EQ(scriptFinish(&script, peer), (Bytes{0x9C, 0xBB, 0xFD, 0xDA}));

  // A line that never ends keeps only its tail, and the limit still holds.
  scriptStart(&script, peer, {{0, Bytes(5 * AppLineKeep, 'x') + text("tail")}});
  Clock::time_point start = Clock::now();
  EXPECT_EQ(awaitApplicationText({plainAnswer("sn=1000")}, 400, &last), AppAnswer::TimeLimit);
  scriptFinish(&script, peer);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << "a line that never ends";
  EXPECT_GE(last.text.size(), AppLineKeep);
  EXPECT_LE(last.text.size(), 2 * AppLineKeep);
  EXPECT_EQ(last.text.substr(last.text.size() - 5), "xtail");
  EXPECT_FALSE(last.ended) << "the limit cut it";

  // A line that dies ends the wait at once.
  ptyClose(&peer);
  start = Clock::now();
  EXPECT_EQ(awaitApplicationText({plainAnswer("sn=1000")}, 5000, &last), AppAnswer::LineFailed);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500)) << "within half the limit";
  EXPECT_EQ(last.text, "");
}

// The pattern SN={serial}-style: texts around one or two numbers.
AppAnswerPattern numbered(std::vector<std::string> texts, const std::string& number) {
  const std::vector<AppAnswerValue> values(texts.size() - 1, AppAnswerValue{false, number});
  return AppAnswerPattern{std::move(texts), values};
}

TEST(AppAnswer, ANumberIsAWholeRunOfDigitsOfItsValueJudgedOnceItsEndIsKnown) {
  const AppAnswerPattern sn = numbered({"SN=", ""}, "12");
  struct Case {
    const char* line;
    bool ended;
    bool holds;
  } const cases[] = {
      {"SN=12", true, true},   {"SN=0012", true, true},   {"SN=12, ok", false, false},
      {"SN=12,", false, true}, {"SN=123", true, false},   {"SN=123,", false, false},
      {"SN=12", false, false}, {"SN=1", true, false},     {"SN=", true, false},
      {"SN=12x", false, true}, {"xSN=12\t", false, true}, {"SN=112", true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lineHoldsAnswer(sn, c.line, c.ended, true), c.holds) << c.line << " " << c.ended;
  }
  // A number first has no digit before it; one inside its texts.
  const AppAnswerPattern up = numbered({"", " up"}, "12");
  EXPECT_TRUE(lineHoldsAnswer(up, "12 up", false, true));
  EXPECT_TRUE(lineHoldsAnswer(up, "board 012 up", false, true));
  EXPECT_FALSE(lineHoldsAnswer(up, "112 up", false, true));
  const AppAnswerPattern two = numbered({"a", "-", "b"}, "7");
  EXPECT_TRUE(lineHoldsAnswer(two, "a7-07b", false, true));
  EXPECT_FALSE(lineHoldsAnswer(two, "a7-17b", false, true));
  // Zero is any run of zeros; a run that may have begun in a dropped start
  // cannot be judged.
  const AppAnswerPattern zero = numbered({"n=", ""}, "0");
  EXPECT_TRUE(lineHoldsAnswer(zero, "n=000", true, true));
  const AppAnswerPattern alone = numbered({"", ""}, "12");
  EXPECT_TRUE(lineHoldsAnswer(alone, "000012", true, true));
  EXPECT_FALSE(lineHoldsAnswer(alone, "000012", true, false));
  // Without a number, the text ends with the last byte.
  EXPECT_TRUE(lineHoldsAnswer(plainAnswer("sn=1000"), "up, sn=1000", false, true));
  EXPECT_FALSE(lineHoldsAnswer(plainAnswer("sn=1000"), "up, sn=10000", false, true));
}

TEST(AppAnswer, AHexValueIsExactlyItsDigitsInEitherCaseWithNoHexDigitAround) {
  const AppAnswerPattern crc{{"crc=", ""}, {AppAnswerValue{true, "0a1b2c3d"}}};
  EXPECT_TRUE(lineHoldsAnswer(crc, "crc=0a1b2c3d", true, true));
  EXPECT_TRUE(lineHoldsAnswer(crc, "crc=0A1B2C3D ", false, true)) << "upper-case digits";
  EXPECT_FALSE(lineHoldsAnswer(crc, "crc=a1b2c3d", true, true)) << "its leading 0 is needed";
  EXPECT_FALSE(lineHoldsAnswer(crc, "crc=0a1b2c3d", false, true)) << "not judged yet";
  EXPECT_FALSE(lineHoldsAnswer(crc, "crc=0a1b2c3de", true, true)) << "a digit after it";
  EXPECT_FALSE(lineHoldsAnswer(crc, "crc=0a1b2c3dF", false, true));
  const AppAnswerPattern bare{{"", " ok"}, {AppAnswerValue{true, "00ff"}}};
  EXPECT_TRUE(lineHoldsAnswer(bare, "x=00FF ok", false, true));
  EXPECT_FALSE(lineHoldsAnswer(bare, "a00ff ok", false, true)) << "a digit before it";
  EXPECT_FALSE(lineHoldsAnswer(bare, "00ff ok", false, false)) << "its start was dropped";
  // A number and a value in one text.
  const AppAnswerPattern both{{"sn=", " crc=", ""},
                              {AppAnswerValue{false, "7"}, AppAnswerValue{true, "beef"}}};
  EXPECT_TRUE(lineHoldsAnswer(both, "sn=007 crc=BEEF", true, true));
  EXPECT_FALSE(lineHoldsAnswer(both, "sn=8 crc=beef", true, true));
}

TEST_F(Bootloader, SeveralTextsAreEachFoundInSomeLineInAnyOrder) {
  connect();
  auto text = [](const std::string& t) { return Bytes(t.begin(), t.end()); };
  const std::vector<AppAnswerPattern> both = {plainAnswer("sha=ab"), plainAnswer("crc=12")};
  scriptStart(&script, peer, {{0, text("crc=12\r\nnoise\r\nsha=ab\r\n")}});
  AppLastLine last;
  std::vector<bool> found;
  EXPECT_EQ(awaitApplicationText(both, 5000, &last, &found), AppAnswer::Found);
  scriptFinish(&script, peer);
  EXPECT_EQ(last.text, "sha=ab");
  scriptStart(&script, peer, {{0, text("crc=12\r\n")}});
  EXPECT_EQ(awaitApplicationText(both, 300, &last, &found), AppAnswer::TimeLimit);
  scriptFinish(&script, peer);
  EXPECT_EQ(found, (std::vector<bool>{false, true}));
}

TEST_F(Bootloader, TheApplicationsNumberIsJudgedAsItsLineGoesOn) {
  connect();
  auto text = [](const std::string& t) { return Bytes(t.begin(), t.end()); };
  const AppAnswerPattern sn = numbered({"SN=", ""}, "12");
  scriptStart(&script, peer, {{0, text("SN=123\r\nSN=012 ok\r\n")}});
  AppLastLine last;
  EXPECT_EQ(awaitApplicationText({sn}, 5000, &last), AppAnswer::Found);
  scriptFinish(&script, peer);
  EXPECT_EQ(last.text, "SN=012 ");
  EXPECT_EQ(traced, "application: SN=123\napplication: SN=012 \n");

  // A number at the end of a line that has not ended is not judged.
  scriptStart(&script, peer, {{0, text("SN=123\r\nSN=12")}});
  EXPECT_EQ(awaitApplicationText({sn}, 300, &last), AppAnswer::TimeLimit);
  scriptFinish(&script, peer);
  EXPECT_EQ(last.text, "SN=12");
  EXPECT_FALSE(last.ended);
  // The line's end judges it.
  scriptStart(&script, peer, {{0, text("SN=00012\r\n")}});
  EXPECT_EQ(awaitApplicationText({sn}, 5000, &last), AppAnswer::Found);
  scriptFinish(&script, peer);
  EXPECT_EQ(last.text, "SN=00012");
  EXPECT_TRUE(last.ended);
}

}  // namespace
