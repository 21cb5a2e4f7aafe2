// The target link's Windows backend under Wine: the simulated target is COM1
// and COM10 (tools/wine-run --sim), COM2 is a port that cannot be opened.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/bootloader.h"
#include "link/trace.h"
#include "tests/windows/wintest_support.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> traces;
void keepTrace(const char* text) {
  traces.push_back(text);
}

SerialSettings settingsForPort(int port) {
  SerialSettings settings = DefaultSerialSettings;
  settings.portNumber = port;
  return settings;
}

// A target fresh from its reset, calling every callMs (0: never).
void resetSim(int port, int callMs) {
  ASSERT_TRUE(simCommand(port, ("set call-ms " + std::to_string(callMs)).c_str()));
  ASSERT_TRUE(simResetAndWait(port));
}

// The port is free again: nobody holds it (it is opened without sharing).
void expectPortFree(int port) {
  SerialPort probe = InvalidSerialPort;
  EXPECT_EQ(openSerialPort(&probe, settingsForPort(port)), 0);
  closeSerialPort(&probe);
}

TEST(WindowsLink, ConnectsToTheTargetOnCom1AndLaunchClosesThePort) {
  resetSim(1, 50);
  size_t logStart = simLog(1).size();
  traces.clear();
  setTraceSink(keepTrace);

  ASSERT_EQ(connectToTarget(settingsForPort(1)), LinkOk);
  setTraceSink(nullptr);
  EXPECT_NE(serialPort.load(), InvalidSerialPort);
  ASSERT_FALSE(traces.empty());
  EXPECT_EQ(traces.front(), "waiting for TGT call\n");
  EXPECT_EQ(traces.back(), "Sending ACK to TGT\n");
  EXPECT_TRUE(waitForSimLogLine(1, "9C CA FD AB", logStart, 5000));

  EXPECT_EQ(launchTarget(), LinkOk);
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
  EXPECT_TRUE(waitForSimLogLine(1, "9C BB FD DA", logStart, 5000));
  expectPortFree(1);
}

// The tenth port needs the device namespace name: a plain "COM10" is a file.
TEST(WindowsLink, ConnectsOnCom10) {
  resetSim(10, 50);
  ASSERT_EQ(connectToTarget(settingsForPort(10)), LinkOk);
  EXPECT_EQ(closeTargetPort(), LinkOk);
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
  expectPortFree(10);
}

TEST(WindowsLink, PortsThatCannotBeOpenedAreUnavailable) {
  traces.clear();
  setTraceSink(keepTrace);
  EXPECT_EQ(connectToTarget(settingsForPort(2)), LinkPortUnavailable);  // mapped to nothing
  EXPECT_EQ(connectToTarget(settingsForPort(11)), LinkPortUnavailable);
  EXPECT_EQ(connectToTarget(settingsForPort(0)), LinkPortUnavailable);

  setTraceSink(nullptr);
  EXPECT_TRUE(traces.empty());
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
}

TEST(WindowsLink, AnAbortEndsTheWaitForASilentTargetAndFreesThePort) {
  resetSim(1, 0);  // a target that never calls
  clearLinkAbort();
  Clock::time_point abortedAt;
  std::thread aborter([&abortedAt] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    abortedAt = Clock::now();
    requestLinkAbort();
  });
  int32_t result = connectToTarget(settingsForPort(1));
  Clock::time_point endedAt = Clock::now();
  aborter.join();
  clearLinkAbort();

  EXPECT_EQ(result, LinkAborted);
  EXPECT_LT(endedAt - abortedAt, std::chrono::milliseconds(1000));
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
  expectPortFree(1);

  // And the next handshake works.
  resetSim(1, 50);
  EXPECT_EQ(connectToTarget(settingsForPort(1)), LinkOk);
  EXPECT_EQ(closeTargetPort(), LinkOk);
}

}  // namespace
