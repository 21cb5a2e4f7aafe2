#include "sim/target_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// A reply that the target means to send.
struct PlannedReply {
  int32_t code;
  bool eraseProgress;
};

uint32_t appRegionStart(const FlashGeometry& g) {
  return g.base + g.bootSize;
}

uint64_t end64(const FlashGeometry& g) {
  return uint64_t(g.base) + g.size;
}

void eraseRange(TargetModel* model, uint64_t from, uint64_t to) {
  uint64_t start = from - model->geometry.base;
  uint64_t stop = to - model->geometry.base;
  memset(model->flash.data() + start, 0xFF, size_t(stop - start));
}

void addLog(std::vector<TargetAction>* actions, std::string text) {
  TargetAction action{};
  action.kind = TargetActionKind::Log;
  action.text = std::move(text);
  actions->push_back(std::move(action));
}

void addReplyBytes(std::vector<TargetAction>* actions, const uint8_t* frame, bool eraseProgress) {
  TargetAction action{};
  action.kind = TargetActionKind::Reply;
  memcpy(action.frame, frame, 4);
  action.eraseProgress = eraseProgress;
  actions->push_back(std::move(action));
}

void addReply(std::vector<TargetAction>* actions, int32_t code, bool eraseProgress) {
  uint8_t frame[4];
  encodeReplyBytes(code, frame);
  addReplyBytes(actions, frame, eraseProgress);
}

void addSimple(std::vector<TargetAction>* actions, TargetActionKind kind) {
  TargetAction action{};
  action.kind = kind;
  actions->push_back(std::move(action));
}

void planErase(std::vector<PlannedReply>* replies, int32_t ack, int32_t end, int blocks) {
  replies->push_back({ack, false});
  for (int i = 0; i < blocks; ++i) replies->push_back({ReplyBlockErased, true});
  replies->push_back({end, false});
}

int32_t runAck(TargetRun run) {
  return run == TargetRun::Bootloader ? ReplyBootAck : ReplyAppAck;
}

// What serving one command plans: its replies, and whether the flash is to be
// published once they are out.
struct Plan {
  std::vector<PlannedReply> replies;
  bool publish = false;
  bool noReply = false;   // the launch: no reply, so no reply fault applies
  bool runEnded = false;  // a programming run was completed
};

// The four commands that erase differ only in these.
enum class EraseRegion { Application, Bootloader, WholeFlash };
struct EraseCommand {
  int32_t ack;         // the first reply
  int32_t end;         // the reply that ends the erase
  EraseRegion region;  // what is erased
  TargetRun opens;     // the programming run it opens, or None for a plain erase
};

struct CommandRow;
// Serves a command; `refused` when the unexpected-reply fault strikes it (the
// target's state then stays as it was).
using CommandServer = void (*)(TargetModel* model, const CommandRow& row, bool refused, Plan* plan);
struct CommandRow {
  const uint32_t* frame;
  CommandServer serve;
  EraseCommand erase;  // for the erasing commands
};

void serveAck(TargetModel* model, const CommandRow&, bool refused, Plan* plan) {
  plan->replies.push_back({ReplyAckConfirmed, false});
  if (refused) return;
  model->phase = TargetPhase::Connected;
  model->run = TargetRun::None;
}

void serveLaunch(TargetModel* model, const CommandRow&, bool, Plan* plan) {
  // The target runs its application.
  model->phase = TargetPhase::Launched;
  model->run = TargetRun::None;
  plan->noReply = true;
  plan->runEnded = true;
}

void serveErase(TargetModel* model, const CommandRow& row, bool refused, Plan* plan) {
  const EraseCommand& erase = row.erase;
  planErase(&plan->replies, erase.ack, erase.end, model->eraseBlocks);
  if (refused) return;
  const FlashGeometry& g = model->geometry;
  switch (erase.region) {
    case EraseRegion::Application:
      eraseRange(model, appRegionStart(g), end64(g));
      break;
    case EraseRegion::Bootloader:
      eraseRange(model, g.base, appRegionStart(g));
      break;
    case EraseRegion::WholeFlash:
      eraseRange(model, g.base, end64(g));
      break;
  }
  model->run = erase.opens;
  // A plain erase is complete now; a programming run publishes at its end.
  plan->publish = erase.opens == TargetRun::None;
}

void serveBlockFollows(TargetModel* model, const CommandRow&, bool refused, Plan* plan) {
  if (model->run == TargetRun::None) {
    plan->replies.push_back({ReplyStatusE0, false});
    return;
  }
  plan->replies.push_back({runAck(model->run), false});
  if (refused) return;
  model->awaitingRecord = true;
  model->record.clear();
}

void serveEndProgramming(TargetModel* model, const CommandRow&, bool refused, Plan* plan) {
  if (model->run == TargetRun::None) {
    plan->replies.push_back({ReplyStatusE0, false});
    return;
  }
  plan->replies.push_back({ReplyComplete, false});
  if (refused) return;
  model->run = TargetRun::None;
  plan->publish = true;
  plan->runEnded = true;
}

const CommandRow commandTable[] = {
    {FrameAck, serveAck, {}},
    {FrameLaunch, serveLaunch, {}},
    {FrameErase,
     serveErase,
     {ReplyEraseAck, ReplyComplete, EraseRegion::Application, TargetRun::None}},
    {FrameEraseAll,
     serveErase,
     {ReplyEraseAllAck, ReplyComplete, EraseRegion::WholeFlash, TargetRun::None}},
    {FrameProgramApp,
     serveErase,
     {ReplyAppAck, ReplyAppAck, EraseRegion::Application, TargetRun::Application}},
    {FrameProgramBoot,
     serveErase,
     {ReplyBootAck, ReplyBootAck, EraseRegion::Bootloader, TargetRun::Bootloader}},
    {FrameBlockFollows, serveBlockFollows, {}},
    {FrameEndProgramming, serveEndProgramming, {}},
};

const CommandRow* commandOf(const uint8_t* bytes) {
  for (const CommandRow& row : commandTable) {
    bool same = true;
    for (int i = 0; i < FrameSlotCount; ++i) same = same && row.frame[i] == bytes[i];
    if (same) return &row;
  }
  return nullptr;
}

// Sends the planned replies, the first one as the reply faults make it.
void sendPlanned(const TargetModel& model, int number, const Plan& plan,
                 std::vector<TargetAction>* actions) {
  if (plan.publish) addSimple(actions, TargetActionKind::FlashUpdated);
  for (size_t i = 0; i < plan.replies.size(); ++i) {
    uint8_t frame[4];
    encodeReplyBytes(plan.replies[i].code, frame);
    if (i == 0 && model.faults.garbleReply > 0 && number == model.faults.garbleReply) {
      frame[2] ^= 0x55;
      frame[3] = uint8_t(frame[0] ^ frame[1] ^ frame[2]);
    }
    if (i == 0 && model.faults.badCheck > 0 && number == model.faults.badCheck) {
      frame[3] ^= 0x01;
    }
    addReplyBytes(actions, frame, plan.replies[i].eraseProgress);
  }
}

// Carries out one intact command frame.
void serveFrame(TargetModel* model, const uint8_t* bytes, std::vector<TargetAction>* actions) {
  model->framesReceived++;
  const int number = model->framesReceived;
  addLog(actions, hexBytes(bytes, 4));
  if (targetSilent(*model)) return;
  if (model->faults.hangupAt > 0 && number == model->faults.hangupAt) {
    model->phase = TargetPhase::HungUp;
    model->run = TargetRun::None;
    addSimple(actions, TargetActionKind::Hangup);
    return;
  }
  const CommandRow* row = commandOf(bytes);
  if (!row) return;  // cannot happen: only intact frames come here
  // A calling target serves nothing but the acknowledgement of its call.
  if (model->phase == TargetPhase::Calling && row->serve != serveAck) return;

  const bool refused = model->faults.unexpectedReply > 0 && number == model->faults.unexpectedReply;
  Plan plan;
  row->serve(model, *row, refused, &plan);
  if (plan.noReply) {
    if (plan.runEnded) addSimple(actions, TargetActionKind::Launched);
    return;
  }
  if (refused) {
    plan.replies.assign(1, {ReplyStatusE0, false});
    plan.publish = false;
  }
  sendPlanned(*model, number, plan, actions);
  if (plan.runEnded) addSimple(actions, TargetActionKind::RunEnded);
}

uint32_t readLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Judges and stores one complete block record.
void serveRecord(TargetModel* model, std::vector<TargetAction>* actions) {
  BlockRecord record;
  memcpy(&record, model->record.data(), BlockRecordSize);
  const uint32_t base = readLe32(model->record.data());
  const uint32_t count = readLe32(model->record.data() + 264);
  model->awaitingRecord = false;
  model->record.clear();
  model->recordsReceived++;

  const FlashGeometry& g = model->geometry;
  uint64_t regionStart = model->run == TargetRun::Bootloader ? g.base : appRegionStart(g);
  uint64_t regionEnd = model->run == TargetRun::Bootloader ? uint64_t(appRegionStart(g)) : end64(g);
  const char* verdict = "ok";
  if (count > uint32_t(BlockDataSize)) {
    verdict = "bad-count";
  } else if (record.checkValue != blockCheckValue(record)) {
    verdict = "bad-check";
  } else if (count > 0 && (base < regionStart || uint64_t(base) + count > regionEnd)) {
    verdict = "outside";
  }

  char line[80];
  snprintf(line, sizeof line, "record %08X %u %s", unsigned(base), unsigned(count), verdict);
  addLog(actions, line);
  if (strcmp(verdict, "ok") != 0) {
    model->recordsRefused++;
    addReply(actions, ReplyStatusE0, false);
    return;
  }
  if (count > 0) memcpy(model->flash.data() + (base - g.base), record.data, count);
  model->recordsAccepted++;
  addReply(actions, runAck(model->run), false);
}

bool isServedFrame(const uint8_t* bytes) {
  return commandOf(bytes) != nullptr;
}

}  // namespace

bool flashGeometryValid(const FlashGeometry& geometry, std::string* why) {
  const char* reason = nullptr;
  if (geometry.size == 0 || geometry.size > 256u * 1024 * 1024) {
    reason = "flash size must be 1 byte to 256 MiB";
  } else if (geometry.bootSize > geometry.size) {
    reason = "boot region larger than the flash";
  } else if (uint64_t(geometry.base) + geometry.size > 0x100000000ull) {
    reason = "flash runs past 0xFFFFFFFF";
  }
  if (reason && why) *why = reason;
  return reason == nullptr;
}

void targetInit(TargetModel* model, const FlashGeometry& geometry, int eraseBlocks) {
  *model = TargetModel{};
  model->geometry = geometry;
  model->eraseBlocks = eraseBlocks;
  model->flash.assign(geometry.size, 0xFF);
  model->record.reserve(BlockRecordSize);
}

void targetReset(TargetModel* model) {
  model->phase = TargetPhase::Calling;
  model->run = TargetRun::None;
  model->awaitingRecord = false;
  model->record.clear();
  model->pendingCount = 0;
  model->framesReceived = 0;
  model->resets++;
}

void targetReplace(TargetModel* model) {
  targetReset(model);
  std::fill(model->flash.begin(), model->flash.end(), uint8_t(0xFF));
}

void targetFeed(TargetModel* model, const uint8_t* bytes, size_t count,
                std::vector<TargetAction>* actions) {
  for (size_t i = 0; i < count; ++i) {
    const uint8_t byte = bytes[i];
    if (model->phase == TargetPhase::Launched || model->phase == TargetPhase::HungUp) continue;
    if (model->awaitingRecord) {
      model->record.push_back(byte);
      if (model->record.size() == BlockRecordSize) serveRecord(model, actions);
      continue;
    }
    if (model->pendingCount == 0 && byte != CommandLeadByte) continue;
    model->pending[model->pendingCount++] = byte;
    if (model->pendingCount < 4) continue;

    if (isServedFrame(model->pending)) {
      model->pendingCount = 0;
      uint8_t frame[4];
      memcpy(frame, model->pending, 4);
      serveFrame(model, frame, actions);
      continue;
    }
    model->garbledFrames++;
    addLog(actions, "garbled " + hexBytes(model->pending, 4));
    // Look for a lead byte after the rejected one.
    int from = 1;
    while (from < 4 && model->pending[from] != CommandLeadByte) ++from;
    int keep = 4 - from;
    memmove(model->pending, model->pending + from, size_t(keep));
    model->pendingCount = keep;
  }
}

bool targetSilent(const TargetModel& model) {
  return model.faults.silentFrom > 0 && model.framesReceived >= model.faults.silentFrom;
}

bool targetCalling(const TargetModel& model) {
  return model.phase == TargetPhase::Calling && !targetSilent(model);
}

std::string hexBytes(const uint8_t* bytes, size_t count) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    if (i) text.push_back(' ');
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 15]);
  }
  return text;
}
