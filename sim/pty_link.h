// The simulated target's line: a pseudo-terminal whose slave device is
// published as a symbolic link. The simulator plays the board on the master
// side and keeps the slave side open itself, so that the host may close and
// reopen the device as often as it likes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PtyLine {
  int master = -1;     // the board's end (non-blocking)
  int slave = -1;      // held open by the simulator
  std::string device;  // the slave device, e.g. "/dev/pts/7"
};

// Opens a new pseudo-terminal, both ends in raw mode; false with the reason.
bool ptyLineOpen(PtyLine* line, std::string* error);
// The host's line hangs up: the board's end closes. The slave side stays open
// until ptyLineClose, so that no other pseudo-terminal gets its number meanwhile.
void ptyLineHangUp(PtyLine* line);
void ptyLineClose(PtyLine* line);
bool ptyLineUp(const PtyLine& line);

// Bytes the board sent that the host has not read yet.
int ptyUnreadByHost(const PtyLine& line);
// Bytes the host sent that the board has not taken yet.
int ptyUnreadByBoard(const PtyLine& line);
// Discards what the host has not read yet; what the board has not taken yet.
void ptyDiscardHostInput(const PtyLine& line);
void ptyDiscardBoardInput(const PtyLine& line);
// What the host sent: the number of bytes read, 0 when none is waiting, -1
// when the line is gone.
long ptyRead(const PtyLine& line, uint8_t* bytes, size_t count);
// The number of bytes written, 0 when the host's side has no room (or a
// signal came), -1 when the line is gone.
long ptyWrite(const PtyLine& line, const uint8_t* bytes, size_t count);
// Waits up to `ms` for room on the host's side.
void ptyAwaitRoom(const PtyLine& line, int ms);

// Points a symbolic link at `target`, replacing a link (never anything else)
// already at `path`, atomically; false with the reason.
bool publishLink(const std::string& path, const std::string& target, std::string* error);
// Removes the link only while it still points at `target`.
void removeLink(const std::string& path, const std::string& target);

// "what: <the reason of the last failed system call>".
std::string errnoText(const std::string& what);
void setCloexec(int fd);
void setNonblocking(int fd);
void closeFd(int* fd);
