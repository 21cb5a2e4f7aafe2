// Ports by USB identity or place: the names read and matched, and the real
// k4471-cli finding simulated boards through a device tree the test lays
// out (K4471_SYSFS_ROOT), whose devices (K4471_DEV_ROOT) lead to the boards'
// pseudo-terminals; adapters plugged, pulled and replugged under new names.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <chrono>
#include <string>
#include <vector>

#include "station/port_selector.h"
#include "sim/simulator.h"
#include "tests/native/sim_boards.h"
#include "tests/native/cli_runner.h"
#include "tests/native/pty_peer.h"

namespace {

namespace fs = std::filesystem;

PortInfo usbPort(const std::string& device, int vendor, int product, const std::string& serial,
                 const std::string& location, const std::string& usbInterface = "") {
  PortInfo port;
  port.device = device;
  port.usb.known = true;
  port.usb.vendorId = vendor;
  port.usb.productId = product;
  port.usb.serial = serial;
  port.location = location;
  port.usbInterface = usbInterface.empty() ? location + ":1.0" : usbInterface;
  return port;
}

TEST(PortSelector, ReadsTheFormsAndRefusesWhatIsNoneOfThem) {
  PortSelector selector;
  std::string error;
  ASSERT_TRUE(parsePortSelector("usb:1A2B:3c4d", &selector, &error)) << error;
  EXPECT_EQ(selector.vendorId, 0x1a2b);
  EXPECT_EQ(selector.productId, 0x3c4d);
  EXPECT_EQ(selector.serial, "");
  ASSERT_TRUE(parsePortSelector("usb:0403:6001:A1:B2", &selector, &error)) << error;
  EXPECT_EQ(selector.serial, "A1:B2") << "a serial number may hold colons";
  ASSERT_TRUE(parsePortSelector("usb-path:1-2.3:1.0", &selector, &error)) << error;
  EXPECT_TRUE(selector.byPlace);
  EXPECT_EQ(selector.location, "1-2.3:1.0");
  for (const char* bad :
       {"usb:", "usb:1a2b", "usb:1a2b:", "usb:12345:1", "usb:xy:1", "usb:1a2b:3c4d:", "usb:-1:2",
        "usb-path:", "usb-path:abc", "usb-path:12"}) {
    EXPECT_FALSE(parsePortSelector(bad, &selector, &error)) << bad;
  }
  EXPECT_TRUE(isPortSelector("usb-path:x"));
  EXPECT_FALSE(isPortSelector("/dev/usb:1"));
}

TEST(PortSelector, NamesEachAdapterByWhatTellsItApart) {
  const std::vector<PortInfo> ports = {
      usbPort("/dev/ttyUSB0", 0x1a2b, 0x3c4d, "", "1-1"),
      usbPort("/dev/ttyUSB1", 0x1a2b, 0x3c4d, "", "1-2"),
      usbPort("/dev/ttyUSB2", 0x0403, 0x6010, "D1", "1-3", "1-3:1.0"),
      usbPort("/dev/ttyUSB3", 0x0403, 0x6010, "D1", "1-3", "1-3:1.1"),
      usbPort("/dev/ttyACM0", 0x2e8a, 0x000a, "E6", "2-1"),
  };
  // Twins without a serial number: only their places tell them apart.
  EXPECT_EQ(identitySelector(ports[0], ports), "");
  EXPECT_EQ(placeSelector(ports[0], ports), "usb-path:1-1");
  // An adapter with two ports: each is an interface of it.
  EXPECT_EQ(identitySelector(ports[3], ports), "");
  EXPECT_EQ(placeSelector(ports[3], ports), "usb-path:1-3:1.1");
  EXPECT_EQ(identitySelector(ports[4], ports), "usb:2e8a:000a:E6");
  EXPECT_EQ(placeSelector(ports[4], ports), "usb-path:2-1");

  PortSelector selector;
  std::string error;
  ASSERT_TRUE(parsePortSelector("usb:1a2b:3c4d", &selector, &error));
  const std::vector<PortInfo> twins = matchingPorts(selector, ports);
  ASSERT_EQ(twins.size(), 2u);
  EXPECT_EQ(severalMatchesText("usb:1a2b:3c4d", twins, ports),
            "usb:1a2b:3c4d matches 2 adapters: /dev/ttyUSB0 (--port usb-path:1-1) and "
            "/dev/ttyUSB1 (--port usb-path:1-2)");
  ASSERT_TRUE(parsePortSelector("usb-path:1-3:1.0", &selector, &error));
  EXPECT_EQ(matchingPorts(selector, ports).size(), 1u);
  ASSERT_TRUE(parsePortSelector("usb:2e8a:000a:e6", &selector, &error));
  EXPECT_TRUE(matchingPorts(selector, ports).empty()) << "a serial number is matched exactly";
}

#ifdef __linux__

// A fake system: a device tree and a device folder whose ttys lead to the
// simulated boards.
class Slots : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    image = dir + "/app.hex";
    std::ofstream(image) << "00004000\n01 02 03 04 05\n";
    root = dir + "/sys";
    devices = dir + "/dev";
    fs::create_directories(root + "/class/tty");
    fs::create_directories(devices);
    setenv("K4471_SYSFS_ROOT", root.c_str(), 1);
    setenv("K4471_DEV_ROOT", devices.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("K4471_SYSFS_ROOT");
    unsetenv("K4471_DEV_ROOT");
    stopSimBoards(&boards);
    removeScratchDir(dir);
  }
  // A simulated board whose pseudo-terminal is published at dir/NAME.
  std::string board(const std::string& name, SimConfig config = SimConfig()) {
    return startSimBoard(&boards, dir + "/" + name, config);
  }
  // An adapter plugged in at `location` as tty NAME, its device leading to `link`.
  void plug(const std::string& name, const std::string& location, const std::string& serial,
            const std::string& link) {
    const std::string usb = root + "/devices/usb1/" + location;
    const std::string port = usb + "/" + location + ":1.0/" + name;
    fs::create_directories(port);
    std::ofstream(usb + "/idVendor") << "1a2b\n";
    std::ofstream(usb + "/idProduct") << "3c4d\n";
    if (!serial.empty()) std::ofstream(usb + "/serial") << serial << "\n";
    fs::create_directories(root + "/class/tty/" + name);
    fs::create_symlink(port, root + "/class/tty/" + name + "/device");
    fs::create_symlink(link, devices + "/" + name);
  }
  void pull(const std::string& name, const std::string& location) {
    fs::remove_all(root + "/class/tty/" + name);
    fs::remove_all(root + "/devices/usb1/" + location);
    fs::remove(devices + "/" + name);
  }
  std::vector<std::string> program(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"program", image});
    return arguments;
  }
  std::string dir, image, root, devices;
  SimBoards boards;
  std::vector<Simulator*>& sims = boards.sims;
};

TEST_F(Slots, FindsTheAdapterByIdentityOrPlaceListsItsSelectorsAndReportsItsDevice) {
  plug("ttyUSB0", "1-1", "S1", board("a.tty"));
  plug("ttyUSB1", "1-2", "S2", board("b.tty"));
  const std::string out = dir + "/out.txt";
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, {"ports", "--json"}, out)), 0);
  const nlohmann::json ports = nlohmann::json::parse(readText(out));
  nlohmann::json second;
  for (const nlohmann::json& port : ports) {
    if (port["device"] == devices + "/ttyUSB1") second = port;
  }
  ASSERT_TRUE(second.is_object()) << readText(out);
  EXPECT_EQ(second["location"], "1-2");
  EXPECT_EQ(second["port_by_identity"], "usb:1a2b:3c4d:S2");
  EXPECT_EQ(second["port_by_place"], "usb-path:1-2");

  for (const char* given : {"usb:1a2b:3c4d:S2", "usb-path:1-2"}) {
    simReset(sims[1]);  // the next board calls
    const int code =
        waitFor(spawnProgram(K4471_CLI, program({"--port", given, "--report", "-"}), out));
    ASSERT_EQ(code, 0) << readText(out);
    const auto lines = reportLines(readText(out));
    ASSERT_EQ(lines.size(), 1u) << readText(out);
    EXPECT_EQ(lines[0]["port"], given);
    EXPECT_EQ(lines[0]["device"], devices + "/ttyUSB1");
  }
  EXPECT_EQ(simStatus(sims[0]).recordsReceived, 0) << "the other adapter's board is untouched";
  EXPECT_GT(simStatus(sims[1]).recordsAccepted, 0);
}

TEST_F(Slots, RefusesTwinsWithoutASerialAndTwoSelectorsOfOneAdapter) {
  plug("ttyUSB0", "1-1", "", board("a.tty"));
  plug("ttyUSB1", "1-2", "", board("b.tty"));
  const std::string out = dir + "/out.txt";
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, program({"--port", "usb:1a2b:3c4d"}), out)), 2);
  EXPECT_NE(readText(out).find("usb:1a2b:3c4d matches 2 adapters: " + devices +
                               "/ttyUSB0 (--port usb-path:1-1) and " + devices +
                               "/ttyUSB1 (--port usb-path:1-2)"),
            std::string::npos)
      << readText(out);
  EXPECT_EQ(
      waitFor(spawnProgram(
          K4471_CLI, program({"--port", "usb-path:1-1", "--port", devices + "/ttyUSB0"}), out)),
      2);
  EXPECT_NE(
      readText(out).find("--port usb-path:1-1 is given twice, also as " + devices + "/ttyUSB0"),
      std::string::npos)
      << readText(out);
  EXPECT_EQ(waitFor(spawnProgram(
                K4471_CLI, program({"--port", "usb-path:1-2", "--port", "usb-path:1-2:1.0"}), out)),
            2);
  EXPECT_NE(readText(out).find("is given twice"), std::string::npos) << readText(out);
  EXPECT_TRUE(simHostBytes(sims[0]).empty() && simHostBytes(sims[1]).empty())
      << "nothing reached the boards";
}

TEST_F(Slots, APlaceWithNoAdapterIsWaitedForUntilItComesOrTheWaitEnds) {
  const std::string out = dir + "/out.txt";
  const int code = waitFor(spawnProgram(
      K4471_CLI, program({"--port", "usb-path:3-4", "--wait", "1", "--report", "-"}), out));
  EXPECT_EQ(code, 6) << readText(out);
  EXPECT_NE(readText(out).find("no adapter matches usb-path:3-4: waiting for it"),
            std::string::npos)
      << readText(out);
  EXPECT_NE(readText(out).find("no target called on usb-path:3-4"), std::string::npos);

  const pid_t pid = spawnProgram(K4471_CLI, program({"--port", "usb-path:3-4"}), out);
  ASSERT_TRUE(waitForWords(out, "no adapter matches", 10000)) << readText(out);
  plug("ttyACM2", "3-4", "", board("a.tty"));
  EXPECT_EQ(waitFor(pid), 0) << readText(out);
  EXPECT_GT(simStatus(sims[0]).recordsAccepted, 0);
}

// A station's slot follows its adapter: pulled, it is waited for (also while
// its identity names two adapters, both named), and replugged under another
// name and place it is found again and takes the next board.
TEST_F(Slots, AStationFindsItsAdapterReplugedUnderANewName) {
  SimConfig config;
  config.nextBoardMs = 60000;  // the next board comes with the replug
  const std::string a = board("a.tty", config), b = board("b.tty", config);
  plug("ttyUSB0", "1-1", "", a);
  const std::string out = dir + "/out.txt", report = dir + "/report.json";
  const pid_t pid = spawnProgram(K4471_CLI,
                                 program({"--port", "usb:1a2b:3c4d", "--loop", "--count", "2",
                                          "--swap-seconds", "0.2", "--report", report}),
                                 out);
  ASSERT_TRUE(waitForWords(report, "\"board\":1", 10000)) << readText(out);
  const auto firstEnded = std::chrono::steady_clock::now();
  plug("ttyUSB1", "1-2", "", b);  // a twin appears
  simControl(sims[0], "unplug");
  ASSERT_TRUE(waitForWords(out, "usb:1a2b:3c4d matches 2 adapters: " + devices + "/ttyUSB0", 10000))
      << readText(out);
  EXPECT_NE(readText(out).find(devices + "/ttyUSB1 (--port usb-path:1-2)"), std::string::npos)
      << readText(out);
  // The port went away after the board ended: a call once the swap window
  // (0.2 s from that end) has passed is the next board.
  EXPECT_TRUE(waitUntil([&] {
    return std::chrono::steady_clock::now() - firstEnded > std::chrono::milliseconds(300);
  }));
  pull("ttyUSB1", "1-2");
  pull("ttyUSB0", "1-1");
  plug("ttyUSB7", "1-4.2", "", a);  // back on another hub port, under another name
  simReset(sims[0]);
  EXPECT_EQ(waitFor(pid), 0) << readText(out);
  const auto lines = reportLines(readText(report));
  ASSERT_EQ(lines.size(), 2u) << readText(out);
  EXPECT_EQ(lines[0]["device"], devices + "/ttyUSB0");
  EXPECT_EQ(lines[1]["device"], devices + "/ttyUSB7");
  EXPECT_EQ(lines[1]["port"], "usb:1a2b:3c4d");
  EXPECT_NE(readText(out).find("the port is back"), std::string::npos) << readText(out);
  EXPECT_EQ(simStatus(sims[1]).recordsReceived, 0) << "the twin was never taken";
}

// Two slots whose selectors find one adapter when their ports open again (both adapters pulled,
// one replugged at the other slot's place): neither opens it, each names the clash and waits,
// and once each has its own adapter again each takes its own board.
TEST_F(Slots, TwoSlotsWhoseSelectorsFindOneAdapterAtAReopenNeitherOpensIt) {
  SimConfig config;
  config.nextBoardMs = 60000;  // the next board comes with the replug
  const std::string a = board("a.tty", config), b = board("b.tty", config);
  plug("ttyUSB0", "1-1", "S1", a);
  plug("ttyUSB1", "1-2", "S2", b);
  const std::string byIdentity = "usb:1a2b:3c4d:S1", byPlace = "usb-path:1-2";
  const std::string out = dir + "/out.txt", report = dir + "/report.json";
  const auto saidTwice = [&](const std::string& words) {
    const std::string text = readText(out);
    const size_t first = text.find(words);
    return first != std::string::npos && text.find(words, first + 1) != std::string::npos;
  };
  const pid_t pid =
      spawnProgram(K4471_CLI,
                   program({"--port", byIdentity, "--port", byPlace, "--loop", "--count", "4",
                            "--swap-seconds", "0", "--report", report}),
                   out);
  EXPECT_TRUE(waitUntil([&] { return reportLines(readText(report)).size() == 2; }))
      << readText(out);
  simControl(sims[0], "unplug");
  simControl(sims[1], "unplug");
  EXPECT_TRUE(waitUntil([&] { return saidTwice("the port went away"); })) << readText(out);
  pull("ttyUSB0", "1-1");
  pull("ttyUSB1", "1-2");
  plug("ttyUSB5", "1-2", "S1", a);
  simReset(sims[0]);  // its next board calls on the adapter both slots now find
  const std::string clash = " both select " + devices + "/ttyUSB5";
  EXPECT_TRUE(waitUntil([&] {
    const std::string text = readText(out);
    return text.find(byIdentity + " and " + byPlace + clash) != std::string::npos &&
           text.find(byPlace + " and " + byIdentity + clash) != std::string::npos;
  })) << readText(out);
  EXPECT_EQ(simStatus(sims[0]).framesReceived, 0) << "no slot answered the board's call";
  // Each adapter back at its own place: each slot takes its board.
  pull("ttyUSB5", "1-2");
  plug("ttyUSB0", "1-1", "S1", a);
  plug("ttyUSB1", "1-2", "S2", b);
  simReset(sims[1]);
  EXPECT_EQ(waitFor(pid), 0) << readText(out);
  const auto lines = reportLines(readText(report));
  ASSERT_EQ(lines.size(), 4u) << readText(out);
  for (const nlohmann::json& line : lines) {
    EXPECT_EQ(line["outcome"], "success");
    EXPECT_EQ(line["device"], devices + (line["port"] == byPlace ? "/ttyUSB1" : "/ttyUSB0"));
  }
  EXPECT_EQ(simStatus(sims[0]).recordsAccepted, simStatus(sims[1]).recordsAccepted)
      << "each board programmed once, by its own slot";
}

// A board pulled out with its adapter in the middle of its run is removed:
// not retried, and the station's slot waits for its port and the next board.
TEST_F(Slots, ABoardPulledOutMidRunIsRemovedAndTheSlotTakesTheNext) {
  SimConfig config;
  config.eraseBlockMs = 10000;  // pulled out long before the erase ends
  config.nextBoardMs = 60000;
  plug("ttyUSB0", "1-1", "S1", board("a.tty", config));
  const std::string out = dir + "/out.txt", report = dir + "/report.json";
  const auto pullMidErase = [&] {
    waitUntil([&] { return simStatus(sims[0]).framesReceived >= 2; });
    ASSERT_GE(simStatus(sims[0]).framesReceived, 2) << "the erase has started\n" << readText(out);
    simControl(sims[0], "unplug");
  };
  pid_t pid =
      spawnProgram(K4471_CLI,
                   program({"--port", "usb:1a2b:3c4d:S1", "--loop", "--count", "1", "--serial-at",
                            "0x7FF0", "--serial-start", "40", "--report", report}),
                   out);
  pullMidErase();
  ASSERT_TRUE(waitForWords(report, "\"removed\"", 10000)) << readText(out);
  simControl(sims[0], "set erase-block-ms 0");
  simReset(sims[0]);  // plugged in again with the next board
  EXPECT_EQ(waitFor(pid), 7) << readText(out);
  auto lines = reportLines(readText(report));
  ASSERT_EQ(lines.size(), 2u) << readText(out);
  EXPECT_EQ(lines[0]["outcome"], "removed");
  EXPECT_EQ(lines[0]["exit_code"], 6);
  EXPECT_EQ(lines[0]["failed_step"], "erase");
  EXPECT_EQ(lines[0]["serial"], 40);
  EXPECT_NE(lines[0]["message"].get<std::string>().find("the board was removed from"),
            std::string::npos);
  EXPECT_EQ(lines[1]["outcome"], "success");
  EXPECT_EQ(lines[1]["serial"], 41) << "the removed board's number stays spent";
  EXPECT_NE(readText(out).find("board 1 removed"), std::string::npos) << readText(out);

  // One board with retries: a board that is gone is not tried again.
  simControl(sims[0], "set erase-block-ms 10000");
  simReset(sims[0]);
  pid = spawnProgram(
      K4471_CLI, program({"--port", "usb-path:1-1", "--retries", "2", "--report", report}), out);
  pullMidErase();
  EXPECT_EQ(waitFor(pid), 6) << readText(out);
  lines = reportLines(readText(report));
  ASSERT_EQ(lines.size(), 1u) << readText(out);
  EXPECT_EQ(lines[0]["outcome"], "removed");
  EXPECT_EQ(readText(out).find("Attempt 1 of 3 failed"), std::string::npos) << readText(out);
}

#endif

}  // namespace
