// The bootloader operations. Each judges its exchange by the decoded reply
// alone, never by the results of the reads and writes below it.
#include "link/bootloader.h"

#include <chrono>

#include "link/trace.h"

namespace {

// One command, one timed reply.
LinkResult singleExchange(const FrameSlots& command, int32_t awaited) {
  FrameSlots slots = {0, 0, 0, 0};
  writeFrame(serialPort.load(), command, FrameSlotCount);
  readReplyTimed(serialPort.load(), slots, FrameSlotCount);
  return decodeReply(slots) == awaited ? LinkOk : LinkUnexpectedReply;
}

bool isBlockAck(int32_t code) {
  return code == ReplyAppAck || code == ReplyBootAck;
}

void closeLink() {
  SerialPort port = serialPort.exchange(InvalidSerialPort);
  closeSerialPort(&port);
}

}  // namespace

LinkResult connectToTarget(const SerialSettings& settings) {
  if (openTargetPort(settings) != LinkOk) return LinkPortUnavailable;
  return awaitTargetCall();
}

LinkResult openTargetPort(const SerialSettings& settings) {
  // The settings are copied so that a change while the handshake waits does
  // not touch this attempt.
  const SerialSettings copy = settings;
  SerialPort port = InvalidSerialPort;
  if (openSerialPort(&port, copy) != 0) return LinkPortUnavailable;
  serialPort.store(port);
  return LinkOk;
}

LinkResult awaitTargetCall() {
  const LinkResult call = awaitCallFrame(0);
  return call == LinkOk ? acknowledgeTargetCall() : call;
}

LinkResult awaitCallFrame(int64_t limitMs) {
  FrameSlots slots = {0, 0, 0, 0};
  const SerialPort port = serialPort.load();
  const auto start = std::chrono::steady_clock::now();
  while (decodeReply(slots) != ReplyTargetCall) {
    int64_t left = 0;
    if (limitMs > 0) {
      left = limitMs - std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
      if (left <= 0) return LinkNoData;
      setReplyLimit(left);
    }
    readReplyBlocking(port, slots, FrameSlotCount);
    if (limitMs > 0) setReplyLimit(0);
    if (linkAbortRequested()) {
      closeLink();
      return LinkAborted;
    }
    if (lastReadEnd() == ReadEnd::LineFailed) {
      // Unplugged or hung up while we waited: a port that does not open, to
      // be tried again.
      closeLink();
      return LinkPortUnavailable;
    }
    linkTrace("waiting for TGT call\n");
  }
  return LinkOk;
}

LinkResult acknowledgeTargetCall() {
  FrameSlots slots = {0, 0, 0, 0};
  const SerialPort port = serialPort.load();
  linkTrace("Sending ACK to TGT\n");
  writeFrame(port, FrameAck, FrameSlotCount);
  readReplyBlocking(port, slots, FrameSlotCount);
  if (decodeReply(slots) == ReplyAckConfirmed) return LinkOk;
  if (linkAbortRequested()) {
    closeLink();
    return LinkAborted;
  }
  linkTrace("No ACK from TGT\n");
  closeLink();
  return LinkNoAck;
}

LinkResult launchTarget() {
  writeFrame(serialPort.load(), FrameLaunch, FrameSlotCount);
  closeLink();
  return LinkOk;
}

LinkResult closeTargetPort() {
  closeLink();
  return LinkOk;
}

LinkResult startErase() {
  return singleExchange(FrameErase, ReplyEraseAck);
}
LinkResult startEraseAll() {
  return singleExchange(FrameEraseAll, ReplyEraseAllAck);
}
LinkResult startProgramApplication() {
  return singleExchange(FrameProgramApp, ReplyAppAck);
}
LinkResult startProgramBootloader() {
  return singleExchange(FrameProgramBoot, ReplyBootAck);
}
LinkResult endProgramming() {
  return singleExchange(FrameEndProgramming, ReplyComplete);
}

LinkResult sendBlock(BlockRecord record) {
  FrameSlots slots = {0, 0, 0, 0};
  SerialPort port = serialPort.load();
  writeFrame(port, FrameBlockFollows, FrameSlotCount);
  readReplyBlocking(port, slots, FrameSlotCount);
  if (!isBlockAck(decodeReply(slots))) return LinkUnexpectedReply;
  writeBlockRecord(port, record);
  readReplyBlocking(port, slots, FrameSlotCount);
  return isBlockAck(decodeReply(slots)) ? LinkOk : LinkUnexpectedReply;
}

ProgressReply readProgressReply() {
  FrameSlots slots = {0, 0, 0, 0};
  readReplyBlocking(serialPort.load(), slots, FrameSlotCount);
  switch (decodeReply(slots)) {
    case ReplyBlockErased:
      return ProgressReply::BlockErased;
    case ReplyComplete:
      return ProgressReply::Complete;
    case ReplyAppAck:
      return ProgressReply::AppAck;
    case ReplyBootAck:
      return ProgressReply::BootAck;
    default:
      return ProgressReply::Other;
  }
}
