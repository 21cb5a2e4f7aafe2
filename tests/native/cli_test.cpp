// The command line end to end: the real k4471-cli program against simulated
// targets on pseudo-terminals.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "image/image_snapshot.h"
#include "link/port_types.h"
#include "sim/simulator.h"
#include "tests/native/cli_runner.h"
#include "tests/native/pty_peer.h"

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

// Runs the command line with its standard output, and its standard error
// unless `errorPath` names a file for it, into a pipe nobody reads any more,
// as with "| head"; its exit code.
int runIntoClosedPipe(const std::vector<std::string>& arguments,
                      const std::string& errorPath = "") {
  int ends[2];
  if (pipe(ends) != 0) return -1;
  close(ends[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  if (errorPath.empty()) {
    posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_TRUNC, 0);
  }
  const int code = waitFor(spawnProgramWith(K4471_CLI, arguments, &actions));
  close(ends[1]);
  return code;
}

// Whether process `pid` has a handler of its own for `signal` (Linux).
bool catchesSignal(pid_t pid, int signal) {
  std::istringstream status(readText("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0;
    }
  }
  return false;
}

// Whether process `pid` sleeps, in a wait of the system (Linux).
bool sleeping(pid_t pid) {
  const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
  const size_t end = stat.rfind(')');
  return end != std::string::npos && stat.compare(end + 1, 3, " S ") == 0;
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
    if (config.callMs == SimConfig().callMs) config.callMs = 20;
    config.eraseBlocks = 5;
    Simulator* sim = simStart(config);
    EXPECT_NE(sim, nullptr);
    sims.push_back(sim);
    return link;
  }
  Result run(const std::vector<std::string>& arguments, const char* input = "/dev/null") {
    std::string out = dir + "/out.txt";
    int code = waitFor(spawnProgram(K4471_CLI, arguments, out, input));
    return {code, readText(out)};
  }
  // Starts the command line and signals it once `ready(pid)` holds and it
  // catches the signal, and `holdMs` later: it must end within `limitMs` of
  // the signal.
  template <typename Ready>
  Result interrupt(const std::vector<std::string>& arguments, Ready ready, int signal,
                   int holdMs = 0, long limitMs = generousBoundMs(2 * BlockingSliceMilliseconds)) {
    std::string out = dir + "/out.txt";
    pid_t pid = spawnProgram(K4471_CLI, arguments, out);
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(waitUntil([&] { return ready(pid) && catchesSignal(pid, signal); }))
        << readText(out);
    if (holdMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    auto start = std::chrono::steady_clock::now();
    if (pid > 0) kill(pid, signal);
    int code = waitFor(pid);
    EXPECT_LT(millisecondsSince(start), limitMs);
    return {code, readText(out)};
  }
  // The command line has opened the port and waits for the target's call.
  std::function<bool(pid_t)> waitingForCall() {
    return [this](pid_t) {
      return readText(dir + "/out.txt").find("Waiting for the target on") != std::string::npos;
    };
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

  // At a terminal only the word itself agrees.
  PtyPeer terminal;
  ASSERT_TRUE(ptyOpen(&terminal));
  for (auto [answer, erases] :
       {std::pair<const char*, bool>{"yesterday\n", false}, {"y\n", false}, {" YeS \n", true}}) {
    simReset(sims[0]);
    before = simHostBytes(sims[0]).size();
    ptySend(terminal, Bytes(answer, answer + strlen(answer)));
    Result result = run({"erase", "--all", "--port", port}, terminal.device.c_str());
    expectSays(result, 0, erases ? "including the bootloader" : "Nothing erased.");
    EXPECT_EQ(simHostBytes(sims[0]).size() > before, erases) << answer;
  }
  ptyClose(&terminal);
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

TEST_F(Cli, RefusesAFileThatDidNotCloseWithoutTouchingThePort) {
#ifndef K4471_FAILING_CLOSE
  GTEST_SKIP() << "the failing close is put in with LD_PRELOAD, on Linux";
#else
  std::string port = board("a.tty");
  std::string path = file("close-fails.hex", Image);
  const char* asan = getenv("ASAN_OPTIONS");
  const std::string asanBefore = asan ? asan : "";
  setenv("LD_PRELOAD", K4471_FAILING_CLOSE, 1);
  setenv("ASAN_OPTIONS", (asanBefore + ":verify_asan_link_order=0").c_str(), 1);
  Result application = run({"program", path, "--port", port});
  Result bootloader = run({"program", path, "--bootloader", "--port", port});
  Result other = run({"info", file("closes.hex", Image)});
  unsetenv("LD_PRELOAD");
  if (asan) {
    setenv("ASAN_OPTIONS", asanBefore.c_str(), 1);
  } else {
    unsetenv("ASAN_OPTIONS");
  }
  expectSays(application, 3, "File Error: Cannot Close Flash.hex. (" + path);
  expectSays(bootloader, 3, "File Error: Cannot selected HEX file.");
  expectSays(other, 0, "Data:");
  EXPECT_TRUE(simHostBytes(sims[0]).empty());
#endif
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
  char device[64] = {0};
  ASSERT_GT(readlink(port.c_str(), device, sizeof device - 1), 0);
  expectSays(run({"program", image, "--port", port, "--port", device}), 2, "given twice");
  std::vector<std::string> many = {"program", image};
  for (int i = 0; i < 257; ++i) many.insert(many.end(), {"--port", dir + std::to_string(i)});
  expectSays(run(many), 2, "at most 256 ports at once (257 given)");
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
  EXPECT_EQ(runIntoClosedPipe({"program", image, "--port", port}), 0);
  expectImage(sims[0]);

  // No standard error at all: the progress must not go onto the serial line.
  wipe(sims[0]);
  int garbledBefore = simStatus(sims[0]).garbledFrames;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, 0);
  posix_spawn_file_actions_addclose(&actions, 2);
  EXPECT_EQ(waitFor(spawnProgramWith(K4471_CLI, {"program", image, "--port", port}, &actions)), 0);
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
    expectSays(
        interrupt({"program", file("app.hex", Image), "--port", port}, waitingForCall(), signal),
        130, "Interrupted");
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
  simControl(sims[0], "set erase-block-ms 1000");  // five seconds of erasing
  std::string out = dir + "/out.txt";
  pid_t pid = spawnProgram(K4471_CLI, {"program", file("app.hex", Image), "--port", port}, out);
  Simulator* sim = sims[0];
  ASSERT_TRUE(waitUntil([sim] { return simStatus(sim).programming; })) << "the run is erasing";
  simStop(sims[0]);
  sims.clear();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(waitFor(pid), 6) << readText(out);
  EXPECT_LT(millisecondsSince(start), generousBoundMs(2 * BlockingSliceMilliseconds));
  EXPECT_NE(readText(out).find("line to the target failed while erasing"), std::string::npos)
      << readText(out);

  // It goes away while the command waits for its call, and another comes.
  port = board("a.tty");
  simControl(sims[0], "set call-ms 0");
  pid = spawnProgram(K4471_CLI, {"program", file("app.hex", Image), "--port", port, "--wait", "10"},
                     out);
  ASSERT_TRUE(waitForWords(out, "Waiting for the target on")) << readText(out);
  simStop(sims[0]);
  sims.clear();
  ASSERT_TRUE(waitForWords(out, "The line went away")) << readText(out);
  board("a.tty");
  EXPECT_EQ(waitFor(pid), 0) << readText(out);
  expectImage(sims[0]);

  // Plugged in again, the port is the waiting command's: a second one is
  // refused.
  simControl(sims[0], "set call-ms 0");
  const std::string waiting = dir + "/waiting.txt";
  pid = spawnProgram(K4471_CLI, {"launch", "--port", port, "--wait", "10"}, waiting);
  ASSERT_TRUE(waitForWords(waiting, "Waiting for the target on")) << readText(waiting);
  simStop(sims[0]);
  sims.clear();
  ASSERT_TRUE(waitForWords(waiting, "The line went away")) << readText(waiting);
  SimConfig silent;
  silent.callMs = 0;
  board("a.tty", silent);
  ASSERT_TRUE(waitUntil([&] { return holdsOpen(pid, port); })) << "the port opened again";
  expectSays(run({"launch", "--port", port, "--wait", "1"}), 4, "port busy");
  simControl(sims[0], "set call-ms 20");
  EXPECT_EQ(waitFor(pid), 0) << readText(waiting);

  // A line that dies in the handshake: the system says why the port is gone.
  SimConfig hangup;
  hangup.hangupAtFrame = 1;  // the acknowledgement of the call
  std::string gone = board("b.tty", hangup);
  expectSays(run({"launch", "--port", gone, "--wait", "3"}), 4,
             gone + ": No such file or directory");
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
  EXPECT_LT(millisecondsSince(start), generousBoundMs(1000));

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
  // Two seconds after the target fell silent the run still waits: its limit was
  // not wrapped to a short one.
  Simulator* sim = sims[0];
  EXPECT_EQ(interrupt(
                {"program", file("app.hex", Image), "--port", port, "--timeout", "4294968"},
                [sim](pid_t) { return simStatus(sim).silent; }, SIGTERM, 2000)
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
    pid_t pid = spawnProgram(K4471_CLI, c.arguments, out);
    Simulator* sim = sims[0];
    EXPECT_TRUE(waitUntil([sim] { return simStatus(sim).framesReceived >= 1; }));
    simControl(sims[0], "set chatter-ms 5");
    auto start = std::chrono::steady_clock::now();
    int code = waitFor(pid);
    EXPECT_LT(millisecondsSince(start), generousBoundMs(2000));
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
  Simulator* first = sims[0];
  Result one = interrupt(
      {"program", image, "--port", a},
      [first](pid_t) { return simStatus(first).recordsReceived > 0; }, SIGTERM, 0, 2000);
  expectSays(one, 130, "Interrupted: the target holds a partial image; program it again.");
  EXPECT_EQ(one.output.find("successfully programmed"), std::string::npos) << one.output;
  EXPECT_LT(simStatus(sims[0]).recordsReceived, 40);

  simReset(sims[0]);
  std::string b = board("b.tty", paced);
  int before = simStatus(sims[0]).recordsReceived;
  Simulator* second = sims[1];
  auto bothProgramming = [=](pid_t) {
    return simStatus(first).recordsReceived > before && simStatus(second).recordsReceived > 0;
  };
  EXPECT_EQ(
      interrupt({"program", image, "--port", a, "--port", b}, bothProgramming, SIGHUP, 0, 2000)
          .code,
      130);
  EXPECT_LT(simStatus(sims[0]).recordsReceived - before + simStatus(sims[1]).recordsReceived, 80);
}

TEST_F(Cli, CtrlCWhileWaitingForAFifoWriterIsAnInterruption) {
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Signalled once it sleeps in the opening of the FIFO.
  EXPECT_EQ(
      interrupt({"program", fifo, "--port", dir + "/none.tty"}, sleeping, SIGINT, 0, 2000).code,
      130);
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
  // Nor may it be the image under another name: it would empty it first.
  std::string alias = dir + "/alias.hex";
  ASSERT_EQ(link(image.c_str(), alias.c_str()), 0);
  expectSays(run({"program", image, "--port", a, "--report", alias}), 2, "is the image file");
  EXPECT_EQ(readText(image), Image);
  EXPECT_EQ(simHostBytes(sims[0]).size(), sent);

  // Appended; a file error's line names the port.
  EXPECT_EQ(
      run({"program", dir + "/none.hex", "--port", a, "--report", report, "--report-append"}).code,
      3);
  std::string text = readText(report);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  auto last = nlohmann::json::parse(text.substr(text.find('\n') + 1));
  EXPECT_EQ(last["port"], a);
  EXPECT_EQ(last["failed_step"], "file");

  // Standard output closed, as by "| head -1": said plainly, the board programmed.
  wipe(sims[0]);
  Result closed = {runIntoClosedPipe({"program", image, "--port", a, "--report", "-"}, report), ""};
  closed.output = readText(report);
  expectSays(closed, 3,
             "the report could not be written to standard output (Broken pipe); the board is "
             "programmed");
  expectImage(sims[0]);
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
  auto lines = reportsByPort(result.output);
  ASSERT_EQ(lines.size(), 3u) << result.output;
  EXPECT_EQ(lines[a]["outcome"], "success");
  EXPECT_EQ(lines[b]["outcome"], "communication-error");
  EXPECT_EQ(lines[b]["exit_code"], 6);
  EXPECT_EQ(lines[b]["failed_step"], "programming");
  EXPECT_EQ(lines[b]["blocks"], 0);
  EXPECT_NE(lines[b]["message"].get<std::string>().find("Communication Error"), std::string::npos);

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

// A file that reads differently in each process that opens it, as a file
// replaced during the run would: every board gets what the parent read.
TEST_F(Cli, GangBoardsGetTheBytesTheParentRead) {
  std::string a = board("a.tty"), b = board("b.tty");
  std::vector<std::string> arguments = {"program",   "/proc/self/cmdline",
                                        "--format",  "bin",
                                        "--address", "0x4000",
                                        "--port",    a,
                                        "--port",    b,
                                        "--report",  "-"};
  Result result = run(arguments);
  EXPECT_EQ(result.code, 0) << result.output;
  std::string read = std::string(K4471_CLI) + '\0';
  for (const std::string& argument : arguments) read += argument + '\0';
  Bytes bytes(read.begin(), read.end());
  for (Simulator* sim : sims) EXPECT_EQ(flashAt(sim, 0x4000, bytes.size()), bytes);
  auto lines = reportsByPort(result.output);
  ASSERT_EQ(lines.size(), 2u) << result.output;
  for (auto& [port, line] : lines) EXPECT_EQ(line["sha256"], sha256Hex(bytes.data(), bytes.size()));

  // --verbose reaches the workers, and each trace line comes with its port.
  const std::string c = board("c.tty"), d = board("d.tty");
  result = run({"program", "/proc/self/cmdline", "--format", "bin", "--address", "0x4000", "--port",
                c, "--port", d, "--verbose"});
  EXPECT_EQ(result.code, 0) << result.output;
  for (const std::string& port : {c, d}) {
    EXPECT_NE(result.output.find(port + ": Sending ACK to TGT"), std::string::npos)
        << result.output;
  }
}

// A board's line is written when it ends; a worker killed, and a file name
// that is not UTF-8, still give each board its line.
TEST_F(Cli, GangReportsEachBoardAsItEndsEvenAKilledWorker) {
  std::string a = board("a.tty"), b = board("b.tty");
  simControl(sims[1], "set call-ms 0");  // b never calls: its worker waits
  std::string report = dir + "/report.json";
  pid_t gang = spawnProgram(
      K4471_CLI,
      {"program", file("app\xff.hex", Image), "--port", a, "--port", b, "--report", report},
      dir + "/out.txt");
  EXPECT_TRUE(waitForWords(report, a)) << "written when a ended";
  pid_t waiting = 0;
  for (auto& [pid, command] : childrenOf(gang)) {
    if (command.find(b) != std::string::npos &&
        command.find(std::string("\0worker\0", 8)) != std::string::npos)
      waiting = pid;
  }
  ASSERT_GT(waiting, 0);
  kill(waiting, SIGKILL);
  Result result = {waitFor(gang), readText(dir + "/out.txt")};
  expectSays(result, 7, "worker died");
  auto lines = reportsByPort(readText(report));
  EXPECT_EQ(lines[a]["outcome"], "success");
  EXPECT_EQ(lines[a]["file"], dir + "/app\xEF\xBF\xBD.hex");
  EXPECT_EQ(lines[b]["outcome"], "worker-died");
  EXPECT_EQ(lines[b]["exit_code"], 137);
  EXPECT_EQ(lines[b]["failed_step"], "worker");
  EXPECT_NE(lines[b]["message"].get<std::string>().find("signal 9"), std::string::npos);
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

// Written whole or not at all: a failed write leaves what was there.
TEST_F(Cli, ConvertNeverDestroysWhatWasThere) {
  std::string image = file("long.hex", longImage());
  std::string old = file("old.hex", "keep me\n");
  std::string cli = K4471_CLI;
  // A file size limit stands for a full disk.
  int status = system(
      ("trap '' XFSZ; ulimit -f 1; exec " + cli + " convert " + image + " " + old + " 2>/dev/null")
          .c_str());
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(readText(old), "keep me\n");
  EXPECT_EQ(system(("ls -A " + dir + " | grep -q k4471").c_str()) >> 8, 1) << "no temporary left";

  std::string full = dir + "/full.hex";
  ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
  expectSays(run({"convert", image, full}), 3, "No space left on device");
  struct stat about;
  EXPECT_TRUE(lstat(full.c_str(), &about) == 0 && S_ISLNK(about.st_mode));

  expectSays(run({"convert", "-", old}, old.c_str()), 2, "never overwrites");
  EXPECT_EQ(readText(old), "keep me\n");

  // Through a link, the file it names is replaced.
  std::string link = dir + "/link.hex";
  ASSERT_EQ(symlink(old.c_str(), link.c_str()), 0);
  EXPECT_EQ(run({"convert", file("app.hex", Image), link}).code, 0);
  EXPECT_TRUE(lstat(link.c_str(), &about) == 0 && S_ISLNK(about.st_mode));
  EXPECT_EQ(readText(old), "00004000\n01 02 03 04 05\n00004100\n06 07\n");
}

// The board's map, when given, refuses an image before the board hears of it.
TEST_F(Cli, RefusesWhatTheBoardsMapForbidsBeforeThePortIsTouched) {
  std::string a = board("a.tty"), b = board("b.tty");
  std::string image = file("edge.hex", "00003FFE\n01 02 03 04\n00070000 05\n");
  const std::vector<std::string> map = {"--flash", "0:0x80000", "--boot-region", "0:0x4000"};
  for (auto [options, words] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--flash", "0:0x70000"}, "data at 0x00070000 lies outside the flash"},
           {{"--boot-region", "0:0x4000"}, "data at 0x00003FFE lies in the boot region"},
           {{"--boot-region", "0:0x4000", "--bootloader"},
            "data at 0x00004000 lies outside the boot region"},
           {{"--boot-region", "16384:1", "--port", b}, "data at 0x00004000 lies in the boot"}}) {
    std::vector<std::string> arguments = {"program", image, "--port", a};
    arguments.insert(arguments.end(), options.begin(), options.end());
    expectSays(run(arguments), 3, words);
  }
  EXPECT_TRUE(simHostBytes(sims[0]).empty());
  EXPECT_TRUE(simHostBytes(sims[1]).empty());
  expectSays(run({"program", image, "--port", a, "--flash", "0x100:0"}), 2, "is empty");
  expectSays(run({"program", image, "--port", a, "--flash", "1:2", "--boot-region", "0:1"}), 2,
             "does not lie within --flash");

  std::vector<std::string> arguments = {"program", file("app.hex", Image), "--port", a};
  arguments.insert(arguments.end(), map.begin(), map.end());
  EXPECT_EQ(run(arguments).code, 0);
  expectImage(sims[0]);

  arguments = {"info", image};
  arguments.insert(arguments.end(), map.begin(), map.end());
  Result info = run(arguments);
  for (const char* line : {"00003FFE-00004001  4 bytes  boot region + application area",
                           "Application: refused: data at 0x00003FFE lies in the boot region",
                           "Bootloader:  refused: data at 0x00004000 lies outside the boot"}) {
    expectSays(info, 0, line);
  }
}

// An address is hexadecimal after 0x or decimal: 0100 is neither, and is
// refused rather than read as octal.
TEST_F(Cli, AddressesWithALeadingZeroAreRefusedNotReadAsOctal) {
  const std::string a = board("a.tty");
  const std::string image = file("app.hex", Image), binary = file("app.bin", "\x01\x02");
  for (std::vector<std::string> arguments : std::vector<std::vector<std::string>>{
           {"program", image, "--port", a, "--flash", "0100:0x80000"},
           {"program", image, "--port", a, "--boot-region", "00:0x4000"},
           {"program", image, "--port", a, "--serial-at", "077760", "--serial-start", "1"},
           {"program", binary, "--port", a, "--format", "bin", "--address", "040000"},
           {"info", image, "--flash", "0:01000000"}}) {
    // Were it taken, the run would not wait for ever.
    if (arguments[0] == "program") arguments.insert(arguments.end(), {"--wait", "5"});
    expectSays(run(arguments), 2, "has a leading 0");
  }
  EXPECT_TRUE(simHostBytes(sims[0]).empty()) << "nothing reached the board";
  EXPECT_EQ(run({"program", image, "--port", a, "--flash", "0:524288", "--wait", "10"}).code, 0)
      << "plain 0";
  expectImage(sims[0]);
}

// A bootloader's serial number goes where the bootloader goes.
TEST_F(Cli, ABootloadersSerialNumberBelongsInTheBootRegion) {
  const std::string a = board("a.tty");
  const std::vector<std::string> bootloader = {"program",
                                               file("boot.hex", "01 02 03 04\n"),
                                               "--bootloader",
                                               "--port",
                                               a,
                                               "--boot-region",
                                               "0:0x4000",
                                               "--serial-start",
                                               "7",
                                               "--serial-at"};
  std::vector<std::string> arguments = bootloader;
  arguments.insert(arguments.end(), {"0x7FF0", "--wait", "5"});
  expectSays(run(arguments), 2, "0x00007FF0 lies outside the boot region");
  EXPECT_TRUE(simHostBytes(sims[0]).empty()) << "nothing reached the board";
  arguments = bootloader;
  arguments.push_back("0x100");
  const Result result = run(arguments);
  EXPECT_EQ(result.code, 0) << result.output;
  EXPECT_EQ(flashAt(sims[0], 0, 4), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(flashAt(sims[0], 0x100, 4), (Bytes{7, 0, 0, 0}));
}

// A number option given something else says it is no number.
TEST_F(Cli, ANumberOptionGivenNoNumberSaysSo) {
  const std::string image = file("app.hex", Image);
  for (auto [options, words] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--reset", "dtr", "--reset-ms", "abc"},
            "--reset-ms: \"abc\" is not a whole number (it takes 1 to 60000)"},
           {{"--reset", "dtr", "--reset-ms", "0"}, "--reset-ms: 0 is out of bounds: it takes 1"},
           {{"--retries", "1x"}, "--retries: \"1x\" is not a whole number"},
           {{"--loop", "--count", "many"}, "--count: \"many\" is not a whole number"},
           {{"--loop", "--swap-seconds", "abc"}, "--swap-seconds: \"abc\" is not a number"}}) {
    std::vector<std::string> arguments = {"program", image, "--port", "/dev/null"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    expectSays(run(arguments), 2, words);
  }
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

// An ELF file of one loadable segment, 40 bytes at 0x6000, without sections.
std::string smallElf() {
  std::string elf(
      "\x7F"
      "ELF\x01\x01\x01",
      7);
  elf.resize(16, '\0');
  auto put = [&elf](uint32_t value, int width) {
    for (int i = 0; i < width; ++i) elf.push_back(static_cast<char>(value >> (8 * i)));
  };
  for (uint32_t value : {2u, 0x28u}) put(value, 2);            // executable, its machine
  for (uint32_t value : {1u, 0u, 52u, 0u, 0u}) put(value, 4);  // program headers at 52
  for (uint32_t value : {52u, 32u, 1u, 40u, 0u, 0u}) put(value, 2);
  for (uint32_t value : {1u, 84u, 0x6000u, 0x6000u, 40u, 40u, 5u, 4u}) put(value, 4);
  for (int i = 0; i < 40; ++i) elf.push_back(static_cast<char>(i * 3 + 2));
  return elf;
}

// The report's digests of the file and of the data programmed, with and
// without a serial number, stay what they are for one image of each format.
TEST_F(Cli, TheDigestsOfEachFormatStayAsTheyAre) {
  std::string binary;
  for (int i = 0; i < 300; ++i) binary.push_back(static_cast<char>(i * 11 + 3));
  struct Case {
    std::string file;
    std::vector<std::string> options;
    const char* serialAt;
    const char* sha256;
    const char* plain;     // image_sha256 without a serial number
    const char* numbered;  // image_sha256 with serial number 1000 at serialAt
  } cases[] = {
      {file("t.hex", Image),
       {},
       "0x4002",
       "34d56341712efec8c8a8c737f36a4a6d81e8591e04f07eb3eaeb26e72ac7b771",
       "32bbe378a25091502b2baf9f7258c19444e7a43ee4593b08030acd790bd66e6a",
       "db61116e03f1fd45e841e7ca4714e0888baa3caa3249894c58d46bad29038ab4"},
      {file("i.hex",
            ":020000040001F9\n:1420000005121F2C394653606D7A8794A1AEBBC8D5E2EFFCC2\n"
            ":0621000001080F161D246A\n:00000001FF\n"),
       {},
       "0x12002",
       "6581afccfb5074c222b2a8e98c80a6c3a743e2bba0af8b9dc86c49708e1f61a4",
       "2e75068baeaaef8ed0c6b13e9ed54604ff20e703bd554814d4592de766ad847b",
       "47c13f58f839a344b741397e79b591ea14f007e2d04c1aa60712eb2682840d4e"},
      {file("s.srec",
            "S0060000686472BB\nS117700005121F2C394653606D7A8794A1AEBBC8D5E2EFFC6E\n"
            "S20A00710001080F161D2415\nS5030002FA\nS9030000FC\n"),
       {},
       "0x7002",
       "cb9bf04912fe90c6a8c928b84b68528eded0973aa74b5339f6d47846b0cce983",
       "2e75068baeaaef8ed0c6b13e9ed54604ff20e703bd554814d4592de766ad847b",
       "47c13f58f839a344b741397e79b591ea14f007e2d04c1aa60712eb2682840d4e"},
      {file("e.elf", smallElf()),
       {},
       "0x6002",
       "35bf6cf0b782b8f5d700f6c2dc7d5e8e2210519fe16075fae1f237bc2d78a937",
       "effed2ef4d3607fe1e192461eebcaf360aa43c1a8d1b1340003ace7210b3b3ea",
       "1efdf9fcea0126baea0eee9c458fe4eaa1ea091a3eb097b607450f38dffae1b1"},
      {file("b.bin", binary),
       {"--format", "bin", "--address", "0x5000"},
       "0x5002",
       "fe21ab4523a5802408e55fe62b9de800756c78c5d5490accdb7dcf660c037296",
       "fe21ab4523a5802408e55fe62b9de800756c78c5d5490accdb7dcf660c037296",
       "5a7aed29a6b0f9edf1f395fdfa7cc5d30cfe4772e6ee322ee4975e1f2dfdf4ce"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    for (bool numbered : {false, true}) {
      std::vector<std::string> arguments = {"program", c.file, "--simulate", "--report", "-"};
      arguments.insert(arguments.end(), c.options.begin(), c.options.end());
      if (numbered) {
        arguments.insert(arguments.end(), {"--serial-at", c.serialAt, "--serial-start", "1000"});
      }
      const Result result = run(arguments);
      ASSERT_EQ(result.code, 0) << result.output;
      const std::vector<nlohmann::json> lines = reportLines(result.output);
      ASSERT_EQ(lines.size(), 1u) << result.output;
      EXPECT_EQ(lines[0]["sha256"], c.sha256);
      EXPECT_EQ(lines[0]["image_sha256"], numbered ? c.numbered : c.plain);
    }
  }
}

}  // namespace
