// The command line over network ports end to end: k4471-cli against the
// simulated target listening on the loopback, raw and RFC 2217, and through
// ser2net in front of the target's pseudo-terminal.
#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulator.h"
#include "tests/native/cli_runner.h"
#include "tests/native/net_peer.h"
#include "tests/native/pty_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct Result {
  int code;
  std::string output;
};

// Four whole blocks and one of 255 bytes from 0xFF00: 0xFF in the first
// record's address, in the last one's count, in the check values and in two
// data bytes of every three.
constexpr uint32_t ImageAddress = 0xFF00;
Bytes imageBytes() {
  Bytes image(4 * 256 + 255);
  for (size_t i = 0; i < image.size(); ++i) image[i] = i % 3 ? 0xFF : uint8_t(i / 3);
  return image;
}

std::string netUrl(bool rfc2217, int port) {
  return std::string(rfc2217 ? "rfc2217://" : "tcp://") + "127.0.0.1:" + std::to_string(port);
}

// Runs with rfc2217:// when the parameter holds, tcp:// otherwise.
class NetCli : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    image = dir + "/image.bin";
    const Bytes bytes = imageBytes();
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  void TearDown() override {
    ser2netStop(server);
    simStop(sim);
    removeScratchDir(dir);
  }
  // The board, listening on the loopback unless `listen` is false.
  void startBoard(bool listen, SimConfig config = SimConfig()) {
    const std::string link = dir + "/board.tty";
    memoryOut = dir + "/flash.bin";
    config.linkPath = link.c_str();
    config.memoryOut = memoryOut.c_str();
    config.callMs = config.callMs == SimConfig().callMs ? 20 : config.callMs;
    config.eraseBlocks = 5;
    config.listen = listen ? "127.0.0.1:0" : nullptr;
    config.rfc2217 = GetParam();
    sim = simStart(config);
    ASSERT_NE(sim, nullptr);
    url = netUrl(GetParam(), simListenPort(sim));
  }
  std::vector<std::string> programArguments(std::vector<std::string> more = {}) {
    std::vector<std::string> arguments = {"program", image,       "--format",
                                          "bin",     "--address", std::to_string(ImageAddress),
                                          "--port",  url};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  }
  pid_t spawnCli(const std::vector<std::string>& arguments) {
    return spawnProgram(K4471_CLI, arguments, dir + "/out.txt");
  }
  Result finish(pid_t pid) {
    const int code = waitFor(pid);
    return {code, readText(dir + "/out.txt")};
  }
  // The board's flash, as the simulator wrote it out, holds the image.
  void expectProgrammed(const Result& result) {
    ASSERT_EQ(result.code, 0) << result.output;
    EXPECT_NE(result.output.find("Target Flash has been successfully programmed."),
              std::string::npos)
        << result.output;
    simSettle(sim);
    const std::string flash = readText(memoryOut);
    ASSERT_GE(flash.size(), ImageAddress + imageBytes().size());
    EXPECT_EQ(Bytes(flash.begin() + ImageAddress, flash.begin() + ImageAddress + 1279),
              imageBytes());
    EXPECT_EQ(simStatus(sim).recordsRefused, 0);
  }
  std::string dir, image, memoryOut, url;
  Simulator* sim = nullptr;
  pid_t server = 0;
};

TEST_P(NetCli, ProgramsAnImageWhoseFramesAndDataHold0xFF) {
  startBoard(true);
  expectProgrammed(finish(spawnCli(programArguments())));
  EXPECT_EQ(simStatus(sim).recordsAccepted, 5);
}

TEST_P(NetCli, ARefusedConnectionIsAPortErrorWithTheSystemsReason) {
  url = netUrl(GetParam(), freeLoopbackPort());
  const Result result = finish(spawnCli(programArguments({"--wait", "5"})));
  EXPECT_EQ(result.code, 4) << result.output;
  EXPECT_NE(result.output.find("Connection refused"), std::string::npos) << result.output;
}

// A port number beyond 65535 is refused, not taken modulo 65536 (which would
// reach the board listening here); so is an address without a port number,
// with one that is no number, or with a path. A host name that does not
// resolve is a port error in the resolver's words.
TEST_P(NetCli, AMalformedAddressIsAUsageErrorAndAnUnknownHostAPortError) {
  startBoard(true);
  const std::string scheme = GetParam() ? "rfc2217://" : "tcp://";
  const std::string wrapped = std::to_string(simListenPort(sim) + 65536);
  const struct {
    std::string address;
    std::string words;
  } cases[] = {
      {"127.0.0.1:" + wrapped, "the port number " + wrapped + " is not 1 to 65535"},
      {"127.0.0.1", "no port number is given"},
      {"127.0.0.1:abc", "\"abc\" is not a port number"},
      {"127.0.0.1:4000/path", "a network port has no path"},
  };
  for (const auto& c : cases) {
    url = scheme + c.address;
    const Result result = finish(spawnCli(programArguments({"--wait", "5"})));
    EXPECT_EQ(result.code, 2) << url << ": " << result.output;
    EXPECT_NE(result.output.find("--port " + url + ": " + c.words), std::string::npos)
        << result.output;
  }
  EXPECT_EQ(simStatus(sim).recordsAccepted, 0) << "no board was addressed";
  // A label longer than 63 characters: refused before any name server is asked.
  url = scheme + std::string(70, 'a') + ".invalid:4000";
  const Result result = finish(spawnCli({"launch", "--port", url, "--wait", "5"}));
  EXPECT_EQ(result.code, 4) << result.output;
  EXPECT_NE(result.output.find(url + ": " + gai_strerror(EAI_NONAME)), std::string::npos)
      << result.output;
  EXPECT_EQ(result.output.find("No route to host"), std::string::npos) << result.output;
}

TEST_P(NetCli, AConnectionDroppedInARunEndsItAndOneDroppedWhileWaitingIsMadeAgain) {
  SimConfig slowErase;
  slowErase.eraseBlockMs = 1000;  // five seconds of erasing
  startBoard(true, slowErase);
  pid_t pid = spawnCli(programArguments());
  ASSERT_TRUE(waitUntil([this] { return simStatus(sim).programming; })) << "the run is erasing";
  simControl(sim, "unplug");
  const Clock::time_point start = Clock::now();
  Result result = finish(pid);
  EXPECT_LT(millisecondsSince(start), generousBoundMs(2 * BlockingSliceMilliseconds));
  EXPECT_EQ(result.code, 6) << result.output;

  // No call yet: the connection goes, the board comes back and calls.
  simControl(sim, "set erase-block-ms 0");
  simControl(sim, "set call-ms 0");
  simReset(sim);
  pid = spawnCli(programArguments({"--wait", "10"}));
  const std::string out = dir + "/out.txt";
  ASSERT_TRUE(waitForWords(out, "Waiting for the target on")) << readText(out);
  simControl(sim, "unplug");
  ASSERT_TRUE(waitForWords(out, "The line went away")) << readText(out);
  simControl(sim, "set call-ms 20");
  simReset(sim);
  expectProgrammed(finish(pid));
}

// A station whose serial server goes down says so once, in few words, and
// once when it is back on its port; then it takes the next board there.
TEST_P(NetCli, AStationWhoseServerGoesDownSaysSoOnceAndOnceWhenItIsBack) {
  SimConfig config;
  config.nextBoardMs = 60000;  // no board calls until the server is back
  startBoard(true, config);
  const std::string out = dir + "/out.txt", report = dir + "/report.json";
  const int port = simListenPort(sim);
  const std::string link = dir + "/board.tty", listen = "127.0.0.1:" + std::to_string(port);
  const pid_t pid = spawnCli(
      programArguments({"--loop", "--count", "2", "--swap-seconds", "0.2", "--report", report}));
  ASSERT_TRUE(waitForWords(report, "\"board\":1", 10000)) << readText(out);
  simStop(sim);
  sim = nullptr;
  // A Telnet server going down may first take connections and hang them up,
  // then refuse them: one outage, told once.
  HangUpServer* hangingUp = GetParam() ? hangUpServerStart(port) : nullptr;
  ASSERT_TRUE(!GetParam() || hangingUp);
  ASSERT_TRUE(waitForWords(out, url + ": the port went away: ", 10000)) << readText(out);
  EXPECT_TRUE(!hangingUp || waitUntil([&] { return hangUpServerCount(hangingUp) > 0; }));
  hangUpServerStop(hangingUp);
  EXPECT_TRUE(GetParam() ||
              readText(out).find("went away: refused by the server") != std::string::npos)
      << readText(out);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // time to repeat itself
  SimConfig back;
  back.linkPath = link.c_str();
  back.callMs = 20;
  back.eraseBlocks = 5;
  back.listen = listen.c_str();
  back.rfc2217 = GetParam();
  sim = simStart(back);
  ASSERT_NE(sim, nullptr);
  const Result result = finish(pid);
  EXPECT_EQ(result.code, 0) << result.output;
  EXPECT_EQ(result.output.find("went away"), result.output.rfind("went away")) << result.output;
  EXPECT_NE(result.output.find(url + ": the port is back"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("Cannot Connect"), std::string::npos) << result.output;
  EXPECT_EQ(reportLines(readText(report)).size(), 2u);
}

TEST_P(NetCli, ProgramsThroughSer2net) {
  if (!ser2netProgram()) GTEST_SKIP() << "ser2net is not installed (tools/install-deps)";
  // ser2net gathers the board's bytes up to 20 ms before it sends them on: a
  // board calling every 20 ms would have its next call cross our
  // acknowledgement now and then, which the handshake takes for a failure.
  SimConfig calling;
  calling.callMs = 200;
  startBoard(false, calling);
  const int port = freeLoopbackPort();
  std::string why;
  server = ser2netStart(dir, simDevicePath(sim), port, GetParam(), &why);
  ASSERT_NE(server, 0) << why;
  url = netUrl(GetParam(), port);
  expectProgrammed(finish(spawnCli(programArguments({"--wait", "10"}))));
}

INSTANTIATE_TEST_SUITE_P(RawAndRfc2217, NetCli, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Rfc2217" : "RawTcp");
                         });

}  // namespace
