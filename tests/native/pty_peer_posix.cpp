// The pseudo-terminal peer of the link tests, their fixture and scratch folders.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "link/bootloader.h"
#include "link/frames.h"
#include "tests/native/pty_peer.h"

bool ptyOpen(PtyPeer* peer) {
  peer->master = posix_openpt(O_RDWR | O_NOCTTY);
  if (peer->master < 0 || grantpt(peer->master) != 0 || unlockpt(peer->master) != 0) return false;
  peer->device = ptsname(peer->master);
  peer->slaveHold = open(peer->device.c_str(), O_RDWR | O_NOCTTY);
  termios tio;
  tcgetattr(peer->slaveHold, &tio);
  cfmakeraw(&tio);
  tcsetattr(peer->slaveHold, TCSANOW, &tio);
  return peer->slaveHold >= 0;
}

void ptyClose(PtyPeer* peer) {
  if (peer->slaveHold >= 0) close(peer->slaveHold);
  if (peer->master >= 0) close(peer->master);
  peer->slaveHold = peer->master = -1;
}

void ptySend(const PtyPeer& peer, const std::vector<uint8_t>& bytes) {
  if (!bytes.empty()) (void)!write(peer.master, bytes.data(), bytes.size());
}

std::vector<uint8_t> ptyReceive(const PtyPeer& peer, int waitMs) {
  std::vector<uint8_t> got;
  pollfd waiter = {peer.master, POLLIN, 0};
  while (poll(&waiter, 1, waitMs) > 0) {
    uint8_t buffer[512];
    ssize_t n = read(peer.master, buffer, sizeof buffer);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
    waitMs = 50;
  }
  return got;
}

std::vector<uint8_t> replyBytes(int32_t code) {
  std::vector<uint8_t> bytes(4);
  encodeReplyBytes(code, bytes.data());
  return bytes;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void scriptStart(PeerScript* script, const PtyPeer& peer, std::vector<PeerStep> steps) {
  script->stop = false;
  script->received.clear();
  const int master = peer.master;
  script->thread = std::thread([script, master, steps] {
    for (const PeerStep& step : steps) {
      size_t wanted = script->received.size() + step.after;
      while (script->received.size() < wanted) {
        if (script->stop) return;
        pollfd waiter = {master, POLLIN, 0};
        if (poll(&waiter, 1, 20) <= 0) continue;
        uint8_t buffer[512];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) return;
        script->received.insert(script->received.end(), buffer, buffer + n);
      }
      if (step.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMs));
      if (!step.reply.empty()) (void)!write(master, step.reply.data(), step.reply.size());
    }
  });
}

std::vector<uint8_t> scriptFinish(PeerScript* script, const PtyPeer& peer, int settleMs) {
  std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
  script->stop = true;
  if (script->thread.joinable()) script->thread.join();
  std::vector<uint8_t> sent = script->received + ptyReceive(peer, 0);
  script->received.clear();
  return sent;
}

void PtyLinkTest::SetUp() {
  ASSERT_TRUE(ptyOpen(&peer));
  setPortDevicePath(PtyPortNumber, peer.device.c_str());
  settings.portNumber = PtyPortNumber;
  clearLinkAbort();
}

void PtyLinkTest::TearDown() {
  scriptFinish(&script, peer, 0);
  closeTargetPort();
  ptyClose(&peer);
  setPortDevicePath(PtyPortNumber, nullptr);
  clearLinkAbort();
}

std::string makeScratchDir() {
  char pattern[] = "/tmp/k4471-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  return made ? made : "";
}

void removeScratchDir(const std::string& dir) {
  std::error_code ignored;
  if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
}
