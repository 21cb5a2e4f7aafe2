// The simulated target on a pseudo-terminal: a board with the K4471 serial
// bootloader, for tests, demonstrations and benchmarks (POSIX only).
//
// simStart opens a pseudo-terminal (raw mode), publishes its slave device as a
// symbolic link at `linkPath` (replacing a link already there, never a file),
// and runs the target on a thread of its own: the call frame every `callMs`
// until the host acknowledges it, then the target's side of every exchange
// (sim/target_model.h tells the choices and the faults). The simulator keeps
// the slave side open itself, so the host may close and reopen the device as
// often as it likes. While calling, a call the host has not read is discarded
// before the next one goes out, so a host that opens the port late finds one
// fresh call, not a backlog. The calls keep a strict beat, whether the host
// read the last one or discarded it unread; an acknowledgement already on the
// line is served before the next call goes out. A reset discards everything
// still on the line in both directions and calls at once.
//
// Two faults of real lines, for hosts that must cope with them: `staleCalls`
// N puts N calls on the line back to back at start and after every reset, as
// a port opened late or a host slow to answer finds them (they are left there
// until the next call is due); `chatterMs` N makes the board a running
// application that prints "app running, tick N\r\n" every N ms and does not
// call (what the host does not read is lost when the line's buffer fills).
//
// A station's fixture: `nextBoardMs` N replaces the board by the next one N ms
// after a programming run ends or after a launch (the later restarts the
// count): silent until then, as a fixture being reloaded is, the next board
// has an erased flash and calls at once; SimStatus::board counts them and
// each has its own memory-out file (simMemoryOutPath). `appText` is the line
// (ended by "\r\n") the application prints at once when launched, with values
// read from the flash (sim/app_text.h); `appTextCut` N prints only its first
// N bytes, without the end.
//
// Latency: `latencyMs` N holds each message N ms before it is delivered, each
// way. A network port: `listen` "HOST:PORT" (IPv4, port 0: a free one,
// simListenPort) serves the line to one TCP host at a time, as raw bytes or,
// with `rfc2217`, Telnet with the COM-PORT option; `resetOn` "dtr" or "rts"
// hangs the board's reset on that control line (active: held in reset, silent
// and deaf; released: reset, it calls again).
//
// Control lines (the `controlPath` FIFO, or simControl), one command each:
//   reset                  like pressing the board's reset button
//   set <option> <value>   one of the whole-number options of simOptions() (call-ms,
//                          the faults, ...; values >= 0, 0 switches a fault off). Takes
//                          effect at once; the frame numbers of the faults count from the
//                          last reset. `set call-ms 0` also takes back a call that the host
//                          has not read yet: from then on the target is a board that does
//                          not call.
//   unplug                 like pulling the adapter out: the line is closed and the
//                          link removed (the port is gone) until the next reset, which
//                          plugs the board in again on a new pseudo-terminal
//   write-memory           write the memory-out file now
//   flip-bit ADDR:BIT      flip that bit of the flash once the next programming run
//                          ends, before a launch (`flipBit` does so after every run)
// Lines are applied in order. A Wine test that must be sure its settings are
// in force sends its `set` lines and then `reset`: the call after the reset
// comes only once all of them are applied. Empty lines and lines starting with
// '#' are ignored; an unknown line is reported on stderr and ignored.
//
// Log (`logPath`, appended, one line each, flushed at once):
//   9C ED FD 8C            an intact command frame the host sent
//   garbled 9C 12 FD 00    four bytes from a lead byte that were no command frame
//   record 00004000 256 ok a block record: base address, byte count, verdict
//                          (ok, bad-count, bad-check, outside)
//   reset                  the target was reset
//   unplugged              the line was unplugged
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SimConfig {
  const char* linkPath = nullptr;  // required
  int callMs = 500;                // period of the call frame; 0: never call
  int eraseBlocks = 16;            // block-erased replies per erase
  int eraseBlockMs = 0;            // pause before each block-erased reply
  uint32_t flashBase = 0;
  uint32_t flashSize = 512 * 1024;
  uint32_t bootSize = 16 * 1024;    // the bootloader region at the bottom
  const char* memoryOut = nullptr;  // raw flash image after each completed erase and programming
  int baud = 0;                     // pace both directions at 10 bits a byte; 0: full speed
  // Faults (0: off): frame numbers count intact command frames since the last reset.
  int silentFromFrame = 0;
  int garbleReplyToFrame = 0;
  int badCheckReplyToFrame = 0;
  int unexpectedReplyToFrame = 0;
  int hangupAtFrame = 0;
  int staleCalls = 0;                 // calls queued at once at start and after each reset
  int chatterMs = 0;                  // print a line of text this often instead of calling
  int nextBoardMs = 0;                // the next board calls this long after a run or launch
  const char* appText = nullptr;      // the line the application prints at launch
  const char* flipBit = nullptr;      // "ADDR:BIT": flipped after each programming run
  int appTextCut = 0;                 // ... only its first N bytes, without its end
  int latencyMs = 0;                  // each message held this long, each way
  const char* listen = nullptr;       // "HOST:PORT": a TCP port in front of the line
  bool rfc2217 = false;               // ... speaking the Telnet COM-PORT protocol
  const char* resetOn = nullptr;      // "dtr" or "rts": the board's reset hangs there
  const char* controlPath = nullptr;  // FIFO to create for control lines
  const char* logPath = nullptr;      // append the host's frames here
  bool verbose = false;               // trace frames both ways on stderr
};

struct SimStatus {
  bool connected;       // handshake done since the last reset
  bool launched;        // launch received: silent until reset
  bool hungUp;          // the line is hung up until reset
  bool silent;          // the silence fault has struck
  bool programming;     // a programming run is open (application or bootloader)
  int framesReceived;   // intact command frames since the last reset
  int garbledFrames;    // since start
  int recordsReceived;  // since start, accepted or refused
  int recordsAccepted;  // since start
  int recordsRefused;   // since start
  int callsSent;        // since start
  int resets;           // since start
  int flashPublished;   // memory-out updates (or would-be updates) since start
  int board;            // which board is on the fixture: 1, then 2 after the first swap ...
};

struct Simulator;

// nullptr on failure, with the reason in *error when given (and on stderr).
Simulator* simStart(const SimConfig& config, std::string* error = nullptr);
// Ends the thread, closes the pseudo-terminal, removes the link (if it still
// points at this simulator's device) and the control FIFO. Accepts nullptr.
void simStop(Simulator* sim);
// Like pressing reset; returns once the target has been reset (a line that was
// hung up gets a new pseudo-terminal, and the link is moved to it).
void simReset(Simulator* sim);
// One control line (see above); false when it is not understood. Returns once
// the simulator's thread has served it.
bool simControl(Simulator* sim, const char* line);

// Returns once the simulator has served every byte the host has sent so far
// (replies to it sent, state updated); false when that took longer than
// timeoutMs. For tests that look at the status right after the host's last
// write, e.g. after a launch frame.
bool simSettle(Simulator* sim, int timeoutMs = 2000);

// The TCP port listened on (0 when not listening).
int simListenPort(Simulator* sim);
// The slave device the link points at, e.g. "/dev/pts/7".
std::string simDevicePath(Simulator* sim);
SimStatus simStatus(Simulator* sim);
// A copy of the whole flash, from flashBase.
std::vector<uint8_t> simFlash(Simulator* sim);
// Writes bytes into the flash model directly (as if programmed earlier); false
// when they do not lie inside the flash.
bool simLoadFlash(Simulator* sim, uint32_t address, const void* bytes, size_t count);
// Every byte the host has sent since start, in order (kept across resets).
std::vector<uint8_t> simHostBytes(Simulator* sim);
// The memory-out file of board `board` (SimStatus::board): "{board}" in
// `pattern` stands for its number; without it, board 1 writes PATTERN and
// board N writes PATTERN.N.
std::string simMemoryOutPath(const std::string& pattern, int board);

// The whole-number options: k4471-sim's --NAME, the control line's `set NAME`
// and its help all come from this table, and simStart takes each from its
// member of SimConfig.
struct SimOption {
  const char* name;  // "call-ms"
  const char* help;
  int SimConfig::*member;
  void (*set)(Simulator* sim, int value);  // with the simulator's mutex held
};
// The table, `*count` entries; an option by its name (nullptr when unknown);
// the names, comma-separated, for help texts.
const SimOption* simOptions(size_t* count);
const SimOption* simFindOption(const char* name);
std::string simOptionNames();
