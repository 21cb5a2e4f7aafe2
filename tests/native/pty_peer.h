// A pseudo-terminal whose slave side a test opens as a serial port while the
// test plays the other end on the master side.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_port.h"
#include "tests/waits.h"

struct PtyPeer {
  int master = -1;
  int slaveHold = -1;  // keeps the line up between opens by the code under test
  std::string device;
};

bool ptyOpen(PtyPeer* peer);
void ptyClose(PtyPeer* peer);
void ptySend(const PtyPeer& peer, const std::vector<uint8_t>& bytes);
// Whatever the other side wrote within the wait.
std::vector<uint8_t> ptyReceive(const PtyPeer& peer, int waitMs);

// The four wire bytes of an intact reply, and byte strings put together.
std::vector<uint8_t> replyBytes(int32_t code);
std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b);

// A target played by a thread of its own, for exchanges where the host
// discards what came before its command: each step waits until the host has
// written `after` more bytes and then `delayMs`, and sends `reply`.
struct PeerStep {
  size_t after;
  std::vector<uint8_t> reply;
  int delayMs = 0;
};
struct PeerScript {
  std::thread thread;
  std::vector<uint8_t> received;  // what the host wrote, once finished
  std::atomic<bool> stop{false};
};
void scriptStart(PeerScript* script, const PtyPeer& peer, std::vector<PeerStep> steps);
// Ends the script (at once if its steps are not done) and returns what the
// host wrote meanwhile, including what came within `settleMs` afterwards.
std::vector<uint8_t> scriptFinish(PeerScript* script, const PtyPeer& peer, int settleMs = 50);

// A test whose target is played on a pseudo-terminal that the link opens as
// port PtyPortNumber (the settings say so). Each test starts with the abort
// request cleared and ends with the link's port closed.
constexpr int PtyPortNumber = 4;
class PtyLinkTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  PtyPeer peer;
  PeerScript script;
  SerialSettings settings = DefaultSerialSettings;
};

// A scratch folder of a test, and its removal with everything in it.
std::string makeScratchDir();
void removeScratchDir(const std::string& dir);
