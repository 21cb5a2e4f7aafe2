// The target link's Windows backend under Wine: the simulated target is COM1
// and COM10 (tools/wine-run --sim), COM2 is a port that cannot be opened.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "link/bootloader.h"
#include "tests/waits.h"
#include "tests/windows/wintest_support.h"

namespace {

using Clock = std::chrono::steady_clock;

SerialSettings settingsForPort(int port) {
  SerialSettings settings = DefaultSerialSettings;
  settings.portNumber = port;
  return settings;
}

// The port is free again: nobody holds it (it is opened without sharing).
void expectPortFree(int port) {
  SerialPort probe = InvalidSerialPort;
  EXPECT_EQ(openSerialPort(&probe, settingsForPort(port)), 0) << port;
  closeSerialPort(&probe);
}

TEST(WindowsLink, ConnectsOnCom1AndCom10AndLetsThePortGo) {
  ASSERT_TRUE(resetSim(1, 50));
  const size_t logStart = simLog(1).size();
  ASSERT_EQ(connectToTarget(settingsForPort(1)), LinkOk);
  EXPECT_NE(serialPort.load(), InvalidSerialPort);
  EXPECT_TRUE(waitForSimLogLine(1, "9C CA FD AB", logStart, 5000));
  EXPECT_EQ(launchTarget(), LinkOk);
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
  EXPECT_TRUE(waitForSimLogLine(1, "9C BB FD DA", logStart, 5000));
  expectPortFree(1);

  // The tenth port needs the device namespace name: a plain "COM10" is a file.
  ASSERT_TRUE(resetSim(10, 50));
  ASSERT_EQ(connectToTarget(settingsForPort(10)), LinkOk);
  EXPECT_EQ(closeTargetPort(), LinkOk);
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
  expectPortFree(10);

  for (int port : {2, 11, 0}) {  // mapped to nothing, and no port numbers at all
    EXPECT_EQ(connectToTarget(settingsForPort(port)), LinkPortUnavailable) << port;
  }
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
}

// A silent target or a board that prints text: the abort ends the wait at once.
TEST(WindowsLink, AnAbortEndsTheWaitForASilentTargetAndFreesThePort) {
  for (int chatterMs : {0, 2}) {  // the board that prints text calls as well
    ASSERT_TRUE(simCommand(1, ("set chatter-ms " + std::to_string(chatterMs)).c_str()));
    ASSERT_TRUE(resetSim(1, chatterMs ? 50 : 0));
    clearLinkAbort();
    Clock::time_point abortedAt;
    std::thread aborter([&abortedAt] {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      abortedAt = Clock::now();
      requestLinkAbort();
    });
    EXPECT_EQ(connectToTarget(settingsForPort(1)), LinkAborted) << chatterMs;
    const Clock::time_point endedAt = Clock::now();
    aborter.join();
    clearLinkAbort();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(endedAt - abortedAt).count(),
              generousBoundMs(2 * BlockingSliceMilliseconds))
        << chatterMs;
    EXPECT_EQ(serialPort.load(), InvalidSerialPort);
    expectPortFree(1);
  }
  ASSERT_TRUE(simCommand(1, "set chatter-ms 0"));
  ASSERT_TRUE(resetSim(1, 50));
  EXPECT_EQ(connectToTarget(settingsForPort(1)), LinkOk);
  EXPECT_EQ(closeTargetPort(), LinkOk);
}

TEST(WindowsLink, StaleCallsAndADeadLineNeverWedgeTheLink) {
  // Calls queued before the port opened, and again while the host answers.
  for (int stale : {1, 3, 10}) {
    ASSERT_TRUE(simCommand(1, ("set stale-calls " + std::to_string(stale)).c_str()));
    ASSERT_TRUE(resetSim(1, 200));
    EXPECT_EQ(connectToTarget(settingsForPort(1)), LinkOk) << stale;
    EXPECT_EQ(startErase(), LinkOk) << "a leftover confirmation was read as the reply";
    for (int i = 0; i < 16; ++i) EXPECT_EQ(readProgressReply(), ProgressReply::BlockErased);
    EXPECT_EQ(readProgressReply(), ProgressReply::Complete);
    EXPECT_EQ(closeTargetPort(), LinkOk);
  }
  ASSERT_TRUE(simCommand(1, "set stale-calls 0"));

  // The line hangs up in the middle of a run: reads end at once.
  ASSERT_TRUE(simCommand(1, "set hangup-at 2"));
  ASSERT_TRUE(resetSim(1, 50));
  ASSERT_EQ(connectToTarget(settingsForPort(1)), LinkOk);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(startErase(), LinkUnexpectedReply);
  EXPECT_EQ(lastReadEnd(), ReadEnd::LineFailed);
  EXPECT_EQ(readProgressReply(), ProgressReply::Other);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
  EXPECT_EQ(closeTargetPort(), LinkOk);
  ASSERT_TRUE(simCommand(1, "set hangup-at 0"));
  ASSERT_TRUE(resetSim(1, 50));
  EXPECT_EQ(connectToTarget(settingsForPort(1)), LinkOk);
  EXPECT_EQ(closeTargetPort(), LinkOk);
}

}  // namespace
