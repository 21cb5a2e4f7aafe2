// The simulated target's bootloader, without any input or output of its own:
// a flash model and the target's side of every bootloader exchange. It is fed
// the bytes the host sent and answers with actions (reply frames to send, a
// hang-up of the line, a flash image to publish, log lines). The pseudo-terminal,
// the timing and the control channel are the simulator's other pieces
// (sim/simulator_internal.h).
//
// How this target works inside (a real board may differ in all of it):
// - Flash: `size` bytes from `base`; the bootloader region is the lowest
//   `bootSize` bytes, the application region the rest. Erased bytes are 0xFF. A
//   block record overwrites the bytes it carries (no bit-clearing emulation).
// - Erase (9C ED) erases the application region, erase all (9C EA) the whole
//   flash; program application (9C FF) erases the application region and its
//   records may write only there; program bootloader (9C FB) erases the
//   bootloader region and its records may write only there.
// - Each erase answers its acknowledgement, `eraseBlocks` block-erased replies
//   and the end of the erase (complete for an erase, the run's acknowledgement
//   again for a programming start).
// - A block record is refused (status reply 8C FD E0 91) when its byte count is
//   above 256, its check value is wrong, or its bytes do not all lie in the
//   region the run may write. A record with byte count 0 and a right check value
//   is accepted wherever its base address points, and writes nothing.
// - Block-follows or end-of-programming outside a programming run are answered
//   with the status reply 8C FD E0 91; so is nothing else.
// - Command frames: the target waits for the lead byte 0x9C, takes it and the
//   next three bytes, and accepts the four only when they are one of the eight
//   command frames. Anything else is dropped without reply (counted as garbled,
//   and logged), and the search for the lead byte starts again at the byte after
//   the rejected lead byte, so a real frame hidden inside the four is found.
//   Bytes before a lead byte are dropped silently.
// - Before the handshake only the acknowledgement frame is served; other
//   command frames are counted and ignored. Once connected, the acknowledgement
//   is confirmed again whenever it comes.
// - Launch: no reply; from then on the target runs its application and ignores
//   every byte until it is reset. A reset keeps the flash, forgets the session,
//   restarts the frame count and calls again.
//
// Faults, each naming a command frame by its number since the last reset
// (1-based; intact command frames only, block records and dropped bytes do not
// count, and nothing counts after a launch):
// - silentFrom N: from frame N on the target sends nothing at all (no reply,
//   no call) and changes no state, until reset.
// - garbleReply N: the first reply frame to frame N goes out with a wrong b2
//   (b2 XOR 0x55, check byte made to fit), as line noise would leave it; the
//   target itself carries the command out as usual.
// - badCheck N: the first reply frame to frame N goes out with its check byte
//   XOR 0x01; the command is carried out as usual.
// - unexpectedReply N: frame N is refused: 8C FD E0 91 is its whole answer and
//   nothing is done.
// - hangupAt N: at frame N the line is hung up (no reply, nothing done), and
//   stays so until reset.
// Reply faults do not touch a frame that has no reply (launch, a frame before
// the handshake other than the acknowledgement).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/frames.h"

struct FlashGeometry {
  uint32_t base;
  uint32_t size;
  uint32_t bootSize;
};

struct TargetFaults {
  int silentFrom = 0;
  int garbleReply = 0;
  int badCheck = 0;
  int unexpectedReply = 0;
  int hangupAt = 0;
};

enum class TargetPhase { Calling, Connected, Launched, HungUp };
enum class TargetRun { None, Application, Bootloader };

enum class TargetActionKind {
  Reply,         // send `frame` (4 bytes); `eraseProgress` for a block-erased reply
  Hangup,        // hang the line up
  FlashUpdated,  // an erase or a programming run completed: publish the flash
  Log,           // `text`: one line about what the host sent
  RunEnded,      // a programming run was completed (after its last reply)
  Launched,      // the application was started
};

struct TargetAction {
  TargetActionKind kind;
  uint8_t frame[4];
  bool eraseProgress;
  std::string text;
};

struct TargetModel {
  FlashGeometry geometry{};
  TargetFaults faults{};
  int eraseBlocks = 16;
  std::vector<uint8_t> flash;

  TargetPhase phase = TargetPhase::Calling;
  TargetRun run = TargetRun::None;
  bool awaitingRecord = false;

  uint8_t pending[4]{};  // command frame being collected
  int pendingCount = 0;
  std::vector<uint8_t> record;  // block record being collected

  // Counters: frames since the last reset, the others since the start.
  int framesReceived = 0;
  int garbledFrames = 0;
  int recordsReceived = 0;
  int recordsAccepted = 0;
  int recordsRefused = 0;
  int resets = 0;
};

// The size of a block record on the wire.
constexpr size_t BlockRecordSize = sizeof(BlockRecord);

// True when the geometry is usable (size 1 byte to 256 MiB, boot region inside
// it, no wrap past 0xFFFFFFFF); otherwise false with the reason.
bool flashGeometryValid(const FlashGeometry& geometry, std::string* why);

// A fresh target with an erased flash, calling.
void targetInit(TargetModel* model, const FlashGeometry& geometry, int eraseBlocks);
// Like pressing reset: the flash stays, the session and the frame count go.
void targetReset(TargetModel* model);
// The next board on the fixture in place of this one: flash erased, no
// session, calling; the counters since the start stay.
void targetReplace(TargetModel* model);
// Feeds bytes the host sent; appends the target's actions in order. An action
// that publishes the flash comes before the reply that ends the operation.
void targetFeed(TargetModel* model, const uint8_t* bytes, size_t count,
                std::vector<TargetAction>* actions);

// True while the target sends its call frame (before the handshake, not silent).
bool targetCalling(const TargetModel& model);
// True once the silence fault has struck.
bool targetSilent(const TargetModel& model);

// "9C ED FD 8C": bytes as upper-case hexadecimal pairs separated by spaces.
std::string hexBytes(const uint8_t* bytes, size_t count);
