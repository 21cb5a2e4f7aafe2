#include <gtest/gtest.h>

#include <cstddef>

#include "link/frames.h"

namespace {

int32_t decode(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  FrameSlots slots = {a, b, c, d};
  return decodeReply(slots);
}

TEST(Frames, EveryReplyRoundTripsAndOneFlippedBitBreaksIt) {
  for (int32_t code = ReplyTargetCall; code <= ReplyBlockErased; ++code) {
    FrameSlots slots;
    encodeReply(code, slots);
    EXPECT_EQ(decodeReply(slots), code);
    EXPECT_EQ(decodeReply(slots), code) << "decoding twice changes nothing";
    for (int slot = 0; slot < 4; ++slot) {
      FrameSlots broken = {slots[0], slots[1], slots[2], slots[3]};
      broken[slot] ^= 0x01;
      EXPECT_EQ(decodeReply(broken), ReplyNone) << "code " << code << " slot " << slot;
    }
  }
}

TEST(Frames, NoiseEchoesAndWideSlotsDecodeToNothing) {
  EXPECT_EQ(decode(0, 0, 0, 0), ReplyNone);
  // A command frame read back from the line.
  EXPECT_EQ(decode(0x9C, 0xCA, 0xFD, 0xAB), ReplyNone);
  // b1 and b2 swapped, with a check byte that fits them.
  EXPECT_EQ(decode(0x8C, 0xAC, 0xFF, 0xDF), ReplyNone);
  // Only whole slots count: an upper bit in the lead slot spoils the frame.
  EXPECT_EQ(decode(0x18C, 0xFD, 0xCA, 0xBB), ReplyNone);
  EXPECT_EQ(decode(0x8C, 0xFD, 0xCA, 0x1BB), ReplyNone);
}

TEST(BlockRecord, CheckValueCoversTheCountedBytesOnly) {
  BlockRecord record = {};
  record.baseAddress = 0x10000;
  record.data[0] = 0x12;
  record.data[1] = 0x34;
  record.data[2] = 0x77;  // beyond the count: not part of the check
  record.byteCount = 2;
  EXPECT_EQ(blockCheckValue(record), 0x10026u);

  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
  EXPECT_EQ(bytes[2], 0x01);  // little-endian base address
  EXPECT_EQ(bytes[264], 0x02);
}

}  // namespace
