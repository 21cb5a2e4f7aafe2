// A USB serial adapter's latency told to the user: the adapter recognised
// through a device tree that the test lays out (K4471_SYSFS_ROOT), around a
// pseudo-terminal that plays the adapter's port.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/adapter_latency.h"
#include "tests/native/cli_runner.h"
#include "tests/native/pty_peer.h"
#include "sim/simulator.h"

namespace {

namespace fs = std::filesystem;

// A device tree that places the device `path` names under a USB adapter
// called `tty` (or under the board's own serial port when `usb` is false),
// with a latency timer of `timerMs` in `timerPlace` (none when empty).
void layOutAdapter(const std::string& root, const std::string& path, const std::string& tty,
                   bool usb, int timerMs, const std::string& timerPlace) {
  struct stat about;
  ASSERT_EQ(stat(path.c_str(), &about), 0);
  fs::create_directories(root + "/dev/char");
  const std::string parent = usb ? "../../devices/pci0000:00/usb1/1-2/1-2:1.0/" + tty + "/tty/"
                                 : "../../devices/platform/serial8250/tty/";
  fs::create_symlink(parent + tty, root + "/dev/char/" + std::to_string(major(about.st_rdev)) +
                                       ":" + std::to_string(minor(about.st_rdev)));
  if (timerPlace.empty()) return;
  fs::create_directories(fs::path(root + timerPlace).parent_path());
  std::ofstream(root + timerPlace) << timerMs << "\n";
}

class AdapterLatencyTest : public PtyLinkTest {
 protected:
  void SetUp() override {
    PtyLinkTest::SetUp();
    root = makeScratchDir();
    setenv("K4471_SYSFS_ROOT", root.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("K4471_SYSFS_ROOT");
    removeScratchDir(root);
    PtyLinkTest::TearDown();
  }
  // Opens the pseudo-terminal as the link's port and tells what it was.
  AdapterLatency openAndAsk() {
    noteAdapterLatency(AdapterLatency{LowLatency::Granted, 0, 99, "stale"});
    SerialPort port = InvalidSerialPort;
    EXPECT_EQ(openSerialPort(&port, settings), 0);
    closeSerialPort(&port);
    return lastAdapterLatency();
  }
  std::string root;
};

#ifdef __linux__
TEST_F(AdapterLatencyTest, ASlowTimerIsToldWithTheCommandThatLowersIt) {
  const std::string file = "/bus/usb-serial/devices/ttyUSB3/latency_timer";
  layOutAdapter(root, peer.device, "ttyUSB3", true, 16, file);
  const AdapterLatency latency = openAndAsk();
  // A pseudo-terminal has no serial driver flags: the request is refused
  // and the port opened all the same.
  EXPECT_EQ(latency.lowLatency, LowLatency::Refused);
  EXPECT_EQ(latency.timerMs, 16);
  EXPECT_EQ(adapterLatencyNote("/dev/ttyUSB3", latency),
            "/dev/ttyUSB3: low-latency mode refused (" + systemErrorText(latency.systemError) +
                "); the adapter's latency timer is 16 ms: for faster programming, `echo 1 | "
                "sudo tee /sys" +
                file + "`");
}

TEST_F(AdapterLatencyTest, ATimerOf1MsNeedsNoFixAndATimerlessAdapterIsStillNamed) {
  layOutAdapter(root, peer.device, "ttyUSB0", true, 1, "/class/tty/ttyUSB0/device/latency_timer");
  const std::string fast = adapterLatencyNote("/dev/ttyUSB0", openAndAsk());
  EXPECT_NE(fast.find("; the adapter's latency timer is 1 ms"), std::string::npos) << fast;
  EXPECT_EQ(fast.find("tee"), std::string::npos) << fast;

  removeScratchDir(root);
  layOutAdapter(root, peer.device, "ttyACM0", true, 0, "");
  const AdapterLatency acm = openAndAsk();
  EXPECT_EQ(acm.timerMs, -1);
  EXPECT_EQ(adapterLatencyNote("/dev/ttyACM0", acm).find("latency timer"), std::string::npos);
  EXPECT_EQ(adapterLatencyNote("/dev/ttyACM0", {LowLatency::Granted, 0, 4, "/sys/x"}),
            "/dev/ttyACM0: low-latency mode granted; the adapter's latency timer is 4 ms: for "
            "faster programming, `echo 1 | sudo tee /sys/x`");
}
#endif

TEST_F(AdapterLatencyTest, APseudoTerminalOrABoardsOwnPortIsNoAdapter) {
  EXPECT_EQ(openAndAsk().lowLatency, LowLatency::NotAnAdapter);  // an empty device tree
  layOutAdapter(root, peer.device, "ttyS0", false, 16, "/class/tty/ttyS0/device/latency_timer");
  EXPECT_EQ(openAndAsk().lowLatency, LowLatency::NotAnAdapter);
  unsetenv("K4471_SYSFS_ROOT");  // the system's own tree holds no pseudo-terminal
  const AdapterLatency latency = openAndAsk();
  EXPECT_EQ(latency.lowLatency, LowLatency::NotAnAdapter);
  EXPECT_EQ(adapterLatencyNote(peer.device, latency), "");
}

#ifdef __linux__
// The command line says it with --verbose only.
TEST_F(AdapterLatencyTest, TheCommandLineTellsItWhenVerbose) {
  SimConfig config;
  const std::string link = root + "/board.tty";
  config.linkPath = link.c_str();
  config.callMs = 20;
  config.eraseBlocks = 5;
  Simulator* sim = simStart(config);
  ASSERT_NE(sim, nullptr);
  layOutAdapter(root, link, "ttyUSB7", true, 16, "/bus/usb-serial/devices/ttyUSB7/latency_timer");
  const std::string image = root + "/image.hex";
  std::ofstream(image) << "00004000\n01 02 03 04\n";
  const std::string out = root + "/out.txt";
  for (const bool verbose : {true, false}) {
    std::vector<std::string> arguments = {"program", image, "--port", link, "--wait", "10"};
    if (verbose) arguments.push_back("--verbose");
    const int code = waitFor(spawnProgram(K4471_CLI, arguments, out));
    const std::string text = readText(out);
    EXPECT_EQ(code, 0) << text;
    const bool told =
        text.find("note: " + link + ": low-latency mode refused") != std::string::npos &&
        text.find(
            "latency timer is 16 ms: for faster programming, `echo 1 | sudo "
            "tee /sys/bus/usb-serial/devices/ttyUSB7/latency_timer`") != std::string::npos;
    EXPECT_EQ(told, verbose) << text;
    simControl(sim, "reset");
  }
  simStop(sim);
}
#endif

}  // namespace
