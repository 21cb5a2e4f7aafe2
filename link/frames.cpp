#include "link/frames.h"

const FrameSlots FrameAck = {0x9C, 0xCA, 0xFD, 0xAB};
const FrameSlots FrameLaunch = {0x9C, 0xBB, 0xFD, 0xDA};
const FrameSlots FrameErase = {0x9C, 0xED, 0xFD, 0x8C};
const FrameSlots FrameEraseAll = {0x9C, 0xEA, 0xFD, 0x8B};
const FrameSlots FrameProgramApp = {0x9C, 0xFF, 0xFD, 0x9E};
const FrameSlots FrameEndProgramming = {0x9C, 0xEF, 0xFD, 0x8E};
const FrameSlots FrameBlockFollows = {0x9C, 0x11, 0xFD, 0x70};
const FrameSlots FrameProgramBoot = {0x9C, 0xFB, 0xFD, 0x9A};

const ReplyPattern replyPatterns[11] = {
    {0x00, 0x00},  // ReplyNone: no pattern
    {0xFD, 0xCA},  // ReplyTargetCall
    {0xED, 0xAC},  // ReplyEraseAck
    {0xEA, 0xAC},  // ReplyEraseAllAck
    {0xFF, 0xAC},  // ReplyAppAck
    {0xFB, 0xAC},  // ReplyBootAck
    {0xBB, 0xAC},  // ReplyLaunchAck
    {0xCA, 0xAC},  // ReplyAckConfirmed
    {0xFD, 0xE0},  // ReplyStatusE0
    {0xFD, 0xC0},  // ReplyComplete
    {0xFD, 0xEB},  // ReplyBlockErased
};

uint32_t frameCheck(const uint32_t* slots, int count) {
  uint32_t check = 0;
  for (int i = 0; i < count - 1; ++i) check ^= slots[i];
  return check;
}

int32_t decodeReply(const uint32_t* slots) {
  int32_t result = ReplyNone;
  for (int32_t code = ReplyTargetCall; code <= ReplyBlockErased; ++code) {
    const ReplyPattern& row = replyPatterns[code];
    if (slots[0] == ReplyLeadByte && slots[1] == row.b1 && slots[2] == row.b2 &&
        slots[3] == frameCheck(slots, FrameSlotCount)) {
      result = code;
    }
  }
  return result;
}

void encodeReply(int32_t code, uint32_t* slots) {
  slots[0] = ReplyLeadByte;
  slots[1] = replyPatterns[code].b1;
  slots[2] = replyPatterns[code].b2;
  slots[3] = frameCheck(slots, FrameSlotCount);
}

uint32_t blockCheckValue(const BlockRecord& record) {
  uint32_t check = 0;
  uint32_t count = record.byteCount <= BlockDataSize ? record.byteCount : BlockDataSize;
  for (uint32_t i = 0; i < count; ++i) check ^= record.data[i];
  return check ^ record.baseAddress;
}

void encodeReplyBytes(int32_t code, uint8_t* bytes) {
  uint32_t slots[FrameSlotCount];
  encodeReply(code, slots);
  for (int i = 0; i < FrameSlotCount; ++i) bytes[i] = static_cast<uint8_t>(slots[i]);
}
