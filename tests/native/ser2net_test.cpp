// Network ports through a serial server nobody here wrote: ser2net in front
// of a pseudo-terminal on the loopback, as raw TCP and as RFC 2217.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/serial_port.h"
#include "tests/native/net_peer.h"
#include "tests/native/pty_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ThroughSer2net : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!ser2netProgram()) GTEST_SKIP() << "ser2net is not installed (tools/install-deps)";
    ASSERT_TRUE(ptyOpen(&peer));
    dir = makeScratchDir();
    port = freeLoopbackPort();
    std::string why;
    server = ser2netStart(dir, peer.device, port, GetParam(), &why);
    ASSERT_NE(server, 0) << why;
  }
  void TearDown() override {
    setPortDevicePath(7, nullptr);
    ser2netStop(server);
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
