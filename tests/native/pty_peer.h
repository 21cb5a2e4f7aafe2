// A pseudo-terminal whose slave side a test opens as a serial port while the
// test plays the other end on the master side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
