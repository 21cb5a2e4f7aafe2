// A station end to end: the real k4471-cli program numbering, retrying and
// looping over simulated boards on pseudo-terminals.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulator.h"
#include "tests/native/sim_boards.h"
#include "tests/native/cli_runner.h"
#include "tests/native/pty_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t u32At(const Bytes& flash, uint32_t address) {
  return flash[address] | flash[address + 1] << 8 | flash[address + 2] << 16 |
         static_cast<uint32_t>(flash[address + 3]) << 24;
}

const char* const Image = "00004000\n01 02 03 04 05\n00004100 06 07\n";

class Station : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    image = dir + "/app.hex";
    std::ofstream(image) << Image;
  }
  void TearDown() override {
    stopSimBoards(&boards);
    removeScratchDir(dir);
  }
  std::string board(const std::string& name, SimConfig config = SimConfig()) {
    return startSimBoard(&boards, dir + "/" + name, config);
  }
  // The command's arguments after "program IMAGE".
  std::vector<std::string> program(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"program", image});
    return arguments;
  }
  std::string dir, image;
  SimBoards boards;
  std::vector<Simulator*>& sims = boards.sims;
};

TEST_F(Station, LoopsOverThreeBoardsEachWithItsOwnNumber) {
  SimConfig config;
  config.nextBoardMs = 700;  // the fixture reloaded a bit after the swap window
  const std::string memory = dir + "/flash{board}.bin";
  config.memoryOut = memory.c_str();
  std::string port = board("a.tty", config);
  const std::string out = dir + "/out.txt", report = dir + "/report.json";
  const int code = waitFor(
      spawnProgram(K4471_CLI,
                   program({"--port", port, "--loop", "--count", "3", "--swap-seconds", "0.5",
                            "--serial-at", "0x7FF0", "--serial-start", "1000", "--report", report}),
                   out));
  const std::string said = readText(out);
  EXPECT_EQ(code, 0) << said;
  EXPECT_NE(said.find("3 boards: 3 passed, 0 failed."), std::string::npos) << said;
  EXPECT_NE(said.find("The next free serial number is 1003."), std::string::npos) << said;
  // Each board's bars start empty: every board is erased whole, and no bar runs past its end.
  size_t erased = 0;
  for (size_t at = said.find("erased"); at != std::string::npos; at = said.find("erased", at + 1)) {
    ++erased;
  }
  EXPECT_EQ(erased, 3u) << said;
  EXPECT_EQ(said.find("programming 125%"), std::string::npos) << said;
  const std::vector<nlohmann::json> lines = reportLines(readText(report));
  ASSERT_EQ(lines.size(), 3u);
  std::set<std::string> digests;
  for (unsigned i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[i]["board"], i + 1);
    EXPECT_EQ(lines[i]["serial"], 1000 + i);
    EXPECT_EQ(lines[i]["attempt"], 1);
    digests.insert(lines[i]["image_sha256"].get<std::string>());
    const std::string flash = readText(dir + "/flash" + std::to_string(i + 1) + ".bin");
    ASSERT_GE(flash.size(), 0x8000u);
    const Bytes bytes(flash.begin(), flash.end());
    EXPECT_EQ(u32At(bytes, 0x7FF0), 1000 + i) << "board " << i + 1;
    EXPECT_EQ(Bytes(bytes.begin() + 0x4000, bytes.begin() + 0x4005), (Bytes{1, 2, 3, 4, 5}));
  }
  EXPECT_EQ(digests.size(), 3u) << "each board's programmed data differs by its number";
}

TEST_F(Station, ABoardThatRestartsIsNotTakenForTheNextOne) {
  SimConfig config;
  config.nextBoardMs = 100;  // calls again at once: the same board restarting
  std::string port = board("a.tty", config);
  const std::string out = dir + "/out.txt";
  const pid_t pid =
      spawnProgram(K4471_CLI,
                   program({"--port", port, "--loop", "--swap-seconds", "1", "--serial-at",
                            "0x7FF0", "--serial-start", "7", "--report", "-"}),
                   out);
  ASSERT_TRUE(waitForWords(out, "restarted; replace it")) << readText(out);
  // The board calls on: the station hears twenty-five more calls of it.
  Simulator* sim = sims[0];
  const int calls = simStatus(sim).callsSent;
  ASSERT_TRUE(waitUntil([&] { return simStatus(sim).callsSent >= calls + 25; }));
  kill(pid, SIGTERM);
  EXPECT_EQ(waitFor(pid), 0) << "stopped between boards, every board passed";
  const std::string said = readText(out);
  EXPECT_EQ(reportLines(said).size(), 1u) << said;
  EXPECT_EQ(said.find("restarted"), said.rfind("restarted")) << "told once\n" << said;
  EXPECT_NE(said.find("The next free serial number is 8."), std::string::npos) << said;
}

TEST_F(Station, TwoStationsShareASerialFileWithoutGivingANumberTwice) {
  std::string a = board("a.tty"), b = board("b.tty"), c = board("c.tty");
  const std::string numbers = dir + "/serial.txt";
  std::ofstream(numbers) << "41\n";
  const std::vector<std::string> serial = {"--serial-at",   "0x7FF0", "--serial-format", "ascii:6",
                                           "--serial-file", numbers,  "--report",        "-"};
  std::vector<std::string> gang = program({"--port", a, "--port", b}), one = program({"--port", c});
  gang.insert(gang.end(), serial.begin(), serial.end());
  one.insert(one.end(), serial.begin(), serial.end());
  const pid_t first = spawnProgram(K4471_CLI, gang, dir + "/gang.txt");
  const pid_t second = spawnProgram(K4471_CLI, one, dir + "/one.txt");
  EXPECT_EQ(waitFor(first), 0) << readText(dir + "/gang.txt");
  EXPECT_EQ(waitFor(second), 0) << readText(dir + "/one.txt");
  EXPECT_EQ(readText(numbers), "44\n");
  std::set<std::string> given;
  for (Simulator* sim : sims) {
    const Bytes flash = simFlash(sim);
    given.insert(std::string(flash.begin() + 0x7FF0, flash.begin() + 0x7FF6));
  }
  EXPECT_EQ(given, (std::set<std::string>{"000041", "000042", "000043"}));
  const auto lines = reportLines(readText(dir + "/gang.txt"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0]["serial"], lines[1]["serial"]);
}

TEST_F(Station, ABoardThatFailsIsProgrammedAgainAtItsNextCallWithItsNumber) {
  SimConfig config;
  config.unexpectedReplyToFrame = 2;  // the erase is refused
  std::string port = board("a.tty", config);
  const std::string out = dir + "/out.txt";
  const pid_t pid = spawnProgram(K4471_CLI,
                                 program({"--port", port, "--retries", "2", "--serial-at", "0x7FF0",
                                          "--serial-start", "5", "--report", "-"}),
                                 out);
  ASSERT_TRUE(waitForWords(out, "Attempt 1 of 3 failed")) << readText(out);
  simControl(sims[0], "set unexpected-reply 0");
  simReset(sims[0]);  // the person presses reset
  EXPECT_EQ(waitFor(pid), 0) << readText(out);
  const std::string said = readText(out);
  const auto lines = reportLines(said);
  ASSERT_EQ(lines.size(), 2u) << said;
  EXPECT_EQ(lines[0]["attempt"], 1);
  EXPECT_NE(lines[0]["exit_code"], 0);
  EXPECT_EQ(lines[1]["attempt"], 2);
  EXPECT_EQ(lines[1]["exit_code"], 0);
  EXPECT_EQ(lines[0]["serial"], 5);
  EXPECT_EQ(lines[1]["serial"], 5) << "a board keeps its number through its retries";
  EXPECT_EQ(u32At(simFlash(sims[0]), 0x7FF0), 5u);
  EXPECT_NE(said.find("The next free serial number is 6."), std::string::npos) << said;
}

// A stop while the station waits for the next board ends it well; one in the
// middle of a board reports that board as interrupted.
TEST_F(Station, AStopBetweenBoardsEndsWellAndOneInsideABoardInterruptsIt) {
  SimConfig config;
  config.nextBoardMs = 60000;  // the next board is long in coming
  std::string port = board("a.tty", config);
  const std::string out = dir + "/out.txt", between = dir + "/between.json",
                    inside = dir + "/inside.json";
  pid_t pid =
      spawnProgram(K4471_CLI, program({"--port", port, "--loop", "--report", between}), out);
  ASSERT_TRUE(waitForWords(between, "\"board\":1")) << readText(out);
  ASSERT_TRUE(waitForWords(out, "board 1 passed")) << readText(out);
  ASSERT_TRUE(waitUntil([&] { return holdsOpen(pid, port); })) << "waits on the port";
  kill(pid, SIGTERM);
  EXPECT_EQ(waitFor(pid), 0) << readText(out);
  ASSERT_EQ(reportLines(readText(between)).size(), 1u);
  EXPECT_EQ(reportLines(readText(between))[0]["exit_code"], 0);

  simControl(sims[0], "set erase-block-ms 1000");  // the erase takes three seconds
  simReset(sims[0]);
  pid = spawnProgram(K4471_CLI, program({"--port", port, "--loop", "--report", inside}), out);
  Simulator* sim = sims[0];
  ASSERT_TRUE(waitUntil([sim] { return simStatus(sim).framesReceived >= 2; }))
      << "the erase has started\n"
      << readText(out);
  const auto stopped = std::chrono::steady_clock::now();
  kill(pid, SIGTERM);
  EXPECT_EQ(waitFor(pid), 130) << readText(out);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(2));
  const auto lines = reportLines(readText(inside));
  ASSERT_EQ(lines.size(), 1u) << readText(out);
  EXPECT_EQ(lines[0]["outcome"], "interrupted");
  EXPECT_EQ(lines[0]["exit_code"], 130);
}

// Two boards at once, one of them failing once: each attempt has its line,
// and the run ends well once the retry passed.
TEST_F(Station, AGangRetriesTheBoardThatFailedAtItsNextCall) {
  SimConfig config;
  config.unexpectedReplyToFrame = 2;  // the erase is refused
  std::string a = board("a.tty", config), b = board("b.tty");
  const std::string out = dir + "/out.txt", report = dir + "/report.json";
  const pid_t pid = spawnProgram(
      K4471_CLI, program({"--port", a, "--port", b, "--retries", "1", "--report", report}), out);
  ASSERT_TRUE(waitForWords(report, a)) << readText(out);
  simControl(sims[0], "set unexpected-reply 0");
  simReset(sims[0]);  // the person presses reset
  EXPECT_EQ(waitFor(pid), 0) << readText(out);
  std::vector<nlohmann::json> onA, onB;
  for (const nlohmann::json& line : reportLines(readText(report))) {
    (line["port"] == a ? onA : onB).push_back(line);
  }
  ASSERT_EQ(onA.size(), 2u) << readText(report);
  EXPECT_EQ(onA[0]["attempt"], 1);
  EXPECT_EQ(onA[0]["exit_code"], 6);
  EXPECT_EQ(onA[1]["attempt"], 2);
  EXPECT_EQ(onA[1]["exit_code"], 0);
  ASSERT_EQ(onB.size(), 1u) << readText(report);
  EXPECT_EQ(onB[0]["port"], b);
  EXPECT_EQ(onB[0]["attempt"], 1);
  EXPECT_EQ(onB[0]["exit_code"], 0);
  EXPECT_EQ(simFlash(sims[0]), simFlash(sims[1])) << "both boards hold the image";
}

// A gang's board that fails every attempt, and one whose application gives
// the wrong answer: what their workers say (the retried attempt, the error)
// reaches the terminal only through the parent, each line with its port, also
// when quiet: no line comes without one.
TEST_F(Station, AGangWorkersFailureLinesComeWithThePort) {
  for (const char* quiet : {"", "-q"}) {
    SCOPED_TRACE(*quiet ? quiet : "not quiet");
    SimConfig config, answers;
    config.unexpectedReplyToFrame = 2;  // every erase is refused
    answers.appText = "app down";
    const std::string name = std::string(*quiet ? "q" : "") + "a.tty";
    std::string a = board(name, config), b = board("b" + name, answers);
    const std::string out = dir + "/out" + quiet + ".txt";
    std::vector<std::string> arguments =
        program({"--port", a, "--port", b, "--retries", "1", "--launch", "--expect", "app up",
                 "--expect-timeout", "2"});
    if (*quiet) arguments.push_back(quiet);
    const pid_t pid = spawnProgram(K4471_CLI, arguments, out);
    ASSERT_TRUE(waitForWords(out, a + ": Attempt 1 of 2 failed")) << readText(out);
    simReset(sims[sims.size() - 2]);  // the person presses reset: it fails again
    EXPECT_NE(waitFor(pid), 0) << readText(out);
    const std::string said = readText(out);
    size_t start = 0;
    for (size_t end = said.find('\n'); end != std::string::npos; end = said.find('\n', start)) {
      const std::string line = said.substr(start, end - start);
      start = end + 1;
      // The parent's own lines: its start line, its table and its summary.
      const bool parents = line.empty() || line.rfind("Programming 2 targets", 0) == 0 ||
                           line.rfind("PORT ", 0) == 0 || line.rfind("2 of 2 targets", 0) == 0 ||
                           line.rfind(a + " ", 0) == 0 || line.rfind(b + " ", 0) == 0;
      const bool ported = line.rfind(a + ": ", 0) == 0 || line.rfind(b + ": ", 0) == 0;
      EXPECT_TRUE(parents || ported) << "a line without its port: " << line << "\n" << said;
    }
    EXPECT_EQ(start, said.size()) << "the last line ends: " << said;
    EXPECT_NE(said.find(b + ": error: "), std::string::npos) << said;
  }
}

size_t occurrences(const std::string& text, const std::string& words) {
  size_t count = 0;
  for (size_t at = text.find(words); at != std::string::npos; at = text.find(words, at + 1)) {
    ++count;
  }
  return count;
}

// A worker killed inside a board leaves that board's line with its number,
// serial number and attempt; one killed between boards counts no board. Both
// fail the station, whose summary names their ports.
TEST_F(Station, AKilledWorkerKeepsItsBoardAndOneKilledBetweenBoardsCountsNone) {
  SimConfig slow, quick;
  slow.eraseBlockMs = 10000;  // killed long before its erase ends
  quick.nextBoardMs = 60000;  // the next board is long in coming
  const std::string a = board("a.tty", slow), b = board("b.tty", quick);
  const std::string out = dir + "/out.txt", report = dir + "/report.json";
  const pid_t pid = spawnProgram(K4471_CLI,
                                 program({"--port", a, "--port", b, "--loop", "--serial-at",
                                          "0x7FF0", "--serial-start", "500", "--report", report}),
                                 out);
  ASSERT_TRUE(waitForWords(report, b, 10000)) << readText(out);
  for (int waited = 0; waited < 10000 && simStatus(sims[0]).framesReceived < 2; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(simStatus(sims[0]).framesReceived, 2) << "a's erase has started\n" << readText(out);
  const pid_t onA = gangWorker(pid, a, 5000), onB = gangWorker(pid, b, 5000);
  ASSERT_GT(onA, 0);
  ASSERT_GT(onB, 0);
  kill(onB, SIGKILL);
  kill(onA, SIGKILL);
  EXPECT_EQ(waitFor(pid), 7) << readText(out);
  const std::string said = readText(out);
  const auto lines = reportLines(readText(report));
  ASSERT_EQ(lines.size(), 2u) << readText(report);
  const nlohmann::json& died = lines[0]["port"] == a ? lines[0] : lines[1];
  const nlohmann::json& passed = lines[0]["port"] == a ? lines[1] : lines[0];
  EXPECT_EQ(passed["outcome"], "success");
  EXPECT_EQ(died["outcome"], "worker-died");
  EXPECT_EQ(died["exit_code"], 137);
  ASSERT_TRUE(died.contains("board") && died.contains("serial")) << died.dump();
  EXPECT_EQ(died["board"].get<int>() + passed["board"].get<int>(), 3) << "boards 1 and 2";
  EXPECT_EQ(died["serial"], 499 + died["board"].get<int>()) << "the number handed to it";
  EXPECT_EQ(passed["serial"], 499 + passed["board"].get<int>());
  EXPECT_EQ(died["attempt"], 1);
  EXPECT_NE(said.find("2 boards: 1 passed, 1 failed."), std::string::npos) << said;
  EXPECT_NE(said.find("The worker died on " + a + ", " + b + "."), std::string::npos) << said;
  const std::string rowOfB = said.substr(said.rfind("\n" + b + " "));
  EXPECT_NE(rowOfB.find("killed by signal 9"), std::string::npos) << said;
  EXPECT_EQ(rowOfB.substr(0, rowOfB.find('\n', 1)).find("partial image"), std::string::npos)
      << "no board was in hand\n"
      << said;
}

// A gang's worker killed while its board waits for its retry: the board's
// line names the attempt that died, with the board's number and serial number.
TEST_F(Station, AGangWorkerKilledInARetryReportsThatAttempt) {
  SimConfig config;
  config.unexpectedReplyToFrame = 2;  // the erase is refused; no call follows
  const std::string a = board("a.tty", config), b = board("b.tty");
  const std::string out = dir + "/out.txt", report = dir + "/report.json";
  const pid_t pid = spawnProgram(K4471_CLI,
                                 program({"--port", a, "--port", b, "--retries", "2", "--serial-at",
                                          "0x7FF0", "--serial-start", "30", "--report", report}),
                                 out);
  ASSERT_TRUE(waitForWords(report, a, 10000)) << readText(out);
  const pid_t onA = gangWorker(pid, a, 5000);
  ASSERT_GT(onA, 0);
  kill(onA, SIGKILL);
  EXPECT_EQ(waitFor(pid), 7) << readText(out);
  std::vector<nlohmann::json> onPortA;
  for (const nlohmann::json& line : reportLines(readText(report))) {
    if (line["port"] == a) onPortA.push_back(line);
  }
  ASSERT_EQ(onPortA.size(), 2u) << readText(report);
  EXPECT_EQ(onPortA[0]["attempt"], 1);
  EXPECT_EQ(onPortA[0]["exit_code"], 6);
  EXPECT_EQ(onPortA[1]["outcome"], "worker-died");
  EXPECT_EQ(onPortA[1]["attempt"], 2);
  EXPECT_EQ(onPortA[1]["board"], 1);
  EXPECT_EQ(onPortA[1]["serial"], 30);
}

// A port that goes away is told once, with why, and once when it is back,
// also when quiet; meanwhile nothing else is said of it. The station takes
// the next board once it is back.
TEST_F(Station, APortThatGoesAwayIsToldOnceAndOnceWhenItIsBack) {
  SimConfig config;
  config.nextBoardMs = 60000;  // no board calls until the port is back
  const std::string port = board("a.tty", config);
  for (const bool quiet : {false, true}) {
    SCOPED_TRACE(quiet ? "quiet" : "plain");
    const std::string out = dir + (quiet ? "/quiet.txt" : "/plain.txt"),
                      report = dir + (quiet ? "/quiet.json" : "/plain.json");
    std::vector<std::string> arguments = program(
        {"--port", port, "--loop", "--count", "2", "--swap-seconds", "0.2", "--report", report});
    if (quiet) arguments.push_back("--quiet");
    simReset(sims[0]);  // the first board calls
    const pid_t pid = spawnProgram(K4471_CLI, arguments, out);
    ASSERT_TRUE(waitForWords(report, "\"board\":1", 10000)) << readText(out);
    simControl(sims[0], "unplug");
    const std::string away = port + ": the port went away: gone (";
    ASSERT_TRUE(waitForWords(out, away, 10000)) << readText(out);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // time to repeat itself
    simReset(sims[0]);  // plugged in again, and the next board calls
    EXPECT_EQ(waitFor(pid), 0) << readText(out);
    const std::string said = readText(out);
    EXPECT_EQ(occurrences(said, "went away"), 1u) << said;
    EXPECT_EQ(occurrences(said, port + ": the port is back"), 1u) << said;
    EXPECT_EQ(said.find("Cannot Connect"), std::string::npos) << said;
    if (quiet) {
      EXPECT_EQ(said.find("Connected to the target"), std::string::npos) << said;
    }
    EXPECT_EQ(reportLines(readText(report)).size(), 2u);
  }
}

TEST_F(Station, RefusesBadSerialAndStationOptionsBeforeTheBoardIsAddressed) {
  std::string port = board("a.tty");
  const std::string junk = dir + "/junk.txt";
  std::ofstream(junk) << "forty-one\n";
  const struct {
    std::vector<std::string> options;
    int code;
    const char* words;
  } cases[] = {
      {{"--serial-at", "0x7FF0", "--serial-file", junk}, 3, "is not a serial number"},
      {{"--serial-at", "0x7FF0", "--serial-start", "4294967296"}, 2, "does not fit u32le"},
      {{"--serial-at", "0xFFFFFFFE", "--serial-start", "1"}, 2, "past address 0xFFFFFFFF"},
      {{"--serial-at", "0x80000", "--serial-start", "1", "--flash", "0:0x80000"},
       2,
       "outside the flash"},
      {{"--serial-at", "0x100", "--serial-start", "1", "--flash", "0:0x80000", "--boot-region",
        "0:0x4000"},
       2,
       "in the boot region"},
      {{"--serial-at", "0x7FF0"}, 2, "--serial-at needs --serial-start N, --serial-file FILE"},
      {{"--serial-start", "1"}, 2, "need --serial-at ADDR"},
      {{"--serial-at", "0x7FF0", "--serial-start", "1", "--serial-format", "u16"},
       2,
       "not a serial format"},
      {{"--loop", "--retries", "1"}, 2, "--retries with --loop needs --reset"},
  };
  const std::string out = dir + "/out.txt";
  for (const auto& refused : cases) {
    std::vector<std::string> arguments = program({"--port", port});
    arguments.insert(arguments.end(), refused.options.begin(), refused.options.end());
    EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, arguments, out)), refused.code) << readText(out);
    EXPECT_NE(readText(out).find(refused.words), std::string::npos) << refused.words << "\n"
                                                                    << readText(out);
  }
  EXPECT_TRUE(simHostBytes(sims[0]).empty()) << "nothing reached the board";
  EXPECT_EQ(readText(junk), "forty-one\n");
}

// Two stations name one counter, one through a symbolic link: each resolves
// it at its start and locks the file it leads to, so no number is given
// twice, and no second lock appears beside the link.
TEST_F(Station, TwoStationsNamingOneCounterThroughALinkNeverGiveANumberTwice) {
  SimConfig config;
  config.nextBoardMs = 300;
  std::string a = board("a.tty", config), b = board("b.tty", config);
  const std::string counter = dir + "/counter.txt", link = dir + "/link";
  std::ofstream(counter) << "100\n";
  ASSERT_EQ(symlink("counter.txt", link.c_str()), 0);
  auto station = [&](const std::string& port, const std::string& file, const std::string& name) {
    return spawnProgram(
        K4471_CLI,
        program({"--port", port, "--loop", "--count", "6", "--swap-seconds", "0.2", "--serial-at",
                 "0x7FF0", "--serial-file", file, "--report", dir + "/" + name + ".json"}),
        dir + "/" + name + ".txt");
  };
  const pid_t first = station(a, counter, "first"), second = station(b, link, "second");
  EXPECT_EQ(waitFor(first), 0) << readText(dir + "/first.txt");
  EXPECT_EQ(waitFor(second), 0) << readText(dir + "/second.txt");
  std::multiset<uint64_t> given;
  for (const char* name : {"first", "second"}) {
    const auto lines = reportLines(readText(dir + "/" + name + ".json"));
    EXPECT_EQ(lines.size(), 6u) << name;
    for (const nlohmann::json& line : lines) {
      EXPECT_EQ(line["exit_code"], 0);
      given.insert(line["serial"].get<uint64_t>());
    }
  }
  std::set<uint64_t> distinct(given.begin(), given.end());
  EXPECT_EQ(distinct.size(), given.size()) << "a number given twice";
  EXPECT_EQ(distinct,
            (std::set<uint64_t>{100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111}));
  EXPECT_EQ(readText(counter), "112\n");
  struct stat about;
  ASSERT_EQ(lstat(link.c_str(), &about), 0);
  EXPECT_TRUE(S_ISLNK(about.st_mode)) << "the link is kept";
  EXPECT_NE(access((link + ".lock").c_str(), F_OK), 0) << "the lock lies beside the file only";
  EXPECT_EQ(access((counter + ".lock").c_str(), F_OK), 0);
}

// The same, made certain: while another station holds the lock on the file,
// a station that names it through a link waits, and then takes the number
// that station left.
TEST_F(Station, AStationNamingTheCounterThroughALinkWaitsForTheLockOnItsFile) {
  std::string port = board("a.tty");
  const std::string counter = dir + "/counter.txt", link = dir + "/link";
  std::ofstream(counter) << "41\n";
  ASSERT_EQ(symlink(counter.c_str(), link.c_str()), 0);
  const int held = open((counter + ".lock").c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const std::string out = dir + "/out.txt";
  const pid_t pid = spawnProgram(
      K4471_CLI,
      program({"--port", port, "--serial-at", "0x7FF0", "--serial-file", link, "--report", "-"}),
      out);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  std::ofstream(counter) << "500\n";  // what the other station left
  flock(held, LOCK_UN);
  close(held);
  EXPECT_EQ(waitFor(pid), 0) << readText(out);
  const auto lines = reportLines(readText(out));
  ASSERT_EQ(lines.size(), 1u) << readText(out);
  EXPECT_EQ(lines[0]["serial"], 500);
  EXPECT_EQ(u32At(simFlash(sims[0]), 0x7FF0), 500u);
  EXPECT_EQ(readText(counter), "501\n");
}

// A counter that reaches its format's end: the last number is given, the
// next board is not addressed, the station takes no more and ends with 3;
// the file is never advanced past a number that does not fit.
TEST_F(Station, AStationWhoseCounterReachesItsFormatsEndStopsThere) {
  SimConfig config;
  config.nextBoardMs = 300;
  const std::string memory = dir + "/flash{board}.bin";
  config.memoryOut = memory.c_str();
  std::string port = board("a.tty", config);
  const std::string counter = dir + "/counter.txt", report = dir + "/report.json",
                    out = dir + "/out.txt";
  std::ofstream(counter) << "998\n";
  const int code =
      waitFor(spawnProgram(K4471_CLI,
                           program({"--port", port, "--loop", "--count", "5", "--swap-seconds",
                                    "0.2", "--serial-at", "0x7FF0", "--serial-format", "ascii:3",
                                    "--serial-file", counter, "--report", report}),
                           out));
  const std::string said = readText(out);
  EXPECT_EQ(code, 3) << said;
  EXPECT_NE(said.find("2 boards: 2 passed, 0 failed."), std::string::npos) << said;
  EXPECT_NE(said.find("No serial number is left after 999."), std::string::npos) << said;
  EXPECT_EQ(readText(counter), "1000\n") << "never advanced past 1000";
  const auto lines = reportLines(readText(report));
  ASSERT_EQ(lines.size(), 2u) << readText(report);
  EXPECT_EQ(lines[0]["serial"], 998);
  EXPECT_EQ(lines[1]["serial"], 999);
  EXPECT_EQ(simStatus(sims[0]).board, 3) << "the third board called";
  EXPECT_FALSE(readText(simMemoryOutPath(memory, 2)).empty());
  EXPECT_TRUE(readText(simMemoryOutPath(memory, 3)).empty()) << "and was not addressed";
}

// A single board that finds no number left when it calls (another station
// took the last one meanwhile) is not programmed, and the file stays.
TEST_F(Station, ABoardThatFindsNoNumberLeftWhenItCallsIsNotProgrammed) {
  std::string port = board("a.tty");
  simControl(sims[0], "set call-ms 0");  // the board is not on the fixture yet
  const std::string counter = dir + "/counter.txt", out = dir + "/out.txt";
  std::ofstream(counter) << "999\n";
  const Bytes before = simFlash(sims[0]);
  const pid_t pid = spawnProgram(
      K4471_CLI,
      program({"--port", port, "--wait", "10", "--serial-at", "0x7FF0", "--serial-format",
               "ascii:3", "--serial-file", counter, "--report", "-"}),
      out);
  ASSERT_TRUE(waitForWords(out, "reset the target now", 5000)) << readText(out);
  std::ofstream(counter) << "1000\n";  // another station took 999
  simControl(sims[0], "set call-ms 20");
  EXPECT_EQ(waitFor(pid), 3) << readText(out);
  const std::string said = readText(out);
  EXPECT_NE(said.find("No serial number is left after 999. The board is not programmed."),
            std::string::npos)
      << said;
  EXPECT_EQ(readText(counter), "1000\n");
  EXPECT_EQ(simStatus(sims[0]).recordsReceived, 0) << "nothing was programmed";
  EXPECT_EQ(simFlash(sims[0]), before);
  const auto lines = reportLines(said);
  ASSERT_EQ(lines.size(), 1u) << said;
  EXPECT_EQ(lines[0]["outcome"], "file-error");
  EXPECT_EQ(lines[0]["message"], "No serial number is left after 999.");
}

// --serial-start never wraps either: after 18446744073709551615 comes no
// number, in a station, a gang and a single board alike.
TEST_F(Station, NumbersCountedFromSerialStartNeverWrap) {
  SimConfig config;
  config.nextBoardMs = 300;
  std::string a = board("a.tty", config), b = board("b.tty");
  const std::string out = dir + "/out.txt";
  int code =
      waitFor(spawnProgram(K4471_CLI,
                           program({"--port", a, "--loop", "--count", "3", "--swap-seconds", "0.2",
                                    "--serial-at", "0x7FF0", "--serial-format", "u64le",
                                    "--serial-start", "18446744073709551615", "--report", "-"}),
                           out));
  std::string said = readText(out);
  EXPECT_EQ(code, 3) << said;
  auto lines = reportLines(said);
  ASSERT_EQ(lines.size(), 1u) << said;
  EXPECT_EQ(lines[0]["serial"], 18446744073709551615ull);
  EXPECT_NE(said.find("No serial number is left after 18446744073709551615."), std::string::npos)
      << said;
  EXPECT_EQ(said.find("The next free serial number"), std::string::npos) << said;
  EXPECT_EQ(simStatus(sims[0]).board, 2) << "the second board called and was not addressed";

  // A gang: the board without a number is not addressed.
  simReset(sims[0]);
  code = waitFor(spawnProgram(K4471_CLI,
                              program({"--port", a, "--port", b, "--serial-at", "0x7FF0",
                                       "--serial-start", "4294967295", "--report", "-"}),
                              out));
  said = readText(out);
  EXPECT_EQ(code, 3) << said;
  std::map<std::string, nlohmann::json> byPort = reportsByPort(said);
  ASSERT_EQ(byPort.size(), 2u) << said;
  EXPECT_EQ(byPort[a]["exit_code"], 0);
  EXPECT_EQ(byPort[a]["serial"], 4294967295u);
  EXPECT_EQ(byPort[b]["exit_code"], 3);
  EXPECT_EQ(byPort[b]["message"], "No serial number is left after 4294967295.");
  EXPECT_NE(said.find("No serial number is left after 4294967295."), std::string::npos) << said;
  EXPECT_TRUE(simHostBytes(sims[1]).empty()) << "nothing reached the board without a number";

  // One board: it gets the last number, and none is said to be left.
  code = waitFor(spawnProgram(K4471_CLI,
                              program({"--port", b, "--serial-at", "0x7FF0", "--serial-format",
                                       "u64le", "--serial-start", "18446744073709551615"}),
                              out));
  said = readText(out);
  EXPECT_EQ(code, 0) << said;
  EXPECT_NE(said.find("No serial number is left after 18446744073709551615."), std::string::npos)
      << said;
  EXPECT_EQ(said.find("The next free serial number"), std::string::npos) << said;
}

// What can be known before anyone is asked to reset a board is refused
// then: a serial file that could not be advanced, could not be kept as one
// counter or is read-only, and a report that would overwrite the counter.
TEST_F(Station, RefusesASerialFileThatCannotServeAsTheCounterBeforeTheBoardIsAddressed) {
  std::string port = board("a.tty");
  const std::string full = dir + "/full.txt", readOnly = dir + "/read-only.txt",
                    twice = dir + "/twice.txt", counter = dir + "/counter.txt",
                    nul = dir + "/nul.txt", newline = dir + "/newline.txt";
  std::ofstream(full) << "18446744073709551615\n";
  std::ofstream(readOnly) << "7\n";
  ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
  std::ofstream(twice) << "7\n";
  ASSERT_EQ(link(twice.c_str(), (dir + "/twice-again.txt").c_str()), 0);
  std::ofstream(counter) << "7\n";
  ASSERT_EQ(symlink("counter.txt", (dir + "/counter-link").c_str()), 0);
  ASSERT_EQ(symlink("counter.txt.lock", (dir + "/lock-link").c_str()), 0);  // no lock yet
  std::ofstream(nul) << std::string(
      "12\0"
      "34\n",
      5);
  std::ofstream(newline) << "12\n34\n";
  const struct {
    std::vector<std::string> options;
    int code;
    std::string words;
  } cases[] = {
      {{"--serial-file", full}, 3, "holds 18446744073709551615"},
      {{"--serial-file", readOnly}, 3, "is read-only"},
      {{"--serial-file", twice}, 3, "has 2 names (hard links)"},
      {{"--serial-file", nul}, 3, "\"12\\x0034\" is not a serial number"},
      {{"--serial-file", newline}, 3, "\"12\\n34\" is not a serial number"},
      // The report would overwrite the counter, or its lock.
      {{"--serial-file", counter, "--report", dir + "/lock-link"}, 2, "is the serial file's lock"},
      {{"--serial-file", counter, "--report", counter}, 2, "is the serial file"},
      {{"--serial-file", counter, "--report", dir + "/counter-link", "--report-append"},
       2,
       "is the serial file"},
      {{"--serial-file", dir + "/counter-link", "--report", counter + ".lock"},
       2,
       "is the serial file's lock"},
      {{"--serial-file", dir + "/counter-link", "--report", dir + "/lock-link", "--report-append"},
       2,
       "is the serial file's lock"},
  };
  const std::string out = dir + "/out.txt";
  for (const auto& refused : cases) {
    // (--wait: a station that went on would not wait for ever for the board.)
    std::vector<std::string> arguments =
        program({"--port", port, "--wait", "3", "--serial-at", "0x7FF0"});
    arguments.insert(arguments.end(), refused.options.begin(), refused.options.end());
    EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, arguments, out)), refused.code) << readText(out);
    EXPECT_NE(readText(out).find(refused.words), std::string::npos) << refused.words << "\n"
                                                                    << readText(out);
    EXPECT_EQ(readText(out).find("reset the target now"), std::string::npos) << readText(out);
  }
  EXPECT_TRUE(simHostBytes(sims[0]).empty()) << "nothing reached the board";
  EXPECT_EQ(readText(full), "18446744073709551615\n");
  EXPECT_EQ(readText(readOnly), "7\n");
  EXPECT_EQ(readText(twice), "7\n");
  EXPECT_EQ(readText(counter), "7\n");
  EXPECT_EQ(readText(counter + ".lock"), "");
}

}  // namespace
