#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

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
  FrameSlots slots;
  encodeReply(code, slots);
  return std::vector<uint8_t>(slots, slots + 4);
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
