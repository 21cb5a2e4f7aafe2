// Frames on the wire between host and target bootloader, the 268-byte block
// record, and the reply decoder.
#pragma once

#include <cstdint>

// A frame in memory: four 32-bit slots, one per byte on the wire; only the low
// byte of each slot travels.
constexpr int FrameSlotCount = 4;
using FrameSlots = uint32_t[FrameSlotCount];

constexpr uint32_t CommandLeadByte = 0x9C;
constexpr uint32_t ReplyLeadByte = 0x8C;

// The eight command frames, check byte included.
extern const FrameSlots FrameAck;
extern const FrameSlots FrameLaunch;
extern const FrameSlots FrameErase;
extern const FrameSlots FrameEraseAll;
extern const FrameSlots FrameProgramApp;
extern const FrameSlots FrameEndProgramming;
extern const FrameSlots FrameBlockFollows;
extern const FrameSlots FrameProgramBoot;

// Decoded reply numbers.
enum ReplyCode : int32_t {
  ReplyNone = 0,
  ReplyTargetCall = 1,
  ReplyEraseAck = 2,
  ReplyEraseAllAck = 3,
  ReplyAppAck = 4,
  ReplyBootAck = 5,
  ReplyLaunchAck = 6,
  ReplyAckConfirmed = 7,
  ReplyStatusE0 = 8,
  ReplyComplete = 9,
  ReplyBlockErased = 10,
};

// b1 and b2 of each recognised reply, indexed by ReplyCode (row 0 unused).
struct ReplyPattern {
  uint8_t b1;
  uint8_t b2;
};
extern const ReplyPattern replyPatterns[11];

// XOR of the first count - 1 slots.
uint32_t frameCheck(const uint32_t* slots, int count);

// The ReplyCode of four received slots; ReplyNone for anything not intact.
int32_t decodeReply(const uint32_t* slots);

// Fills four slots with the intact reply frame of a code (1 to 10); for the
// simulated target and for tests.
void encodeReply(int32_t code, uint32_t* slots);
// The same reply as the four bytes on the wire.
void encodeReplyBytes(int32_t code, uint8_t* bytes);

// One flash block as it travels after the block-follows frame: 268 bytes,
// little-endian, in this order.
constexpr int BlockDataSize = 256;
#pragma pack(push, 1)
struct BlockRecord {
  uint32_t baseAddress;
  uint32_t checkValue;  // XOR of the valid data bytes, XORed with baseAddress
  uint8_t data[BlockDataSize];
  uint32_t byteCount;
};
#pragma pack(pop)
static_assert(sizeof(BlockRecord) == 268, "a block record is 268 bytes on the wire");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "block records are sent as they lie in memory: little-endian hosts only");

// The check value of a record from its base address and valid data bytes.
uint32_t blockCheckValue(const BlockRecord& record);
