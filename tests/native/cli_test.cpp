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
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int waitFor(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override { dir = makeScratchDir(); }
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
  std::string file(const char* name, const std::string& text) {
    std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
  std::string dir;
  std::vector<Simulator*> sims;
};

const char* const Image = "00004000\n01 02 03 04 05\n00004100 06 07\n";

void expectImage(Simulator* sim, uint32_t base) {
  Bytes flash = simFlash(sim);
  EXPECT_EQ(Bytes(flash.begin() + base, flash.begin() + base + 5), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(Bytes(flash.begin() + base + 0x100, flash.begin() + base + 0x102), (Bytes{6, 7}));
}

TEST_F(Cli, HelpListsTheCommandsAndExitCodes) {
  Result help = run({"--help"});
  EXPECT_EQ(help.code, 0);
  for (const char* words : {"program", "erase", "launch", "ports", "Exit codes", "130"}) {
    EXPECT_NE(help.output.find(words), std::string::npos) << words;
  }
  EXPECT_EQ(run({"program"}).code, 2) << "a missing file is a usage error";
  EXPECT_EQ(run({"flash", "x.hex"}).code, 2);
  EXPECT_EQ(run({"program", "x.hex", "--simulate", "--port", "/dev/null"}).code, 2);
}

TEST_F(Cli, ProgramsAndLaunchesTheApplication) {
  std::string port = board("a.tty");
  Result result = run({"program", file("app.hex", Image), "--port", port, "--launch"});
  EXPECT_EQ(result.code, 0) << result.output;
  EXPECT_NE(result.output.find("Target Flash has been successfully programmed."),
            std::string::npos);
  EXPECT_NE(result.output.find("reset the target"), std::string::npos);
  expectImage(sims[0], 0x4000);
  simSettle(sims[0]);
  EXPECT_TRUE(simStatus(sims[0]).launched);
}

TEST_F(Cli, ProgramsABootloader) {
  std::string port = board("a.tty");
  std::string image = "00000200\n01 02 03 04 05\n00000300 06 07\n";
  Result result = run({"program", file("boot.hex", image), "--bootloader", "--port", port});
  EXPECT_EQ(result.code, 0) << result.output;
  expectImage(sims[0], 0x200);
  EXPECT_FALSE(simStatus(sims[0]).launched);
}

TEST_F(Cli, ErasesAndAsksFirstForTheEntireFlash) {
  std::string port = board("a.tty");
  Result plain = run({"erase", "--port", port});
  EXPECT_EQ(plain.code, 0) << plain.output;
  EXPECT_NE(plain.output.find("Target Flash has been successfully erased."), std::string::npos);

  simReset(sims[0]);  // the board waits in its bootloader until it is reset
  std::string yes = file("yes.txt", "yes\n");
  size_t before = simHostBytes(sims[0]).size();
  Result refused = run({"erase", "--all", "--port", port}, yes.c_str());
  EXPECT_EQ(refused.code, 2) << "no terminal to ask: a script must say --yes";
  EXPECT_NE(refused.output.find("erase --all needs --yes when there is no terminal to ask"),
            std::string::npos)
      << refused.output;
  EXPECT_EQ(simHostBytes(sims[0]).size(), before) << "nothing sent when not confirmed";

  simReset(sims[0]);
  Result all = run({"erase", "--all", "--yes", "--port", port});
  EXPECT_EQ(all.code, 0) << all.output;
  EXPECT_NE(all.output.find("including the bootloader"), std::string::npos);
}

TEST_F(Cli, LaunchStartsTheApplication) {
  std::string port = board("a.tty");
  Result result = run({"launch", "--port", port});
  EXPECT_EQ(result.code, 0) << result.output;
  simSettle(sims[0]);
  EXPECT_TRUE(simStatus(sims[0]).launched);
}

TEST_F(Cli, RefusesBadAndEmptyFilesAndFoldersWithoutTouchingThePort) {
  std::string port = board("a.tty");
  Result bad = run({"program", file("bad.hex", "00004000 01 0Q\n"), "--port", port});
  EXPECT_EQ(bad.code, 3);
  EXPECT_NE(bad.output.find("line 1"), std::string::npos) << bad.output;
  Result missing = run({"program", dir + "/missing.hex", "--port", port});
  EXPECT_EQ(missing.code, 3);
  EXPECT_NE(missing.output.find("No such file or directory"), std::string::npos) << missing.output;
  for (std::string empty :
       {file("empty.hex", ""), file("blank.hex", " \n\t\n"), std::string("/dev/null")}) {
    Result result = run({"program", empty, "--port", port});
    EXPECT_EQ(result.code, 3) << empty;
    EXPECT_NE(result.output.find("The selected HEX file holds no data."), std::string::npos)
        << result.output;
  }
  Result folder = run({"program", dir, "--port", port});
  EXPECT_EQ(folder.code, 3);
  EXPECT_NE(folder.output.find("is a directory"), std::string::npos) << folder.output;
  EXPECT_TRUE(simHostBytes(sims[0]).empty());
}

TEST_F(Cli, ProgramsFromAFifoAndFromStandardInput) {
  std::string port = board("a.tty");
  std::string fifo = dir + "/image.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto feed = [&] { return std::thread([fifo] { std::ofstream(fifo) << Image; }); };
  std::thread writer = feed();
  Result named = run({"program", fifo, "--port", port});
  writer.join();
  EXPECT_EQ(named.code, 0) << named.output;
  expectImage(sims[0], 0x4000);

  simReset(sims[0]);
  simLoadFlash(sims[0], 0x4000, "\xFF\xFF\xFF\xFF\xFF", 5);
  writer = feed();
  Result piped = run({"program", "-", "--port", port}, fifo.c_str());
  writer.join();
  EXPECT_EQ(piped.code, 0) << piped.output;
  expectImage(sims[0], 0x4000);
}

TEST_F(Cli, RefusesPortsThatAreNotSerialBusyOrGivenTwice) {
  std::string image = file("app.hex", Image);
  Result none = run({"program", image, "--port", dir + "/none.tty"});
  EXPECT_EQ(none.code, 4);
  EXPECT_NE(none.output.find("Cannot Connect to " + dir + "/none.tty: No such file or directory"),
            std::string::npos)
      << none.output;
  for (std::string device : {std::string("/dev/null"), image}) {
    Result result = run({"program", image, "--port", device});
    EXPECT_EQ(result.code, 4) << device;
    EXPECT_NE(result.output.find(device + " is not a serial port"), std::string::npos)
        << result.output;
  }

  std::string port = board("a.tty");
  Result twice = run({"program", image, "--port", port, "--port", port});
  EXPECT_EQ(twice.code, 2);
  EXPECT_NE(twice.output.find("given twice"), std::string::npos) << twice.output;
  // Another process holds the port.
  int held = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  Result busy = run({"program", image, "--port", port});
  close(held);
  EXPECT_EQ(busy.code, 4);
  EXPECT_NE(busy.output.find("port busy"), std::string::npos) << busy.output;
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
  expectImage(sims[0], 0x4000);

  // No standard error at all: the progress must not go onto the serial line.
  simReset(sims[0]);
  simLoadFlash(sims[0], 0x4000, "\xFF\xFF\xFF\xFF\xFF", 5);
  int garbledBefore = simStatus(sims[0]).garbledFrames;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, 0);
  posix_spawn_file_actions_addclose(&actions, 2);
  code = waitFor(spawnCliWith({"program", image, "--port", port}, &actions));
  EXPECT_EQ(code, 0);
  expectImage(sims[0], 0x4000);
  EXPECT_EQ(simStatus(sims[0]).garbledFrames, garbledBefore);
}

TEST_F(Cli, CommunicationAndEraseErrorsHaveTheirOwnCodes) {
  SimConfig garbled;
  garbled.garbleReplyToFrame = 3;  // the handshake, the start, then the first block
  std::string port = board("a.tty", garbled);
  Result comm = run({"program", file("app.hex", Image), "--port", port});
  EXPECT_EQ(comm.code, 6) << comm.output;
  EXPECT_NE(comm.output.find("Communication Error with Target."), std::string::npos);

  SimConfig unexpected;
  unexpected.unexpectedReplyToFrame = 2;  // the erase start
  std::string other = board("b.tty", unexpected);
  Result erase = run({"erase", "--port", other});
  EXPECT_TRUE(erase.code == 6 || erase.code == 5) << erase.output;
}

TEST_F(Cli, CtrlCEndsTheWaitForASilentTargetAndClosesThePort) {
  SimConfig silent;
  std::string port = board("a.tty", silent);
  simControl(sims[0], "set call-ms 0");
  std::string out = dir + "/wait.txt";
  pid_t pid = spawnCli({"program", file("app.hex", Image), "--port", port}, out);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  auto start = std::chrono::steady_clock::now();
  kill(pid, SIGINT);
  int code = waitFor(pid);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(code, 130) << readText(out);
  EXPECT_LT(waited, std::chrono::seconds(2));
  EXPECT_NE(readText(out).find("Interrupted"), std::string::npos);
}

TEST_F(Cli, SignalsEndTheWaitOnALineThatNeverStopsTalking) {
  std::string port = board("a.tty");
  simControl(sims[0], "set chatter-ms 2");  // a board running its application
  for (int signal : {SIGINT, SIGTERM}) {
    std::string out = dir + "/chatter.txt";
    pid_t pid = spawnCli({"program", file("app.hex", Image), "--port", port}, out);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto start = std::chrono::steady_clock::now();
    kill(pid, signal);
    int code = waitFor(pid);
    EXPECT_EQ(code, 130) << readText(out);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
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
  std::string out = dir + "/dies.txt";
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
  expectImage(sims[0], 0x4000);
}

TEST_F(Cli, TimeLimitsNameTheWaitThatRanOut) {
  std::string port = board("a.tty");
  simControl(sims[0], "set silent-from 3");  // answers the start, then nothing
  Result silent = run({"program", file("app.hex", Image), "--port", port, "--timeout", "1"});
  EXPECT_EQ(silent.code, 6) << silent.output;
  EXPECT_NE(silent.output.find("no reply from the target for 1 s while programming"),
            std::string::npos)
      << silent.output;

  simControl(sims[0], "set call-ms 0");
  simReset(sims[0]);
  auto start = std::chrono::steady_clock::now();
  Result nobody = run({"launch", "--port", port, "--wait", "1"});
  EXPECT_EQ(nobody.code, 6) << nobody.output;
  EXPECT_NE(nobody.output.find("no target called"), std::string::npos) << nobody.output;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
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

TEST_F(Cli, ASignalStopsTheRunBetweenBlocksAndSaysSo) {
  SimConfig paced;
  paced.baud = 115200;
  std::string port = board("a.tty", paced);
  std::string out = dir + "/signal.txt";
  pid_t pid = spawnCli({"program", file("long.hex", longImage()), "--port", port}, out);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(pid, SIGTERM);
  EXPECT_EQ(waitFor(pid), 130);
  std::string output = readText(out);
  EXPECT_NE(output.find("Interrupted: the target holds a partial image; program it again."),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("successfully programmed"), std::string::npos) << output;
  EXPECT_LT(simStatus(sims[0]).recordsReceived, 40);
}

TEST_F(Cli, AGangPassesSignalsToItsWorkers) {
  SimConfig paced;
  paced.baud = 115200;
  std::string a = board("a.tty", paced);
  std::string b = board("b.tty", paced);
  std::string out = dir + "/gang.txt";
  pid_t pid = spawnCli({"program", file("long.hex", longImage()), "--port", a, "--port", b}, out);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  auto start = std::chrono::steady_clock::now();
  kill(pid, SIGHUP);
  EXPECT_EQ(waitFor(pid), 130) << readText(out);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_LT(simStatus(sims[0]).recordsReceived + simStatus(sims[1]).recordsReceived, 80);
}

TEST_F(Cli, CtrlCWhileWaitingForAFifoWriterIsAnInterruption) {
  std::string fifo = dir + "/image.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string out = dir + "/fifo.txt";
  pid_t pid = spawnCli({"program", fifo, "--port", dir + "/none.tty"}, out);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(pid, SIGINT);
  EXPECT_EQ(waitFor(pid), 130) << readText(out);
}

TEST_F(Cli, ReportsEachBoardAsALineOfJson) {
  std::string a = board("a.tty");
  std::string image = file("app.hex", Image);
  std::string report = dir + "/report.json";
  Result one = run({"program", image, "--port", a, "--report", report});
  EXPECT_EQ(one.code, 0) << one.output;
  auto entry = nlohmann::json::parse(readText(report));
  EXPECT_EQ(entry["port"], a);
  EXPECT_EQ(entry["file"], image);
  EXPECT_EQ(entry["sha256"], sha256Hex(reinterpret_cast<const uint8_t*>(Image), strlen(Image)));
  EXPECT_EQ(entry["bytes"], 7);
  EXPECT_EQ(entry["blocks"], 2);
  EXPECT_EQ(entry["outcome"], "success");
  EXPECT_EQ(entry["exit_code"], 0);
  EXPECT_EQ(entry["started"].get<std::string>().size(), 20u);
  EXPECT_TRUE(entry["duration_s"].is_number());
  EXPECT_FALSE(entry.contains("failed_step"));

  SimConfig broken;
  broken.unexpectedReplyToFrame = 3;  // the first block
  std::string b = board("b.tty", broken);
  simReset(sims[0]);
  Result gang = run({"program", image, "--port", a, "--port", b, "--report", "-"});
  EXPECT_EQ(gang.code, 7);
  std::vector<nlohmann::json> lines;
  std::istringstream text(gang.output);
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line[0] == '{') lines.push_back(nlohmann::json::parse(line));
  }
  ASSERT_EQ(lines.size(), 2u) << gang.output;
  EXPECT_EQ(lines[0]["outcome"], "success");
  EXPECT_EQ(lines[1]["port"], b);
  EXPECT_EQ(lines[1]["outcome"], "communication-error");
  EXPECT_EQ(lines[1]["exit_code"], 6);
  EXPECT_EQ(lines[1]["failed_step"], "programming");
  EXPECT_EQ(lines[1]["blocks"], 0);
  EXPECT_NE(lines[1]["message"].get<std::string>().find("Communication Error"), std::string::npos);

  // A report that cannot be written is known before any board is addressed.
  size_t sent = simHostBytes(sims[0]).size();
  Result unwritable = run({"program", image, "--port", a, "--report", dir + "/none/r.json"});
  EXPECT_EQ(unwritable.code, 3);
  EXPECT_EQ(simHostBytes(sims[0]).size(), sent);
}

TEST_F(Cli, GangProgramsEveryBoardAndNamesTheOneThatFailed) {
  std::string a = board("a.tty");
  SimConfig broken;
  broken.unexpectedReplyToFrame = 3;
  std::string b = board("b.tty", broken);
  std::string c = board("c.tty");
  Result result = run({"program", file("app.hex", Image), "--port", a, "--port", b, "--port", c});
  EXPECT_EQ(result.code, 7) << result.output;
  expectImage(sims[0], 0x4000);
  expectImage(sims[2], 0x4000);
  EXPECT_NE(result.output.find("1 of 3 targets failed: " + b), std::string::npos) << result.output;

  simReset(sims[0]);
  simReset(sims[2]);
  Result good = run({"program", file("app.hex", Image), "--port", a, "--port", c});
  EXPECT_EQ(good.code, 0) << good.output;
  EXPECT_NE(good.output.find("All 2 targets programmed."), std::string::npos);

  // From a pipe: the parent reads it once and hands each worker the bytes.
  for (Simulator* sim : {sims[0], sims[2]}) {
    simReset(sim);
    simLoadFlash(sim, 0x4000, "\xFF\xFF\xFF\xFF\xFF", 5);
  }
  std::string fifo = dir + "/image.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([fifo] { std::ofstream(fifo) << Image; });
  Result piped =
      run({"program", "-", "--port", a, "--port", c, "--report", dir + "/r.json"}, fifo.c_str());
  writer.join();
  EXPECT_EQ(piped.code, 0) << piped.output;
  EXPECT_NE(readText(dir + "/r.json").find("\"file\":\"-\""), std::string::npos);
  expectImage(sims[0], 0x4000);
  expectImage(sims[2], 0x4000);
}

// Two pieces of firmware, the second across a 64 KiB boundary (so that Intel
// HEX needs an extended address record), written by binutils in each format.
class CliFormats : public Cli {
 protected:
  void SetUp() override {
    Cli::SetUp();
    for (size_t i = 0; i < 900; ++i) bytes.push_back(static_cast<uint8_t>(i * 7 + i / 256));
    writeBytes("a.bin", Bytes(bytes.begin(), bytes.begin() + 300));
    writeBytes("b.bin", Bytes(bytes.begin() + 300, bytes.end()));
  }
  void writeBytes(const char* name, const Bytes& data) {
    std::ofstream(dir + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
  }
  std::string tool(const std::string& command) {
    EXPECT_EQ(system(("cd " + dir + " && " + command + " 2>/dev/null").c_str()), 0) << command;
    return dir;
  }
  // objcopy from raw binary: ihex or srec.
  std::string objcopied(const std::string& format) {
    tool("objcopy -I binary -O " + format +
         " --change-addresses 0x4000 --add-section .b=b.bin --set-section-flags "
         ".b=alloc,load,contents --change-section-address .b=0x1FF00 a.bin image." +
         format);
    return dir + "/image." + format;
  }
  std::string linkedElf() {
    tool(
        "objcopy -I binary -O elf32-i386 --rename-section .data=.b b.bin b.o && ld -N -m "
        "elf_i386 -b binary a.bin -b elf32-i386 b.o --section-start=.data=0x4000 "
        "--section-start=.b=0x1FF00 -o image.elf");
    return dir + "/image.elf";
  }
  void expectFlash(Simulator* sim) {
    Bytes flash = simFlash(sim);
    EXPECT_EQ(Bytes(flash.begin() + 0x4000, flash.begin() + 0x4000 + 300),
              Bytes(bytes.begin(), bytes.begin() + 300));
    EXPECT_EQ(Bytes(flash.begin() + 0x1FF00, flash.begin() + 0x1FF00 + 600),
              Bytes(bytes.begin() + 300, bytes.end()));
    EXPECT_EQ(flash[0x4000 + 300], 0xFF) << "nothing in the gap";
  }
  Bytes bytes;
};

TEST_F(CliFormats, ProgramsIntelHexSRecordAndElfWrittenByBinutils) {
  std::string port = board("a.tty");
  std::string hex = objcopied("ihex");
  ASSERT_NE(readText(hex).find(":02000002"), std::string::npos) << "an extended address record";
  for (const std::string& image : {hex, objcopied("srec"), linkedElf()}) {
    simReset(sims[0]);
    Result result = run({"program", image, "--port", port});
    EXPECT_EQ(result.code, 0) << image << ": " << result.output;
    expectFlash(sims[0]);
  }
}

TEST_F(CliFormats, ProgramsFirmwareAtAddressZeroAndRawBinaryAtItsAddress) {
  std::string port = board("a.tty");
  // A vector table at 0 and code after a gap, in the bootloader region.
  tool(
      "objcopy -I binary -O ihex --add-section .b=b.bin --set-section-flags "
      ".b=alloc,load,contents --change-section-address .b=0x1000 a.bin zero.hex");
  Result boot = run({"program", dir + "/zero.hex", "--bootloader", "--port", port});
  EXPECT_EQ(boot.code, 0) << boot.output;
  Bytes flash = simFlash(sims[0]);
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 300), Bytes(bytes.begin(), bytes.begin() + 300));
  EXPECT_EQ(Bytes(flash.begin() + 0x1000, flash.begin() + 0x1000 + 600),
            Bytes(bytes.begin() + 300, bytes.end()));

  simReset(sims[0]);
  Result binary =
      run({"program", dir + "/b.bin", "--format", "bin", "--address", "0x5000", "--port", port});
  EXPECT_EQ(binary.code, 0) << binary.output;
  flash = simFlash(sims[0]);
  EXPECT_EQ(Bytes(flash.begin() + 0x5000, flash.begin() + 0x5000 + 600),
            Bytes(bytes.begin() + 300, bytes.end()));
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

  Result same = run({"convert", srec, srec});
  EXPECT_EQ(same.code, 2) << same.output;
  EXPECT_NE(same.output.find("never overwrites"), std::string::npos) << same.output;
  EXPECT_EQ(readText(srec), std::string(file.begin(), file.end()));
  Result piped = run({"convert", "-", "-"}, srec.c_str());
  EXPECT_EQ(piped.code, 0);
  EXPECT_EQ(piped.output, readText(tokens));
}

TEST_F(CliFormats, RefusesEachBadImageWithItsPlaceBeforeThePortIsTouched) {
  std::string port = board("a.tty");
  std::string elf = linkedElf();
  std::string cut = readText(elf);
  cut.resize(cut.find(std::string(bytes.begin() + 300, bytes.begin() + 340)) + 100);
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
      {file("count.s19", "S1054000AABB55\nS5030002FA\nS9030000FC\n"),
       {},
       3,
       "line 2: S-record count does not match (expected 1, found 2)."},
      {file("cut.elf", cut), {}, 3, "cut.elf: ELF segment 1 lies past the end of the file"},
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
    Result result = run(arguments);
    EXPECT_EQ(result.code, c.code) << c.file << ": " << result.output;
    EXPECT_NE(result.output.find(c.words), std::string::npos) << result.output;
  }
  EXPECT_TRUE(simHostBytes(sims[0]).empty());
}

}  // namespace
