// Network ports through a serial server nobody here wrote: ser2net in front
// of a pseudo-terminal on the loopback, as raw TCP and as RFC 2217.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_port.h"
#include "tests/native/pty_peer.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;

const char* ser2netProgram() {
  for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return nullptr;
}

// A TCP port of the loopback that nothing listens on now.
int freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

bool listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return up;
}

class ThroughSer2net : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    const char* program = ser2netProgram();
    if (!program) GTEST_SKIP() << "ser2net is not installed (tools/install-deps)";
    ASSERT_TRUE(ptyOpen(&peer));
    dir = makeScratchDir();
    port = freeLoopbackPort();
    const std::string config = dir + "/ser2net.yaml";
    std::ofstream(config) << "connection: &board\n  accepter: "
                          << (GetParam() ? "telnet(rfc2217),tcp,127.0.0.1," : "tcp,127.0.0.1,")
                          << port << "\n  connector: serialdev," << peer.device
                          << ",115200n81,local\n";
    const std::string pidFile = dir + "/ser2net.pid";
    const char* argv[] = {program,         "-n",   "-u", "-c", config.c_str(), "-P",
                          pidFile.c_str(), nullptr};
    ASSERT_EQ(posix_spawn(&server, program, nullptr, nullptr, const_cast<char**>(argv), environ),
              0);
    for (int i = 0; i < 100 && !listening(port); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ASSERT_TRUE(listening(port)) << "ser2net did not listen on " << port;
  }
  void TearDown() override {
    setPortDevicePath(7, nullptr);
    if (server > 0) {
      kill(server, SIGTERM);
      waitpid(server, nullptr, 0);
    }
    if (!dir.empty()) removeScratchDir(dir);
    ptyClose(&peer);
  }
  PtyPeer peer;
  std::string dir;
  int port = 0;
  pid_t server = 0;
};

TEST_P(ThroughSer2net, BytesPassBothWays) {
  const std::string url =
      std::string(GetParam() ? "rfc2217://" : "tcp://") + "127.0.0.1:" + std::to_string(port);
  setPortDevicePath(7, url.c_str());
  SerialSettings settings = DefaultSerialSettings;
  settings.portNumber = 7;
  SerialPort link = InvalidSerialPort;
  ASSERT_EQ(openSerialPort(&link, settings), 0);
  BlockRecord record = {};
  for (size_t i = 0; i < sizeof record.data; ++i) record.data[i] = i % 2 ? 0xFF : uint8_t(i);
  record.checkValue = 0xFFFFFFFFu;
  ASSERT_EQ(writeBlockRecord(link, record), 0);
  const uint8_t* sent = reinterpret_cast<const uint8_t*>(&record);
  Bytes arrived;
  for (int i = 0; i < 20 && arrived.size() < sizeof record; ++i) {
    const Bytes more = ptyReceive(peer, 100);
    arrived.insert(arrived.end(), more.begin(), more.end());
  }
  EXPECT_EQ(arrived, Bytes(sent, sent + sizeof record));
  const Bytes reply = {0x8C, 0xFF, 0x12, 0xFF};
  ptySend(peer, reply);
  uint32_t slots[4] = {};
  ASSERT_EQ(readReplyTimed(link, slots, 4), 0);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(slots[i] & 0xFF, reply[i]) << i;
  closeSerialPort(&link);
}

INSTANTIATE_TEST_SUITE_P(RawAndRfc2217, ThroughSer2net, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Rfc2217" : "RawTcp");
                         });

}  // namespace
