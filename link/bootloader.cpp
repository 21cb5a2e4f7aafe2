// The bootloader operations. Each judges its exchange by the decoded reply
// alone, never by the results of the reads and writes below it.
#include "link/bootloader.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "link/trace.h"

namespace {

// How long the end of a line cut by the time limit is waited for.
constexpr int64_t LineGraceMilliseconds = 100;

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

void traceApplicationLine(const std::string& line) {
  linkTrace(("application: " + line + "\n").c_str());
}

AppAnswer answerOf(ReadEnd end) {
  switch (end) {
    case ReadEnd::Aborted:
      return AppAnswer::Aborted;
    case ReadEnd::LineFailed:
      return AppAnswer::LineFailed;
    default:
      return AppAnswer::TimeLimit;
  }
}

// The line the application is printing.
struct OpenLine {
  std::string text;
  bool whole = true;  // false once its start was dropped
};

bool isLineEnd(uint8_t byte) {
  return byte == '\r' || byte == '\n';
}

// Adds a byte; of a line that grows to twice `keep`, its last `keep` bytes stay.
void addToLine(OpenLine* line, uint8_t byte, size_t keep) {
  line->text += static_cast<char>(byte);
  if (line->text.size() >= 2 * keep) {
    line->text.erase(0, line->text.size() - keep);
    line->whole = false;
  }
}

// Marks the patterns not found yet that the line holds (with `valueEnded`,
// only those that end in a value); true once every pattern is found.
bool markFound(const std::vector<AppAnswerPattern>& patterns, const OpenLine& line, bool ended,
               bool valueEnded, std::vector<bool>* found) {
  bool all = true;
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (!(*found)[i] && (!valueEnded || endsInValue(patterns[i])) &&
        lineHoldsAnswer(patterns[i], line.text, ended, line.whole)) {
      (*found)[i] = true;
    }
    all = all && (*found)[i];
  }
  return all;
}

// The rest of a line the time limit cut, when it follows at once: the
// message then shows the whole line, not the few bytes read before the limit.
// Its first byte may still complete a value the application printed before
// the limit (a line end or a character after it): true when that completes
// every pattern. *ended tells whether the line's end came.
bool finishLine(SerialPort port, const std::vector<AppAnswerPattern>& patterns, size_t keep,
                OpenLine* line, std::vector<bool>* found, bool* ended) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(LineGraceMilliseconds);
  bool first = true;
  *ended = false;
  while (!line->text.empty()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    uint8_t byte = 0;
    if (readAnyByte(port, &byte, left) != ReadEnd::Frame) return false;
    *ended = isLineEnd(byte);
    if (*ended) return first && markFound(patterns, *line, true, true, found);
    addToLine(line, byte, keep);
    if (first && markFound(patterns, *line, false, true, found)) return true;
    first = false;
  }
  return false;
}

std::atomic<int> crossingCallsPassed{0};

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

void passCrossingCalls(int calls) {
  crossingCallsPassed.store(calls > 0 ? calls : 0);
}

LinkResult acknowledgeTargetCall() {
  FrameSlots slots = {0, 0, 0, 0};
  const SerialPort port = serialPort.load();
  linkTrace("Sending ACK to TGT\n");
  writeFrame(port, FrameAck, FrameSlotCount);
  readReplyBlocking(port, slots, FrameSlotCount);
  // Calls that were on their way while the acknowledgement was (a network,
  // a serial server that gathers bytes) come before the confirmation.
  for (int passed = 0; passed < crossingCallsPassed.load() &&
                       decodeReply(slots) == ReplyTargetCall && !linkAbortRequested();
       ++passed) {
    readReplyBlocking(port, slots, FrameSlotCount);
  }
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

LinkResult launchTargetKeepOpen() {
  writeFrame(serialPort.load(), FrameLaunch, FrameSlotCount);
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

AppAnswer awaitApplicationText(const std::vector<AppAnswerPattern>& patterns, int64_t milliseconds,
                               AppLastLine* lastLine, std::vector<bool>* found) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  const SerialPort port = serialPort.load();
  size_t keep = AppLineKeep;
  for (const AppAnswerPattern& pattern : patterns) keep = std::max(keep, answerLength(pattern));
  std::vector<bool> seen(patterns.size(), false);
  std::vector<bool>& marks = found ? *found : seen;
  marks.assign(patterns.size(), false);
  OpenLine line;
  *lastLine = AppLastLine();
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    uint8_t byte = 0;
    const ReadEnd end = readAnyByte(port, &byte, left);
    if (end != ReadEnd::Frame) {
      bool ended = false;
      const bool all =
          end == ReadEnd::TimeLimit && finishLine(port, patterns, keep, &line, &marks, &ended);
      if (!line.text.empty()) *lastLine = {line.text, ended};
      if (all) traceApplicationLine(line.text);
      return all ? AppAnswer::Found : answerOf(end);
    }
    // Every place a pattern may end is looked at once it can be judged.
    const bool ended = isLineEnd(byte);
    if (!ended) addToLine(&line, byte, keep);
    const bool all = markFound(patterns, line, ended, false, &marks);
    if (all || (ended && !line.text.empty())) {
      traceApplicationLine(line.text);
      *lastLine = {line.text, ended};
    }
    if (all) return AppAnswer::Found;
    if (ended) line = OpenLine();
  }
}
