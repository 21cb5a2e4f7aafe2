// The check that a launched application runs (--expect), end to end: the
// real k4471-cli against simulated boards that answer, stay silent, chatter
// or hang up; and the port list as JSON from a system device tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulator.h"
#include "tests/native/cli_runner.h"
#include "tests/native/pty_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
  int code;
  std::string output;
  double seconds;
  Clock::time_point ended;
};

// The image puts 1000 (E8 03 00 00, little-endian) where the application
// reads its serial number.
const char* const Image = "00004000 01 02 03\n00007FF0 E8 03 00 00\n";

class CliAppCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    image = dir + "/app.hex";
    std::ofstream(image) << Image;
  }
  void TearDown() override {
    for (Simulator* sim : sims) simStop(sim);
    removeScratchDir(dir);
  }
  std::string board(const char* name, const char* appText = nullptr) {
    std::string link = dir + "/" + name;
    SimConfig config;
    config.linkPath = link.c_str();
    config.callMs = 20;
    config.eraseBlocks = 2;
    config.appText = appText;
    Simulator* sim = simStart(config);
    EXPECT_NE(sim, nullptr);
    sims.push_back(sim);
    return link;
  }
  // Runs k4471-cli with `environment` added; standard output and error in one.
  Result run(const std::vector<std::string>& arguments, const std::string& environment = "") {
    const std::string out = dir + "/out.txt";
    const Clock::time_point start = Clock::now();
    const int code = waitFor(spawnProgram(K4471_CLI, arguments, out, "/dev/null", environment));
    const Clock::time_point ended = Clock::now();
    const double seconds = std::chrono::duration<double>(ended - start).count();
    return {code, readText(out), seconds, ended};
  }
  // Once the board has been launched, does `line` to it (from another thread)
  // and notes when in `*done`.
  std::thread afterLaunch(Simulator* sim, std::string line, Clock::time_point* done) {
    return std::thread([sim, line, done] {
      EXPECT_TRUE(waitUntil([sim] { return simStatus(sim).launched; }));
      *done = Clock::now();
      simControl(sim, line.c_str());
    });
  }
  // The milliseconds from `from` to the end of the run.
  static long msBetween(Clock::time_point from, const Result& result) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(result.ended - from).count());
  }
  std::string dir, image;
  std::vector<Simulator*> sims;
};

TEST_F(CliAppCheck, PassesOnlyWhenTheApplicationAnswersWithinTheLimit) {
  const std::string answers = board("answers.tty", "app up, sn={u32le@0x7FF0}");
  const std::string silent = board("silent.tty");
  Result result = run({"program", image, "--port", answers, "--launch", "--expect",
                       "app up, sn=1000", "--report", "-"});
  EXPECT_EQ(result.code, 0) << result.output;
  EXPECT_NE(result.output.find("The application answered: \"app up, sn=1000\""), std::string::npos);

  result = run({"program", image, "--port", silent, "--launch", "--expect", "sn=1000",
                "--expect-timeout", "2", "--report", "-"});
  EXPECT_EQ(result.code, 8) << result.output;
  EXPECT_GE(result.seconds, 2.0);
  EXPECT_LT(result.seconds * 1000, generousBoundMs(2000));
  nlohmann::json line = reportsByPort(result.output)[silent];
  EXPECT_EQ(line["outcome"], "app-check-failed");
  EXPECT_EQ(line["failed_step"], "app-check");
  EXPECT_NE(line["message"].get<std::string>().find("it printed nothing"), std::string::npos);

  // A gang hands the check to every worker: each board judged on its own.
  for (Simulator* sim : sims) simReset(sim);  // back in their bootloaders
  result = run({"program", image, "--port", answers, "--port", silent, "--launch", "--expect",
                "sn=1000", "--expect-timeout", "1", "--wait", "5", "--report", "-"});
  EXPECT_EQ(result.code, 7) << result.output;
  std::map<std::string, nlohmann::json> lines = reportsByPort(result.output);
  EXPECT_EQ(lines[answers]["outcome"], "success");
  EXPECT_EQ(lines[silent]["outcome"], "app-check-failed");

  EXPECT_EQ(run({"program", image, "--port", silent, "--expect", "x"}).code, 2)
      << "--expect needs --launch";
  result = run({"program", image, "--port", silent, "--launch", "--expect", "sn={serial}"});
  EXPECT_EQ(result.code, 2) << "{serial} without numbered boards: " << result.output;
}

TEST_F(CliAppCheck, AChatteringApplicationEndsAtTheLimitAndADeadLineAtOnce) {
  const std::string port = board("chatter.tty");
  Clock::time_point chattering;
  std::thread chatter = afterLaunch(sims[0], "set chatter-ms 10", &chattering);
  Result result = run({"program", image, "--port", port, "--launch", "--expect", "sn=1000",
                       "--expect-timeout", "2"});
  chatter.join();
  EXPECT_EQ(result.code, 8) << result.output;
  EXPECT_LT(msBetween(chattering, result), generousBoundMs(2000));
  EXPECT_NE(result.output.find("the last line it printed: \"app running, tick"), std::string::npos)
      << result.output;

  simControl(sims[0], "set chatter-ms 0");
  simReset(sims[0]);
  Clock::time_point unplugged;
  std::thread unplug = afterLaunch(sims[0], "unplug", &unplugged);
  result = run({"program", image, "--port", port, "--launch", "--expect", "sn=1000"});
  unplug.join();
  EXPECT_EQ(result.code, 8) << result.output;
  EXPECT_LT(msBetween(unplugged, result), generousBoundMs(2 * BlockingSliceMilliseconds))
      << "the default limit is 10 s: the dead line ended it";
  EXPECT_NE(result.output.find("the line to the target failed"), std::string::npos);
}

TEST_F(CliAppCheck, TheSerialNumberIsAWholeRunOfDigitsOfTheBoardsNumber) {
  // Zero-padded by the format, the number still passes.
  const std::string padded = board("padded.tty", "SN={ascii:8@0x7FF0}");
  Result result =
      run({"program", image, "--port", padded, "--launch", "--expect", "SN={serial}", "--serial-at",
           "0x7FF0", "--serial-format", "ascii:8", "--serial-start", "12345"});
  EXPECT_EQ(result.code, 0) << result.output;
  EXPECT_NE(result.output.find("The application answered: \"SN=00012345\""), std::string::npos)
      << result.output;

  // Board 12 printing 123 is not board 12.
  const std::string longer = board("longer.tty", "SN={ascii:2@0x7FF0}3");
  result = run({"program", image, "--port", longer, "--launch", "--expect", "SN={serial}",
                "--expect-timeout", "1", "--serial-at", "0x7FF0", "--serial-format", "ascii:2",
                "--serial-start", "12"});
  EXPECT_EQ(result.code, 8) << result.output;
  EXPECT_NE(result.output.find("the last line it printed: \"SN=123\""), std::string::npos)
      << result.output;

  // A {serial} that touches a digit could never be met.
  result = run({"program", image, "--port", longer, "--launch", "--expect", "SN={serial}0",
                "--serial-at", "0x7FF0", "--serial-start", "12", "--wait", "5"});
  EXPECT_EQ(result.code, 2) << result.output;
  EXPECT_NE(result.output.find("cannot touch a digit"), std::string::npos) << result.output;
}

TEST_F(CliAppCheck, ALineCutByTheLimitIsSaidToBeCut) {
  const std::string port = board("stalls.tty", "app up, sn=1000 and the rest");
  simControl(sims[0], "set app-text-cut 10");
  Result result = run({"program", image, "--port", port, "--launch", "--expect", "sn=1000",
                       "--expect-timeout", "1", "--report", "-"});
  EXPECT_EQ(result.code, 8) << result.output;
  const std::string words = "the last line it printed (cut off before its end): \"app up, sn\"";
  EXPECT_NE(result.output.find(words), std::string::npos) << result.output;
  const nlohmann::json line = reportsByPort(result.output)[port];
  EXPECT_NE(line["message"].get<std::string>().find(words), std::string::npos) << line;
}

TEST_F(CliAppCheck, PortsAsJsonCarryTheirUsbIdentity) {
  // A system device tree: ttyUSB9 on a USB interface of a USB device.
  const std::string root = dir + "/sys";
  const std::string usb = root + "/devices/pci0/usb1/1-1";
  const std::string tty = usb + "/1-1:1.0/ttyUSB9";
  for (const std::string& d :
       {root, root + "/devices", root + "/devices/pci0", root + "/devices/pci0/usb1", usb,
        usb + "/1-1:1.0", tty, tty + "/tty", tty + "/tty/ttyUSB9", root + "/class",
        root + "/class/tty"}) {
    mkdir(d.c_str(), 0755);
  }
  const std::map<std::string, std::string> files = {{"idVendor", "1a2b\n"},
                                                    {"idProduct", "3c4d\n"},
                                                    {"serial", "A1B2C3\n"},
                                                    {"manufacturer", "Maker\n"},
                                                    {"product", "Serial Cable\n"}};
  for (const auto& file : files) std::ofstream(usb + "/" + file.first) << file.second;
  ASSERT_EQ(symlink("../../../ttyUSB9", (tty + "/tty/ttyUSB9/device").c_str()), 0);
  ASSERT_EQ(symlink(("../../devices/pci0/usb1/1-1/1-1:1.0/ttyUSB9/tty/ttyUSB9"),
                    (root + "/class/tty/ttyUSB9").c_str()),
            0);

  Result result = run({"ports", "--json"}, "K4471_SYSFS_ROOT=" + root);
  ASSERT_EQ(result.code, 0) << result.output;
  nlohmann::json ports = nlohmann::json::parse(result.output);
  nlohmann::json found;
  for (const nlohmann::json& port : ports) {
    if (port["device"] == "/dev/ttyUSB9") found = port;
  }
  ASSERT_TRUE(found.is_object()) << result.output;
  EXPECT_EQ(found["usb"]["vendor_id"], "1a2b");
  EXPECT_EQ(found["usb"]["product_id"], "3c4d");
  EXPECT_EQ(found["usb"]["serial"], "A1B2C3");
  EXPECT_EQ(found["usb"]["manufacturer"], "Maker");
  EXPECT_EQ(found["usb"]["product"], "Serial Cable");

  result = run({"ports"}, "K4471_SYSFS_ROOT=" + root);
  EXPECT_NE(result.output.find("/dev/ttyUSB9"), std::string::npos);
  EXPECT_NE(result.output.find("[USB 1a2b:3c4d]"), std::string::npos) << result.output;
}

}  // namespace
