// The simulator's call timer: the call frame every period until the host
// acknowledges it, the stale calls of a start or reset, the withdrawal of a
// call nobody read, and the chatter of a board that runs its application.
#include <algorithm>
#include <chrono>

#include "link/frames.h"
#include "sim/app_text.h"
#include "sim/simulator_internal.h"

namespace {

using std::chrono::milliseconds;

void countCalls(Simulator* sim, int count) {
  std::lock_guard<std::mutex> lock(sim->mutex);
  sim->callsSent += count;
}

// The host's acknowledgement has reached the line and the board has not
// taken all of it yet: it is served before a call goes out, so that a call
// never crosses an acknowledgement the board already had.
bool hostAnswering(Simulator* sim) {
  if (ptyUnreadByBoard(sim->line) > 0) return true;
  std::lock_guard<std::mutex> lock(sim->mutex);
  return sim->model.pendingCount > 0;
}

// The call, every period until the acknowledgement, on a strict beat: a call
// the host discarded unread (a port opened after it, a purge) is followed by
// the next one a period after it, as on a real board. A call that nobody took
// is replaced by a fresh one, never piled up.
void sendCall(Simulator* sim, int period) {
  CallTimer& timer = sim->calls;
  if (ptyUnreadByHost(sim->line) >= 4) ptyDiscardHostInput(sim->line);  // stale: nobody reads
  uint8_t frame[4];
  encodeReplyBytes(ReplyTargetCall, frame);
  simTrace(sim, "sim  ", hexBytes(frame, 4) + " (call)");
  const auto now = SimClock::now();
  const auto beat = milliseconds(period);
  timer.callOutstanding = true;
  // Kept on the beat; a call that went out a whole period late (a pause,
  // a slow machine) starts the beat afresh.
  timer.nextCall = now - timer.nextCall < beat ? timer.nextCall + beat : now + beat;
  if (simSendToHost(sim, frame, 4)) countCalls(sim, 1);
}

// Returns the milliseconds until the call timer wants to run again.
int serveCall(Simulator* sim, int period) {
  CallTimer& timer = sim->calls;
  const auto now = SimClock::now();
  if (now >= timer.nextCall) {
    // Bytes from the host come first (the poll returns at once for them);
    // a stray partial frame holds the call back half a period at most.
    if (hostAnswering(sim) && now - timer.nextCall < milliseconds(std::max(1, period / 2))) {
      return 1;
    }
    sendCall(sim, period);
  }
  auto left = std::chrono::duration_cast<milliseconds>(timer.nextCall - SimClock::now()).count();
  return int(std::max<long long>(1, std::min<long long>(left + 1, 200)));
}

// The calls a port holds when it was opened late, or when the host was slow to
// answer: several at once, left on the line until the next call is due.
void sendBacklog(Simulator* sim, int period) {
  sim->calls.backlogDue = false;
  const int count = sim->staleCalls.load();
  if (count <= 0) return;
  std::vector<uint8_t> calls(size_t(count) * 4);
  for (int i = 0; i < count; ++i) encodeReplyBytes(ReplyTargetCall, &calls[size_t(i) * 4]);
  simTrace(sim, "sim  ", std::to_string(count) + " stale calls");
  if (!simSendToHost(sim, calls.data(), calls.size())) return;
  countCalls(sim, count);
  sim->calls.nextCall = SimClock::now() + milliseconds(period);
}

// A board running its application talks on its own; a line nobody reads
// loses what does not fit. Returns the milliseconds until the next line.
int serveChatter(Simulator* sim, int period) {
  CallTimer& timer = sim->calls;
  auto now = SimClock::now();
  if (now >= timer.nextChatter) {
    if (ptyUnreadByHost(sim->line) > 2048) ptyDiscardHostInput(sim->line);
    std::string line = "app running, tick " + std::to_string(timer.chatterTick++) + "\r\n";
    simSendToHost(sim, reinterpret_cast<const uint8_t*>(line.data()), line.size());
    timer.nextChatter = now + milliseconds(period);
  }
  auto left = std::chrono::duration_cast<milliseconds>(timer.nextChatter - now).count();
  return int(std::max<long long>(1, left));
}

bool calling(Simulator* sim) {
  std::lock_guard<std::mutex> lock(sim->mutex);
  return targetCalling(sim->model);
}

// The next board on the fixture, once its time has come. Returns the
// milliseconds until then.
int serveNextBoard(Simulator* sim) {
  CallTimer& timer = sim->calls;
  if (!timer.nextBoardDue) return 200;
  const auto now = SimClock::now();
  if (now >= timer.nextBoard) {
    timer.nextBoardDue = false;
    simServeNextBoard(sim);
    return 1;
  }
  auto left = std::chrono::duration_cast<milliseconds>(timer.nextBoard - now).count();
  return int(std::max<long long>(1, std::min<long long>(left + 1, 200)));
}

// Calls or chatters when due; returns the milliseconds until the next time.
int serveCalls(Simulator* sim) {
  if (!ptyLineUp(sim->line) || sim->heldInReset.load()) return 200;
  const int period = sim->callMs.load();
  const int chatter = sim->chatterMs.load();
  if (chatter > 0) return serveChatter(sim, chatter);
  if (period <= 0 || !calling(sim)) return 200;
  if (sim->calls.backlogDue) sendBacklog(sim, period);
  return serveCall(sim, period);
}

}  // namespace

int serveCallTimer(Simulator* sim) {
  const int nextBoard = serveNextBoard(sim);
  return std::min(nextBoard, serveCalls(sim));
}

void callTimerRunEnded(Simulator* sim, bool launched) {
  if (!launched) {
    std::lock_guard<std::mutex> lock(sim->mutex);
    for (const FlipBit& flip : sim->flipEvery) {
      applyFlipBit(flip, sim->model.geometry, &sim->model.flash);
    }
    for (const FlipBit& flip : sim->flipNext) {
      applyFlipBit(flip, sim->model.geometry, &sim->model.flash);
    }
    sim->flipNext.clear();
  }
  const int swap = sim->nextBoardMs.load();
  if (swap > 0) {
    sim->calls.nextBoardDue = true;
    sim->calls.nextBoard = SimClock::now() + milliseconds(swap);
  }
  if (!launched || sim->appText.empty()) return;
  std::string line;
  {
    std::lock_guard<std::mutex> lock(sim->mutex);
    line = appTextRender(sim->appText, sim->model.geometry, sim->model.flash);
  }
  simTrace(sim, "sim  ", "app: " + line);
  const size_t cut = static_cast<size_t>(sim->appTextCut.load());
  line = cut > 0 ? line.substr(0, cut) : line + "\r\n";
  simSendToHost(sim, reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

void callTimerRestart(Simulator* sim) {
  sim->calls.nextCall = SimClock::now();
  sim->calls.callOutstanding = false;
  sim->calls.backlogDue = true;
}

void callTimerSettingsChanged(Simulator* sim) {
  withdrawCallIfSilent(sim);
  const int period = sim->callMs.load();
  if (period > 0) {
    sim->calls.nextCall = std::min(sim->calls.nextCall, SimClock::now() + milliseconds(period));
  }
}

void withdrawCallIfSilent(Simulator* sim) {
  if (sim->callMs.load() != 0 || !sim->calls.callOutstanding || !ptyLineUp(sim->line)) return;
  if (ptyUnreadByHost(sim->line) >= 4) ptyDiscardHostInput(sim->line);
  sim->calls.callOutstanding = false;
}
