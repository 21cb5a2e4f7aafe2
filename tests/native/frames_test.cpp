#include <gtest/gtest.h>

#include <cstddef>

#include "link/frames.h"

namespace {

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
  // Nothing, a command frame read back from the line, b1 and b2 swapped with a
  // check byte that fits them, and upper bits in a slot: only whole slots count.
  const FrameSlots cases[] = {{0, 0, 0, 0},
                              {0x9C, 0xCA, 0xFD, 0xAB},
                              {0x8C, 0xAC, 0xFF, 0xDF},
                              {0x18C, 0xFD, 0xCA, 0xBB},
                              {0x8C, 0xFD, 0xCA, 0x1BB}};
  for (const FrameSlots& slots : cases) EXPECT_EQ(decodeReply(slots), ReplyNone) << slots[0];
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
