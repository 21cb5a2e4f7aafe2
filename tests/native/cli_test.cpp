// The command line end to end: the real k4471-cli program against simulated
// targets on pseudo-terminals.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <cstring>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "image/image_snapshot.h"
#include "sim/simulator.h"
#include "tests/native/pty_peer.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;

struct Result {
  int code;
  std::string output;  // standard output and error together
};

// The run ended with the code and said the words.
void expectSays(const Result& result, int code, const std::string& words) {
  EXPECT_EQ(result.code, code) << result.output;
  EXPECT_NE(result.output.find(words), std::string::npos) << words << "\n" << result.output;
}

// Starts the command line with the standard streams the actions set up.
pid_t spawnCliWith(const std::vector<std::string>& arguments, posix_spawn_file_actions_t* actions) {
  std::vector<std::string> all = {K4471_CLI};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(actions);
  return pid;
}

// Starts the command line with its output going to a file.
pid_t spawnCli(const std::vector<std::string>& arguments, const std::string& outputPath,
               const char* input = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  return spawnCliWith(arguments, &actions);
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int waitFor(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const char* const Image = "00004000\n01 02 03 04 05\n00004100 06 07\n";

Bytes flashAt(Simulator* sim, uint32_t address, size_t count) {
  Bytes flash = simFlash(sim);
  return Bytes(flash.begin() + address, flash.begin() + address + count);
}

void expectImage(Simulator* sim) {
  EXPECT_EQ(flashAt(sim, 0x4000, 5), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(flashAt(sim, 0x4100, 2), (Bytes{6, 7}));
}

// A board back in its bootloader, without the image.
void wipe(Simulator* sim) {
  simReset(sim);
  simLoadFlash(sim, 0x4000, "\xFF\xFF\xFF\xFF\xFF", 5);
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    fifo = dir + "/image.fifo";
  }
  void TearDown() override {
    for (Simulator* sim : sims) simStop(sim);
    removeScratchDir(dir);
  }
  // A simulated board; returns its device.
  std::string board(const char* name, SimConfig config = SimConfig()) {
    std::string link = dir + "/" + name;
    config.linkPath = link.c_str();
    config.callMs = 20;
    config.eraseBlocks = 5;
    Simulator* sim = simStart(config);
    EXPECT_NE(sim, nullptr);
    sims.push_back(sim);
    return link;
  }
  Result run(const std::vector<std::string>& arguments, const char* input = "/dev/null") {
    std::string out = dir + "/out.txt";
    int code = waitFor(spawnCli(arguments, out, input));
    return {code, readText(out)};
  }
  // Starts the command line and signals it after `afterMs`: it must end within
  // `limitMs` of the signal.
  Result interrupt(const std::vector<std::string>& arguments, int afterMs, int signal,
                   int limitMs = 1000) {
    std::string out = dir + "/out.txt";
    pid_t pid = spawnCli(arguments, out);
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    auto start = std::chrono::steady_clock::now();
    kill(pid, signal);
    int code = waitFor(pid);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(limitMs));
    return {code, readText(out)};
  }
  // Runs the command while another thread writes the image into a FIFO, passed
  // as standard input when `asInput`.
  Result runFed(const std::vector<std::string>& arguments, bool asInput) {
    mkfifo(fifo.c_str(), 0600);
    std::thread writer([this] { std::ofstream(fifo) << Image; });
    Result result = run(arguments, asInput ? fifo.c_str() : "/dev/null");
    writer.join();
    return result;
  }
  std::string file(const char* name, const std::string& text) {
    std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
  std::string dir;
  std::string fifo;
  std::vector<Simulator*> sims;
};

TEST_F(Cli, HelpListsTheCommandsAndExitCodes) {
  Result help = run({"--help"});
  for (const char* words : {"program", "erase", "launch", "ports", "Exit codes", "130"}) {
    expectSays(help, 0, words);
  }
  EXPECT_EQ(run({"program"}).code, 2) << "a missing file is a usage error";
  EXPECT_EQ(run({"flash", "x.hex"}).code, 2);
  EXPECT_EQ(run({"program", "x.hex", "--simulate", "--port", "/dev/null"}).code, 2);
}

TEST_F(Cli, ProgramsAndLaunchesTheApplication) {
  std::string port = board("a.tty");
  Result result = run({"program", file("app.hex", Image), "--port", port, "--launch"});
  expectSays(result, 0, "Target Flash has been successfully programmed.");
  expectSays(result, 0, "reset the target");
  expectImage(sims[0]);
  simSettle(sims[0]);
  EXPECT_TRUE(simStatus(sims[0]).launched);
}

TEST_F(Cli, ErasesAndAsksFirstForTheEntireFlash) {
  std::string port = board("a.tty");
  expectSays(run({"erase", "--port", port}), 0, "Target Flash has been successfully erased.");

  simReset(sims[0]);  // the board waits in its bootloader until it is reset
  std::string yes = file("yes.txt", "yes\n");
  size_t before = simHostBytes(sims[0]).size();
  // No terminal to ask: a script must say --yes.
  expectSays(run({"erase", "--all", "--port", port}, yes.c_str()), 2,
             "erase --all needs --yes when there is no terminal to ask");
  EXPECT_EQ(simHostBytes(sims[0]).size(), before) << "nothing sent when not confirmed";

  simReset(sims[0]);
  expectSays(run({"erase", "--all", "--yes", "--port", port}), 0, "including the bootloader");
}

TEST_F(Cli, RefusesBadAndEmptyFilesAndFoldersWithoutTouchingThePort) {
  std::string port = board("a.tty");
  const char* const empty = "The selected HEX file holds no data.";
  for (auto [path, words] : std::vector<std::pair<std::string, std::string>>{
           {file("bad.hex", "00004000 01 0Q\n"), "line 1"},
           {dir + "/missing.hex", "No such file or directory"},
           {file("empty.hex", ""), empty},
           {file("blank.hex", " \n\t\n"), empty},
           {"/dev/null", empty},
           {dir, "is a directory"}}) {
    expectSays(run({"program", path, "--port", port}), 3, words);
  }
  EXPECT_TRUE(simHostBytes(sims[0]).empty());
}

TEST_F(Cli, ProgramsFromAFifoAndFromStandardInput) {
  std::string port = board("a.tty");
  EXPECT_EQ(runFed({"program", fifo, "--port", port}, false).code, 0);
  expectImage(sims[0]);
  wipe(sims[0]);
  EXPECT_EQ(runFed({"program", "-", "--port", port}, true).code, 0);
  expectImage(sims[0]);
}

TEST_F(Cli, RefusesPortsThatAreNotSerialBusyOrGivenTwice) {
  std::string image = file("app.hex", Image);
  const std::string none = dir + "/none.tty";
  expectSays(run({"program", image, "--port", none}), 4,
             "Cannot Connect to " + none + ": No such file or directory");
  for (std::string device : {std::string("/dev/null"), image}) {
    expectSays(run({"program", image, "--port", device}), 4, device + " is not a serial port");
  }

  std::string port = board("a.tty");
  expectSays(run({"program", image, "--port", port, "--port", port}), 2, "given twice");
  // Another process holds the port.
  int held = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  expectSays(run({"program", image, "--port", port}), 4, "port busy");
  close(held);
  EXPECT_TRUE(simHostBytes(sims[0]).empty());
}

TEST_F(Cli, ClosedPipesAndClosedStandardStreamsNeverStopARun) {
  std::string port = board("a.tty");
  std::string image = file("app.hex", Image);
  // Output into a pipe nobody reads any more, as with "| head".
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
  int code = waitFor(spawnCliWith({"program", image, "--port", port}, &actions));
  close(ends[1]);
  EXPECT_EQ(code, 0);
  expectImage(sims[0]);

  // No standard error at all: the progress must not go onto the serial line.
  wipe(sims[0]);
  int garbledBefore = simStatus(sims[0]).garbledFrames;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, 0);
  posix_spawn_file_actions_addclose(&actions, 2);
  code = waitFor(spawnCliWith({"program", image, "--port", port}, &actions));
  EXPECT_EQ(code, 0);
  expectImage(sims[0]);
  EXPECT_EQ(simStatus(sims[0]).garbledFrames, garbledBefore);
}

TEST_F(Cli, CommunicationAndEraseErrorsHaveTheirOwnCodes) {
  SimConfig garbled;
  garbled.garbleReplyToFrame = 3;  // the handshake, the start, then the first block
  std::string port = board("a.tty", garbled);
  expectSays(run({"program", file("app.hex", Image), "--port", port}), 6,
             "Communication Error with Target.");

  SimConfig unexpected;
  unexpected.unexpectedReplyToFrame = 2;  // the erase start
  Result erase = run({"erase", "--port", board("b.tty", unexpected)});
  EXPECT_EQ(erase.code, 6) << erase.output;  // the start refused: the link is lost
}

// A target that never calls, then one running its application that talks
// on and on.
TEST_F(Cli, SignalsEndTheWaitForASilentTargetAndOnALineThatNeverStopsTalking) {
  std::string port = board("a.tty");
  for (auto [control, signal] : {std::pair<const char*, int>{"set call-ms 0", SIGINT},
                                 {"set chatter-ms 2", SIGINT},
                                 {"set chatter-ms 2", SIGTERM}}) {
    simControl(sims[0], control);
    expectSays(interrupt({"program", file("app.hex", Image), "--port", port}, 600, signal), 130,
               "Interrupted");
  }
}

TEST_F(Cli, ConnectsEveryTimeToATargetWhoseCallsQueuedBeforeThePortOpened) {
  std::string port = board("a.tty");
  simControl(sims[0], "set call-ms 50");
  simControl(sims[0], "set stale-calls 3");
  for (int attempt = 0; attempt < 20; ++attempt) {
    simReset(sims[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(attempt % 3 * 40));
    Result result = run({"launch", "--port", port, "--wait", "5"});
    ASSERT_EQ(result.code, 0) << "attempt " << attempt << ": " << result.output;
  }
}

TEST_F(Cli, ALineThatDiesEndsTheRunAndOneThatDiesWhileWaitingIsWaitedFor) {
  // The board goes away during the erase.
  std::string port = board("a.tty");
  simControl(sims[0], "set erase-block-ms 200");
  std::string out = dir + "/out.txt";
  pid_t pid = spawnCli({"program", file("app.hex", Image), "--port", port}, out);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  simStop(sims[0]);
  sims.clear();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(waitFor(pid), 6) << readText(out);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_NE(readText(out).find("line to the target failed while erasing"), std::string::npos)
      << readText(out);

  // It goes away while the command waits for its call, and another comes.
  port = board("a.tty");
  simControl(sims[0], "set call-ms 0");
  pid = spawnCli({"program", file("app.hex", Image), "--port", port, "--wait", "10"}, out);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  simStop(sims[0]);
  sims.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  board("a.tty");
  EXPECT_EQ(waitFor(pid), 0) << readText(out);
  expectImage(sims[0]);
}

TEST_F(Cli, TimeLimitsNameTheWaitThatRanOut) {
  std::string port = board("a.tty");
  simControl(sims[0], "set silent-from 3");  // answers the start, then nothing
  expectSays(run({"program", file("app.hex", Image), "--port", port, "--timeout", "1"}), 6,
             "no reply from the target for 1 s while programming");

  simControl(sims[0], "set call-ms 0");
  simReset(sims[0]);
  auto start = std::chrono::steady_clock::now();
  expectSays(run({"launch", "--port", port, "--wait", "1"}), 6, "no target called");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

  // Past a year is refused, not wrapped; a long legal limit is kept whole.
  for (const char* option : {"--timeout", "--wait"}) {
    for (const char* seconds : {"31536001", "4294967296000", "1e3"}) {
      Result refused = run({"erase", "--port", port, option, seconds});
      EXPECT_EQ(refused.code, 2) << option << " " << seconds << "\n" << refused.output;
    }
  }
  expectSays(run({"erase", "--port", port, "--timeout", "31536001"}), 2,
             "at most 31536000 seconds (one year)");
  simControl(sims[0], "set call-ms 20");
  simReset(sims[0]);
  EXPECT_EQ(interrupt({"program", file("app.hex", Image), "--port", port, "--timeout", "4294968"},
                      2000, SIGTERM)
                .code,
            130);
}

// A board that restarts into its application in the middle of a run and
// prints text: the wait for each reply still ends --timeout after it began,
// for one board and in a gang.
TEST_F(Cli, ABoardThatTalksWithoutReplyingEndsTheRunAfterTheTimeout) {
  const std::string image = file("app.hex", Image);
  const std::string port = board("a.tty");
  struct Case {
    std::vector<std::string> arguments;
    const char* fault;
    int code;
    const char* words;
  } cases[] = {
      {{"program", image}, "set silent-from 3", 6, "for 2 s while programming; it sent other data"},
      {{"erase"}, "set silent-from 2", 6, "for 2 s while erasing; it sent other data"},
      {{"program", image, "--port", board("b.tty")}, "set silent-from 3", 7, "it sent other data"},
  };
  for (Case& c : cases) {
    for (const char* control : {"set chatter-ms 0", "set silent-from 0", "set erase-block-ms 0"}) {
      simControl(sims[0], control);
    }
    simReset(sims[0]);
    simControl(sims[0], c.fault);
    c.arguments.insert(c.arguments.end(), {"--port", port, "--timeout", "2"});
    std::string out = dir + "/out.txt";
    pid_t pid = spawnCli(c.arguments, out);
    auto start = std::chrono::steady_clock::now();
    while (simStatus(sims[0]).framesReceived < 1 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    simControl(sims[0], "set chatter-ms 5");
    start = std::chrono::steady_clock::now();
    int code = waitFor(pid);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    expectSays({code, readText(out)}, c.code, c.words);
  }
}

// A board on a paced line, and an image of 40 blocks: about a second of
// programming.
const std::string& longImage() {
  static std::string text;
  if (text.empty()) {
    text = "00004000\n";
    for (int i = 0; i < 40 * 256; ++i) text += i % 16 == 15 ? "A5\n" : "A5 ";
  }
  return text;
}

// A gang passes the signal on to its workers.
TEST_F(Cli, ASignalStopsTheRunBetweenBlocksAndSaysSo) {
  SimConfig paced;
  paced.baud = 115200;
  std::string a = board("a.tty", paced);
  std::string image = file("long.hex", longImage());
  Result one = interrupt({"program", image, "--port", a}, 500, SIGTERM, 2000);
  expectSays(one, 130, "Interrupted: the target holds a partial image; program it again.");
  EXPECT_EQ(one.output.find("successfully programmed"), std::string::npos) << one.output;
  EXPECT_LT(simStatus(sims[0]).recordsReceived, 40);

  simReset(sims[0]);
  std::string b = board("b.tty", paced);
  int before = simStatus(sims[0]).recordsReceived;
  EXPECT_EQ(interrupt({"program", image, "--port", a, "--port", b}, 700, SIGHUP, 2000).code, 130);
  EXPECT_LT(simStatus(sims[0]).recordsReceived - before + simStatus(sims[1]).recordsReceived, 80);
}

TEST_F(Cli, CtrlCWhileWaitingForAFifoWriterIsAnInterruption) {
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(interrupt({"program", fifo, "--port", dir + "/none.tty"}, 300, SIGINT, 2000).code, 130);
}

TEST_F(Cli, ReportsEachBoardAsALineOfJson) {
  std::string a = board("a.tty");
  std::string image = file("app.hex", Image);
  std::string report = dir + "/report.json";
  EXPECT_EQ(run({"program", image, "--port", a, "--report", report}).code, 0);
  auto entry = nlohmann::json::parse(readText(report));
  EXPECT_EQ(entry["port"], a);
  EXPECT_EQ(entry["file"], image);
  EXPECT_EQ(entry["sha256"], sha256Hex(reinterpret_cast<const uint8_t*>(Image), strlen(Image)));
  EXPECT_EQ(entry["bytes"], 7);
  EXPECT_EQ(entry["blocks"], 2);
  EXPECT_EQ(entry["outcome"], "success");
  EXPECT_EQ(entry["started"].get<std::string>().size(), 20u);
  EXPECT_FALSE(entry.contains("failed_step"));

  // A report that cannot be written is known before any board is addressed.
  size_t sent = simHostBytes(sims[0]).size();
  EXPECT_EQ(run({"program", image, "--port", a, "--report", dir + "/none/r.json"}).code, 3);
  EXPECT_EQ(simHostBytes(sims[0]).size(), sent);
}

TEST_F(Cli, GangProgramsEveryBoardAndNamesTheOneThatFailed) {
  std::string a = board("a.tty");
  SimConfig broken;
  broken.unexpectedReplyToFrame = 3;  // the first block
  std::string b = board("b.tty", broken);
  std::string c = board("c.tty");
  Result result = run(
      {"program", file("app.hex", Image), "--port", a, "--port", b, "--port", c, "--report", "-"});
  expectSays(result, 7, "1 of 3 targets failed: " + b);
  expectImage(sims[0]);
  expectImage(sims[2]);
  std::vector<nlohmann::json> lines;
  std::istringstream text(result.output);
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line[0] == '{') lines.push_back(nlohmann::json::parse(line));
  }
  ASSERT_EQ(lines.size(), 3u) << result.output;
  EXPECT_EQ(lines[0]["outcome"], "success");
  EXPECT_EQ(lines[1]["port"], b);
  EXPECT_EQ(lines[1]["outcome"], "communication-error");
  EXPECT_EQ(lines[1]["exit_code"], 6);
  EXPECT_EQ(lines[1]["failed_step"], "programming");
  EXPECT_EQ(lines[1]["blocks"], 0);
  EXPECT_NE(lines[1]["message"].get<std::string>().find("Communication Error"), std::string::npos);

  simReset(sims[0]);
  simReset(sims[2]);
  expectSays(run({"program", file("app.hex", Image), "--port", a, "--port", c}), 0,
             "All 2 targets programmed.");

  // From a pipe: the parent reads it once and hands each worker the bytes.
  wipe(sims[0]);
  wipe(sims[2]);
  EXPECT_EQ(
      runFed({"program", "-", "--port", a, "--port", c, "--report", dir + "/r.json"}, true).code,
      0);
  EXPECT_NE(readText(dir + "/r.json").find("\"file\":\"-\""), std::string::npos);
  expectImage(sims[0]);
  expectImage(sims[2]);
}

// Two pieces of firmware, the second across a 64 KiB boundary (so that Intel
// HEX needs an extended address record), written by binutils in each format.
class CliFormats : public Cli {
 protected:
  void SetUp() override {
    Cli::SetUp();
    for (size_t i = 0; i < 900; ++i) {
      (i < 300 ? first : second).push_back(static_cast<uint8_t>(i * 7 + i / 256));
    }
    file("a.bin", std::string(first.begin(), first.end()));
    file("b.bin", std::string(second.begin(), second.end()));
  }
  void tool(const std::string& command) {
    EXPECT_EQ(system(("cd " + dir + " && " + command + " 2>/dev/null").c_str()), 0) << command;
  }
  // objcopy from raw binary: ihex or srec.
  std::string objcopied(const std::string& format) {
    tool("objcopy -I binary -O " + format +
         " --change-addresses 0x4000 --add-section .b=b.bin --set-section-flags "
         ".b=alloc,load,contents --change-section-address .b=0x1FF00 a.bin image." +
         format);
    return dir + "/image." + format;
  }
  void expectFlash(Simulator* sim) {
    EXPECT_EQ(flashAt(sim, 0x4000, 301), first + Bytes{0xFF}) << "nothing in the gap";
    EXPECT_EQ(flashAt(sim, 0x1FF00, 600), second);
  }
  Bytes first, second;
};

// Every format is read the same way (image_formats_test): one is enough here.
TEST_F(CliFormats, ProgramsIntelHexWrittenByBinutils) {
  std::string port = board("a.tty");
  std::string hex = objcopied("ihex");
  ASSERT_NE(readText(hex).find(":02000002"), std::string::npos) << "an extended address record";
  EXPECT_EQ(run({"program", hex, "--port", port}).code, 0);
  expectFlash(sims[0]);
}

TEST_F(CliFormats, ProgramsFirmwareAtAddressZeroAndRawBinaryAtItsAddress) {
  std::string port = board("a.tty");
  // A vector table at 0 and code after a gap, in the bootloader region.
  tool(
      "objcopy -I binary -O ihex --add-section .b=b.bin --set-section-flags "
      ".b=alloc,load,contents --change-section-address .b=0x1000 a.bin zero.hex");
  EXPECT_EQ(run({"program", dir + "/zero.hex", "--bootloader", "--port", port}).code, 0);
  EXPECT_EQ(flashAt(sims[0], 0, 300), first);
  EXPECT_EQ(flashAt(sims[0], 0x1000, 600), second);

  simReset(sims[0]);
  EXPECT_EQ(
      run({"program", dir + "/b.bin", "--format", "bin", "--address", "0x5000", "--port", port})
          .code,
      0);
  EXPECT_EQ(flashAt(sims[0], 0x5000, 600), second);
}

TEST_F(CliFormats, InfoAndConvertShowAndWriteWhatARunWouldProgram) {
  std::string srec = objcopied("srec");
  Result info = run({"info", srec, "--verbose"});
  EXPECT_EQ(info.code, 0) << info.output;
  const std::string text = readText(srec);
  Bytes file(text.begin(), text.end());
  for (std::string line :
       {std::string("Format:   Motorola S-record"), std::string("00004000-0000412B  300 bytes"),
        std::string("0001FF00-00020157  600 bytes"), std::string("900 bytes in 5 blocks"),
        "SHA-256:  " + sha256Hex(file.data(), file.size()) + " (of the file's bytes)",
        std::string("note: Line 59: start address 00004000 ignored")}) {
    EXPECT_NE(info.output.find(line), std::string::npos) << line << "\n" << info.output;
  }

  // The written hex token file programs the same flash.
  std::string tokens = dir + "/tokens.hex";
  Result convert = run({"convert", srec, tokens});
  EXPECT_EQ(convert.code, 0) << convert.output;
  EXPECT_EQ(readText(tokens).rfind("00004000\n", 0), 0u);
  EXPECT_NE(readText(tokens).find("\n0001FF00\n"), std::string::npos);
  std::string port = board("a.tty");
  EXPECT_EQ(run({"program", tokens, "--port", port}).code, 0);
  expectFlash(sims[0]);

  expectSays(run({"convert", srec, srec}), 2, "never overwrites");
  EXPECT_EQ(readText(srec), std::string(file.begin(), file.end()));
  Result piped = run({"convert", "-", "-"}, srec.c_str());
  EXPECT_EQ(piped.code, 0);
  EXPECT_EQ(piped.output, readText(tokens));
}

TEST_F(CliFormats, RefusesEachBadImageWithItsPlaceBeforeThePortIsTouched) {
  std::string port = board("a.tty");
  struct Case {
    std::string file;
    std::vector<std::string> options;
    int code;
    std::string words;
  } cases[] = {
      {file("sum.hex", ":020000040001F9\n:02FF000001020C\n:00000001FF\n"),
       {},
       3,
       "sum.hex, line 2: Intel HEX checksum mismatch (expected FC, found 0C)."},
      {dir + "/a.bin", {}, 3, "A raw binary file needs --format bin --address ADDR."},
      {dir + "/a.bin", {"--format", "bin"}, 2, "--format bin needs --address ADDR"},
      {dir + "/a.bin", {"--format", "ihex"}, 3, "line 1: Intel HEX record does not begin"},
      {file("low.hex", ":0100000001FE\n:01008000017E\n:00000001FF\n"),
       {"--bootloader"},
       3,
       "line 2: the data at address 80 lies below 100 after a gap"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"program", c.file, "--port", port};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    expectSays(run(arguments), c.code, c.words);
  }
  EXPECT_TRUE(simHostBytes(sims[0]).empty());
}

}  // namespace
