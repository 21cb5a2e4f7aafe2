// The developer's loop, end to end: the real k4471-cli with --monitor and
// --watch against simulated boards; the file changed in the ways editors and
// builds change it, the board reset by hand, the line pulled, Ctrl-C in each
// phase, and the terminal's settings after every way out.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulator.h"
#include "tests/native/cli_runner.h"
#include "tests/native/pty_peer.h"

namespace {

// Generous: the machine may be loaded.
constexpr int LimitMs = 30000;

const char* const ImageA = "00004000 01 02 03\n";
const char* const ImageB = "00004000 11 12 13 14\n";
// The same data as B, written otherwise.
const char* const ImageBAgain = "00004000\n11 12\n13 14\n";

class DevLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    image = dir + "/app.hex";
    out = dir + "/out.txt";
    write(image, ImageA);
  }
  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitFor(pid);
    }
    if (sim) simStop(sim);
    if (terminal >= 0) close(terminal);
    if (master >= 0) close(master);
    removeScratchDir(dir);
  }
  std::string board(SimConfig config = SimConfig()) {
    link = dir + "/board.tty";
    config.linkPath = link.c_str();
    config.callMs = 20;
    config.eraseBlocks = 2;
    sim = simStart(config);
    EXPECT_NE(sim, nullptr);
    return link;
  }
  void start(const std::vector<std::string>& arguments, const std::string& input = "/dev/null") {
    pid = spawnProgram(K4471_CLI, arguments, out, input);
    ASSERT_GT(pid, 0);
  }
  int end() {
    const int code = waitFor(pid);
    pid = -1;
    return code;
  }
  static void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  size_t count(const std::string& words) const {
    const std::string text = readText(out);
    size_t found = 0;
    for (size_t at = text.find(words); at != std::string::npos; at = text.find(words, at + 1)) {
      ++found;
    }
    return found;
  }
  bool waitForCount(const std::string& words, size_t times, int limitMs = LimitMs) const {
    for (int waited = 0; waited < limitMs; waited += 20) {
      if (count(words) >= times) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // The n-th round waits for the board's call: the board is reset by hand.
  void resetWhenAsked(size_t n) {
    ASSERT_TRUE(waitForCount("reset the target now", n)) << readText(out);
    simReset(sim);
  }
  std::vector<uint8_t> flash(uint32_t address, size_t size) const {
    const std::vector<uint8_t> all = simFlash(sim);
    return std::vector<uint8_t>(all.begin() + address, all.begin() + address + size);
  }
  // A pseudo-terminal in its usual cooked mode; its slave is the input.
  std::string openTerminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    const std::string device = ptsname(master);
    terminal = open(device.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(terminal, 0);
    return device;
  }
  bool terminalCooked() const {
    termios settings;
    tcgetattr(terminal, &settings);
    return (settings.c_lflag & ICANON) && (settings.c_lflag & ECHO);
  }
  void type(char key) { (void)!::write(master, &key, 1); }

  std::string dir, image, out, link;
  Simulator* sim = nullptr;
  pid_t pid = -1;
  int master = -1, terminal = -1;
};

TEST_F(DevLoop, TheMonitorShowsTheApplicationsLinesEscapedAndSaysABootloaderOnce) {
  SimConfig config;
  config.appText = "one\r\ntwo \x1b[31mred\x1b[0m\x07 caf\xc3\xa9 \xc2\x9b back\\slash\r\nthree";
  const std::string port = board(config);
  start({"program", image, "--port", port, "--launch", "--monitor"});
  ASSERT_TRUE(waitForCount("three", 1)) << "a line without its end is shown once quiet";
  simReset(sim);  // by hand: the board calls
  ASSERT_TRUE(waitForCount("in its bootloader", 1)) << readText(out);
  const int calls = simStatus(sim).callsSent;
  for (int waited = 0; simStatus(sim).callsSent < calls + 5 && waited < LimitMs; waited += 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGINT);
  EXPECT_EQ(end(), 0) << "the run's own code: " << readText(out);
  const std::string text = readText(out);
  EXPECT_NE(text.find("\none\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\ntwo \\x1b[31mred\\x1b[0m\\x07 caf\xc3\xa9 \\xc2\\x9b back\\\\slash\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << "no control byte reaches the terminal";
  EXPECT_EQ(text.find('\x07'), std::string::npos);
  EXPECT_EQ(count("in its bootloader"), 1u) << text;
  EXPECT_EQ(text.find("\\x8c"), std::string::npos) << "no piece of a call is shown: " << text;
}

TEST_F(DevLoop, TheMonitorGoesOnAfterTheCheckWithTimestampsAndEndsWith6WhenTheLineDies) {
  SimConfig config;
  config.appText = "app up\r\nready";
  const std::string port = board(config);
  start({"program", image, "--port", port, "--launch", "--expect", "app up", "--monitor",
         "--timestamps"});
  ASSERT_TRUE(waitForCount("] ready", 1)) << readText(out);
  simControl(sim, "unplug");
  EXPECT_EQ(end(), 6) << readText(out);
  const std::string text = readText(out);
  EXPECT_NE(text.find("The application answered: \"app up\""), std::string::npos) << text;
  EXPECT_NE(text.find("\n[    0."), std::string::npos) << "seconds since the launch: " << text;
  EXPECT_EQ(text.find("] app up"), std::string::npos) << "the answered line is not shown again";
  EXPECT_NE(text.find("the line to the target died while monitoring"), std::string::npos);

  // A failed check is the run's code when the monitor is ended.
  simReset(sim);
  start({"program", image, "--port", port, "--launch", "--expect", "never", "--expect-timeout", "1",
         "--monitor"});
  ASSERT_TRUE(waitForCount("Monitoring the application", 1)) << readText(out);
  kill(pid, SIGTERM);
  EXPECT_EQ(end(), 8) << readText(out);
}

TEST_F(DevLoop, CtrlCWhileProgrammingStaysInterrupted) {
  SimConfig config;
  config.eraseBlockMs = 2000;
  const std::string port = board(config);
  start({"program", image, "--port", port, "--launch", "--monitor"});
  ASSERT_TRUE(waitForCount("Connected to the target", 1)) << readText(out);
  kill(pid, SIGINT);
  EXPECT_EQ(end(), 130) << readText(out);
}

TEST_F(DevLoop, EachChangeIsProgrammedABadFileNeverAndTheSameDataOnlyWhenForced) {
  const std::string port = board();
  const std::string db = dir + "/line.sqlite";
  start({"program", image, "--port", port, "--watch", "--settle-ms", "300", "--report", "-", "--db",
         db, "--db-spool", dir + "/spool.sqlite"});
  ASSERT_TRUE(waitForCount("Round 1: programmed", 1)) << readText(out);
  write(image, ImageB);
  resetWhenAsked(2);
  ASSERT_TRUE(waitForCount("Round 2: programmed", 1)) << readText(out);
  EXPECT_EQ(flash(0x4000, 4), (std::vector<uint8_t>{0x11, 0x12, 0x13, 0x14}));

  // A broken build: told, the board untouched, and the next good one taken.
  const size_t sent = simHostBytes(sim).size();
  write(image, "00004000 11 GG\n");
  ASSERT_TRUE(waitForCount("Round 3: file error", 1)) << readText(out);
  EXPECT_EQ(simHostBytes(sim).size(), sent) << "nothing was sent";
  write(image, ImageA);
  resetWhenAsked(3);
  ASSERT_TRUE(waitForCount("Round 4: programmed", 1)) << readText(out);
  EXPECT_EQ(flash(0x4000, 4), (std::vector<uint8_t>{0x01, 0x02, 0x03, 0xFF})) << "erased, then A";

  // The same segments, written otherwise: not programmed again.
  write(image, "00004000\n01\n02 03\n");
  ASSERT_TRUE(waitForCount("holds the same data as the board", 1)) << readText(out);

  // Rename-over, then delete-and-recreate, as editors and builds do.
  write(dir + "/app.tmp", ImageB);
  ASSERT_EQ(rename((dir + "/app.tmp").c_str(), image.c_str()), 0);
  resetWhenAsked(4);
  ASSERT_TRUE(waitForCount("Round 5: programmed", 1)) << readText(out);
  ASSERT_EQ(unlink(image.c_str()), 0);
  ASSERT_TRUE(waitForCount("is gone", 1)) << readText(out);
  write(image, "00004000 21 22 23 24\n");
  resetWhenAsked(5);
  ASSERT_TRUE(waitForCount("Round 6: programmed", 1)) << readText(out);
  EXPECT_EQ(flash(0x4000, 4), (std::vector<uint8_t>{0x21, 0x22, 0x23, 0x24}));

  kill(pid, SIGINT);
  EXPECT_EQ(end(), 0) << "the last round's code: " << readText(out);
  const std::vector<nlohmann::json> lines = reportLines(readText(out));
  ASSERT_EQ(lines.size(), 6u) << "one line a round: " << readText(out);
  EXPECT_EQ(lines[2]["outcome"], "file-error");
  EXPECT_EQ(lines[5]["outcome"], "success");

  // With --db each round is also a row of the record, newest first.
  const std::string history = dir + "/history.json";
  ASSERT_EQ(waitFor(spawnProgram(K4471_CLI, {"history", "--db", db, "--format", "json"}, history)),
            0)
      << readText(history);
  const nlohmann::json rows = nlohmann::json::parse(readText(history), nullptr, false);
  ASSERT_TRUE(rows.is_array() && rows.size() == 6u) << readText(history);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i]["outcome"], lines[5 - i]["outcome"]) << i;
    EXPECT_EQ(rows[i]["port"], port);
  }
}

TEST_F(DevLoop, AFileWrittenSlowlyIsProgrammedOnceWholeAndForceProgramsTheSameData) {
  const std::string port = board();
  start({"program", image, "--port", port, "--watch", "--settle-ms", "1500", "--force"});
  ASSERT_TRUE(waitForCount("Round 1: programmed", 1)) << readText(out);
  // Each piece ends a line: a file taken too early would program a part.
  const char* const pieces[] = {"00004000 31 32\n", "33 34\n", "35 36\n", "37 38\n"};
  std::string whole;
  for (const char* piece : pieces) {
    whole += piece;
    write(image, whole);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  resetWhenAsked(2);
  ASSERT_TRUE(waitForCount("Round 2: programmed", 1)) << readText(out);
  EXPECT_EQ(flash(0x4000, 8),
            (std::vector<uint8_t>{0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38}));
  write(image, whole);  // the same data again: --force programs it
  resetWhenAsked(3);
  ASSERT_TRUE(waitForCount("Round 3: programmed", 1)) << readText(out);
  kill(pid, SIGTERM);
  EXPECT_EQ(end(), 0) << readText(out);
  EXPECT_EQ(count("Round "), 3u) << "one round a change: " << readText(out);
}

TEST_F(DevLoop, KeysOnATerminalAndEveryWayOutRestoresIt) {
  const std::string port = board();
  const std::string input = openTerminal();
  start({"program", image, "--port", port, "--watch"}, input);
  ASSERT_TRUE(waitForCount("(r: program again now, q: end)", 1)) << readText(out);
  EXPECT_FALSE(terminalCooked()) << "keys are read one at a time, not echoed";
  type('r');
  resetWhenAsked(2);
  ASSERT_TRUE(waitForCount("Round 2: programmed", 1)) << readText(out);
  ASSERT_TRUE(waitForCount("(r: program again now, q: end)", 2)) << readText(out);
  type('q');
  EXPECT_EQ(end(), 0) << readText(out);
  EXPECT_TRUE(terminalCooked());

  // Interrupted while waiting for the board's call inside a round: 130.
  simReset(sim);
  start({"program", image, "--port", port, "--watch"}, input);
  ASSERT_TRUE(waitForCount("Round 1: programmed", 1)) << readText(out);
  type('r');
  ASSERT_TRUE(waitForCount("reset the target now", 2)) << readText(out);
  kill(pid, SIGTERM);
  EXPECT_EQ(end(), 130) << readText(out);
  EXPECT_TRUE(terminalCooked());

  // A failed round, then Ctrl-C while waiting for a change: its code.
  write(image, "not an image\n");
  start({"program", image, "--port", port, "--watch"}, input);
  ASSERT_TRUE(waitForCount("Round 1: file error", 1)) << readText(out);
  kill(pid, SIGINT);
  EXPECT_EQ(end(), 3) << readText(out);
  EXPECT_TRUE(terminalCooked());
}

TEST_F(DevLoop, OverASerialServerTheBoardIsResetMonitoredAndProgrammedAgain) {
  SimConfig config;
  config.appText = "app {u32le@0x4000}";
  config.listen = "127.0.0.1:0";
  config.rfc2217 = true;
  config.resetOn = "dtr";
  board(config);
  const std::string port = "rfc2217://127.0.0.1:" + std::to_string(simListenPort(sim));
  start({"program", image, "--port", port, "--watch", "--reset", "dtr", "--reset-ms", "50",
         "--settle-ms", "200", "--launch", "--monitor"});
  ASSERT_TRUE(waitForCount("app 4278387201", 1)) << "A's first bytes: " << readText(out);
  write(image, ImageB);
  ASSERT_TRUE(waitForCount("app 336794129", 1)) << "reset by the tool: " << readText(out);
  EXPECT_EQ(flash(0x4000, 4), (std::vector<uint8_t>{0x11, 0x12, 0x13, 0x14}));
  kill(pid, SIGINT);
  EXPECT_EQ(end(), 0) << "ended while monitoring: " << readText(out);
  EXPECT_EQ(count("Round "), 2u) << readText(out);
}

TEST_F(DevLoop, OptionsThatDoNotGoWithTheLoopAreRefused) {
  const std::string port = board();
  const std::vector<std::vector<std::string>> refused = {
      {"program", "-", "--port", port, "--watch"},
      {"program", image, "--port", port, "--watch", "--loop"},
      {"program", image, "--port", port, "--watch", "--count", "2"},
      {"program", image, "--port", port, "--watch", "--serial-at", "0x7FF0", "--serial-start", "1"},
      {"program", image, "--port", port, "--port", dir + "/other.tty", "--watch"},
      {"program", image, "--port", port, "--monitor"},
      {"program", image, "--port", port, "--force"},
  };
  for (const std::vector<std::string>& arguments : refused) {
    start(arguments);
    EXPECT_EQ(end(), 2) << readText(out);
  }
  EXPECT_TRUE(simHostBytes(sim).empty()) << "nothing reached the board";
}

}  // namespace
