// A board reset through a control line, end to end: the real k4471-cli
// against simulated boards whose reset hangs on DTR behind an RFC 2217 port,
// and the ports that cannot carry a reset refused before any wait.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "tests/native/cli_runner.h"
#include "tests/native/pty_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Data that holds 0xFF, which the RFC 2217 port doubles.
const char* const Image = "00004000\n01 FF 03 FF FF\n00004100 06 07\n";

class ResetLine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    image = dir + "/app.hex";
    out = dir + "/out.txt";
    std::ofstream(image) << Image;
  }
  void TearDown() override {
    if (sim) simStop(sim);
    removeScratchDir(dir);
  }
  // A board whose reset hangs on DTR, behind an RFC 2217 port; its name.
  std::string board(SimConfig config = SimConfig()) {
    link = dir + "/board.tty";
    config.linkPath = link.c_str();
    config.callMs = 20;
    config.eraseBlocks = 3;
    config.listen = "127.0.0.1:0";
    config.rfc2217 = true;
    config.resetOn = "dtr";
    sim = simStart(config);
    EXPECT_NE(sim, nullptr);
    return "rfc2217://127.0.0.1:" + std::to_string(simListenPort(sim));
  }
  std::string dir, image, out, link;
  Simulator* sim = nullptr;
};

TEST_F(ResetLine, ASilentBoardIsResetThroughDtrAndProgrammed) {
  const std::string port = board();
  // Launched, the board stays silent until it is reset.
  ASSERT_EQ(waitFor(spawnProgram(K4471_CLI, {"launch", "--port", port}, out)), 0) << readText(out);
  ASSERT_TRUE(simSettle(sim));
  ASSERT_TRUE(simStatus(sim).launched);
  const int resets = simStatus(sim).resets;
  const int code = waitFor(spawnProgram(
      K4471_CLI,
      {"program", image, "--port", port, "--reset", "dtr", "--reset-ms", "50", "--wait", "10"},
      out));
  EXPECT_EQ(code, 0) << readText(out);
  EXPECT_EQ(simStatus(sim).resets, resets + 1) << "one reset, and none at open or close";
  const std::vector<uint8_t> flash = simFlash(sim);
  EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x4000, flash.begin() + 0x4005),
            (std::vector<uint8_t>{0x01, 0xFF, 0x03, 0xFF, 0xFF}));
  EXPECT_EQ(flash[0x4100], 0x06);
  EXPECT_EQ(flash[0x4101], 0x07);
}

TEST_F(ResetLine, PortsWithoutControlLinesAreRefusedBeforeAnyWait) {
  board();
  const struct {
    std::string port;
    int code;
    std::string words;
  } cases[] = {
      {"tcp://127.0.0.1:" + std::to_string(simListenPort(sim)), 2,
       "is a raw TCP port, which has no control lines"},
      {link, 4, link + ": cannot drive the reset line (Inappropriate ioctl for device)"},
  };
  for (const auto& refused : cases) {
    const auto started = Clock::now();
    EXPECT_EQ(waitFor(spawnProgram(
                  K4471_CLI, {"program", image, "--port", refused.port, "--reset", "rts"}, out)),
              refused.code)
        << readText(out);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(3)) << "no wait for a call";
    EXPECT_NE(readText(out).find(refused.words), std::string::npos) << readText(out);
    EXPECT_EQ(readText(out).find("Waiting for the target"), std::string::npos) << readText(out);
  }
  EXPECT_TRUE(simHostBytes(sim).empty()) << "nothing reached the board";
}

TEST_F(ResetLine, AStationResetsAFailedBoardBeforeItsRetryAndNeverAnEndedOne) {
  SimConfig config;
  config.unexpectedReplyToFrame = 2;  // the erase is refused
  config.nextBoardMs = 300;           // then the next board calls by itself
  const std::string port = board(config);
  const pid_t pid = spawnProgram(K4471_CLI, {"program", image,
                                             "--port",  port,
                                             "--loop",  "--count",
                                             "2",       "--swap-seconds",
                                             "0.1",     "--wait",
                                             "10",      "--retries",
                                             "1",       "--reset",
                                             "dtr",     "--reset-ms",
                                             "1000",    "--report",
                                             "-",       "--serial-at",
                                             "0x7FF0",  "--serial-start",
                                             "7"},
                                 out);
  // The board is held in reset for a second: time to mend it.
  ASSERT_TRUE(waitForWords(out, "Attempt 1 of 2 failed", 8000)) << readText(out);
  simControl(sim, "set unexpected-reply 0");
  EXPECT_EQ(waitFor(pid), 0) << readText(out);
  const std::vector<nlohmann::json> lines = reportLines(readText(out));
  ASSERT_EQ(lines.size(), 3u) << readText(out);
  EXPECT_EQ(lines[0]["attempt"], 1);
  EXPECT_NE(lines[0]["exit_code"], 0);
  EXPECT_EQ(lines[1]["attempt"], 2);
  EXPECT_EQ(lines[1]["exit_code"], 0);
  EXPECT_EQ(lines[1]["board"], 1) << "a retry is the same board";
  EXPECT_EQ(lines[1]["serial"], 7);
  EXPECT_EQ(lines[2]["board"], 2);
  EXPECT_EQ(lines[2]["exit_code"], 0);
  EXPECT_NE(readText(out).find("2 boards: 2 passed, 0 failed."), std::string::npos);
  // The sim counts the swap to the next board as a reset too.
  EXPECT_EQ(simStatus(sim).board, 2);
  EXPECT_EQ(simStatus(sim).resets, 3) << "the first board's reset, the retry's and the swap";
}

}  // namespace
