// The simulator's core: its thread, which joins the line, the pacing, the
// control lines and the call timer to the target model; start, stop, reset
// and control from other threads.
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "sim/app_text.h"
#include "sim/simulator_internal.h"

using Clock = SimClock;

namespace {

bool resetPending(Simulator* sim) {
  std::lock_guard<std::mutex> lock(sim->mutex);
  return sim->resetsRequested.load() != sim->resetsServed;
}

// Stopped, reset, or pulled out: what the board was doing ends there.
bool interrupted(Simulator* sim) {
  return sim->stopping.load() || sim->unplugRequested.load() || resetPending(sim);
}

bool givenUp(void* context) {
  return interrupted(static_cast<Simulator*>(context));
}

// Sleeps until `until`; false when stopped, reset or pulled out meanwhile.
bool sleepUntil(Simulator* sim, Clock::time_point until) {
  return sleepUntilUnless(until, givenUp, sim);
}

long writeToHost(void* context, const uint8_t* bytes, size_t count) {
  Simulator* sim = static_cast<Simulator*>(context);
  if (!ptyLineUp(sim->line) || sim->stopping.load()) return -1;
  const long n = ptyWrite(sim->line, bytes, count);
  if (n != 0) return n;
  // Nobody reads the other side and its buffer is full: wait for room.
  if (interrupted(sim)) return -1;
  ptyAwaitRoom(sim->line, 50);
  return 0;
}

void wake(Simulator* sim) {
  if (sim->wakeWrite < 0) return;
  char byte = 1;
  ssize_t ignored = write(sim->wakeWrite, &byte, 1);
  (void)ignored;
}

void perform(Simulator* sim, const std::vector<TargetAction>& actions) {
  for (const TargetAction& action : actions) {
    switch (action.kind) {
      case TargetActionKind::Log:
        simAppendLog(sim, action.text);
        break;
      case TargetActionKind::FlashUpdated:
        simWriteMemoryOut(sim);
        break;
      case TargetActionKind::RunEnded:
      case TargetActionKind::Launched:
        callTimerRunEnded(sim, action.kind == TargetActionKind::Launched);
        break;
      case TargetActionKind::Hangup:
        // The host's line hangs up and the device disappears; our side of it
        // stays open until the reset, so that no other pseudo-terminal gets
        // its number (and the link) meanwhile.
        simTrace(sim, "sim  ", "hang-up");
        ptyLineHangUp(&sim->line);
        netPortDrop(sim);
        break;
      case TargetActionKind::Reply: {
        const int pause = sim->eraseBlockMs.load();
        if (action.eraseProgress && pause > 0 &&
            !sleepUntil(sim, Clock::now() + std::chrono::milliseconds(pause))) {
          return;
        }
        simTrace(sim, "sim  ", hexBytes(action.frame, 4));
        if (!simSendToHost(sim, action.frame, 4)) return;
        break;
      }
    }
  }
}

// Takes what the host sent (paced when a baud rate is set) and serves it.
void readFromHost(Simulator* sim) {
  uint8_t buffer[4096];
  size_t want = sizeof buffer;
  const int rate = sim->baud.load();
  // Paced, what the host wrote has arrived ten bit times a byte after the
  // bytes before it, or after it was written when the line was idle: take
  // what is waiting, and serve it once its last byte is through.
  const Clock::time_point seen = Clock::now();
  const long n = ptyRead(sim->line, buffer, want);
  if (n <= 0) {
    if (n == 0) return;
    // No reader on the other side (cannot happen while we hold the slave): rest a little.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return;
  }
  // Held for the latency once its last byte is through, as an adapter or a
  // network holds what has arrived: the hold adds to the time on the wire.
  const Clock::time_point through = rate > 0 ? paceBytes(&sim->rx, rate, seen, size_t(n)) : seen;
  if (rate > 0 && !sleepUntil(sim, through)) return;
  const int latency = sim->latencyMs.load();
  if (latency > 0 && !sleepUntil(sim, through + std::chrono::milliseconds(latency))) return;
  if (sim->heldInReset.load()) return;  // a board held in reset hears nothing
  std::vector<TargetAction> actions;
  {
    std::lock_guard<std::mutex> lock(sim->mutex);
    sim->hostBytes.insert(sim->hostBytes.end(), buffer, buffer + n);
    targetFeed(&sim->model, buffer, size_t(n), &actions);
  }
  perform(sim, actions);
}

// Carries out a reset on the simulator's thread; `nextBoard`: the board is
// replaced by a fresh one on the same line.
void serveReset(Simulator* sim, bool nextBoard) {
  if (!ptyLineUp(sim->line)) {
    ptyLineClose(&sim->line);
    std::string error, device;
    if (ptyLineOpen(&sim->line, &error)) {
      device = sim->line.device;
      {
        std::lock_guard<std::mutex> lock(sim->mutex);
        sim->device = device;
      }
      if (!publishLink(sim->linkPath, device, &error)) simComplain("%s", error);
    } else {
      simComplain("%s", "cannot open a new pseudo-terminal: " + error);
    }
  } else {
    // Whatever is still on the line, either way, is lost as on a real board.
    ptyDiscardHostInput(sim->line);
    uint8_t buffer[4096];
    long n;
    while ((n = ptyRead(sim->line, buffer, sizeof buffer)) > 0) {
      std::lock_guard<std::mutex> lock(sim->mutex);
      sim->hostBytes.insert(sim->hostBytes.end(), buffer, buffer + n);
    }
  }
  {
    std::lock_guard<std::mutex> lock(sim->mutex);
    if (nextBoard) {
      targetReplace(&sim->model);
      sim->board++;
    } else {
      targetReset(&sim->model);
    }
  }
  simAppendLog(sim, nextBoard ? "next board" : "reset");
  callTimerRestart(sim);
  sim->rx.ready = sim->tx.ready = Clock::now();
}

void serveSettings(Simulator* sim) {
  {
    std::lock_guard<std::mutex> lock(sim->mutex);
    if (sim->settingsServed == sim->settingsRequested) return;
  }
  if (sim->unplugRequested.exchange(false)) simServeUnplug(sim);
  callTimerSettingsChanged(sim);
  const int unread = ptyUnreadByBoard(sim->line);
  {
    std::lock_guard<std::mutex> lock(sim->mutex);
    sim->settingsServed = sim->settingsRequested;
    sim->inputPending = unread > 0;
  }
  sim->resetDone.notify_all();
}

void runSimulator(Simulator* sim) {
#ifdef __linux__
  // Paced bytes are a tenth of a millisecond apart: wake on time for them.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
#endif
  sim->calls.nextCall = Clock::now();
  while (!sim->stopping.load()) {
    simServeResetRequests(sim);
    serveSettings(sim);
    const int timeout = serveCallTimer(sim);

    pollfd fds[6];
    int count = 0;
    fds[count++] = {sim->wakeRead, POLLIN, 0};
    const int fifoIndex = sim->fifoRead >= 0 ? count : -1;
    if (fifoIndex >= 0) fds[count++] = {sim->fifoRead, POLLIN, 0};
    const int masterIndex = sim->line.master >= 0 ? count : -1;
    if (masterIndex >= 0) fds[count++] = {sim->line.master, POLLIN, 0};
    const int netIndex = count;
    count += netPortPollFds(sim, fds + count);
    int ready = poll(fds, nfds_t(count), timeout);
    if (ready <= 0) continue;
    if (fds[0].revents) {
      char drain[64];
      while (read(sim->wakeRead, drain, sizeof drain) > 0) {
      }
    }
    if (fifoIndex >= 0 && fds[fifoIndex].revents) controlFifoRead(sim);
    if (masterIndex >= 0 && ptyLineUp(sim->line)) {
      const short events = fds[masterIndex].revents;
      if (events & POLLIN) {
        readFromHost(sim);
      } else if (events) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // no peer: do not spin
      }
    }
    netPortServe(sim, fds + netIndex, count - netIndex);
  }
}

// The wake-up pipe and the log file.
bool openChannels(Simulator* sim, std::string* why) {
  int wakePipe[2];
  if (pipe(wakePipe) != 0) {
    *why = errnoText("pipe");
    return false;
  }
  sim->wakeRead = wakePipe[0];
  sim->wakeWrite = wakePipe[1];
  setCloexec(sim->wakeRead);
  setCloexec(sim->wakeWrite);
  setNonblocking(sim->wakeRead);
  setNonblocking(sim->wakeWrite);

  if (!sim->logPath.empty()) {
    sim->logFile = fopen(sim->logPath.c_str(), "a");
    if (!sim->logFile) {
      *why = errnoText("cannot open log " + sim->logPath);
      return false;
    }
    setCloexec(fileno(sim->logFile));
  }
  return true;
}

// The network port, when one is asked for.
bool netPortStart(Simulator* sim, const SimConfig& config, std::string* why) {
  const std::string resetOn = config.resetOn ? config.resetOn : "";
  if (resetOn == "dtr" || resetOn == "rts") {
    sim->net.resetOn = resetOn == "dtr" ? SimResetLine::Dtr : SimResetLine::Rts;
  } else if (!resetOn.empty()) {
    *why = "--reset-on wants dtr or rts: " + resetOn;
    return false;
  }
  sim->net.rfc2217 = config.rfc2217;
  if (!config.listen || !*config.listen) return true;
  return netPortOpen(sim, config.listen, why);
}

void freeSimulator(Simulator* sim) {
  ptyLineClose(&sim->line);
  closeFd(&sim->wakeRead);
  closeFd(&sim->wakeWrite);
  controlFifoClose(sim);
  netPortClose(sim);
  if (sim->logFile) fclose(sim->logFile);
  delete sim;
}

}  // namespace

bool simSendToHost(Simulator* sim, const uint8_t* bytes, size_t count) {
  if (!ptyLineUp(sim->line) || sim->stopping.load()) return false;
  const int latency = sim->latencyMs.load();
  if (latency > 0 && !sleepUntil(sim, Clock::now() + std::chrono::milliseconds(latency))) {
    return false;
  }
  const PacedLine line{sim, [](void*) { return Clock::now(); },
                       [](void* context, SimTime until) {
                         return sleepUntil(static_cast<Simulator*>(context), until);
                       },
                       writeToHost};
  return sendPaced(&sim->tx, sim->baud.load(), line, bytes, count);
}

// The adapter pulled out: the line is closed and the device is gone from the
// link, until a reset plugs the board in again on a new pseudo-terminal.
void simServeUnplug(Simulator* sim) {
  if (!ptyLineUp(sim->line)) return;
  simTrace(sim, "sim  ", "unplugged");
  ptyLineClose(&sim->line);
  std::string device;
  {
    std::lock_guard<std::mutex> lock(sim->mutex);
    device = sim->device;
  }
  removeLink(sim->linkPath, device);
  netPortDrop(sim);
  simAppendLog(sim, "unplugged");
}

void simServeResetRequests(Simulator* sim) {
  unsigned requested = sim->resetsRequested.load();
  {
    std::lock_guard<std::mutex> lock(sim->mutex);
    if (requested == sim->resetsServed) return;
  }
  serveReset(sim, false);
  {
    std::lock_guard<std::mutex> lock(sim->mutex);
    sim->resetsServed = requested;
  }
  sim->resetDone.notify_all();
}

void simHoldReset(Simulator* sim, bool held) {
  sim->heldInReset = held;
  if (held) return;
  sim->resetsRequested++;
  simServeResetRequests(sim);
}

void simServeNextBoard(Simulator* sim) {
  simTrace(sim, "sim  ", "next board");
  serveReset(sim, true);
}

bool simAwaitSettings(Simulator* sim, int timeoutMs) {
  std::unique_lock<std::mutex> lock(sim->mutex);
  const unsigned mine = ++sim->settingsRequested;
  wake(sim);
  bool served = sim->resetDone.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return sim->stopping.load() || int(sim->settingsServed - mine) >= 0;
  });
  return served && !sim->stopping.load() && !sim->inputPending;
}

Simulator* simStart(const SimConfig& config, std::string* error) {
  std::string why;
  auto fail = [&](Simulator* sim) -> Simulator* {
    simComplain("%s", why);
    if (error) *error = why;
    if (sim) freeSimulator(sim);
    return nullptr;
  };
  if (!config.linkPath || !*config.linkPath) {
    why = "no link path";
    return fail(nullptr);
  }
  const FlashGeometry geometry{config.flashBase, config.flashSize, config.bootSize};
  if (!flashGeometryValid(geometry, &why)) return fail(nullptr);
  if (config.appText && !appTextValid(config.appText, geometry, &why)) {
    why = "--app-text: " + why;
    return fail(nullptr);
  }
  FlipBit flip;
  if (config.flipBit && !parseFlipBit(config.flipBit, geometry, &flip, &why)) return fail(nullptr);
  size_t optionCount = 0;
  const SimOption* options = simOptions(&optionCount);
  for (size_t i = 0; i < optionCount; ++i) {
    if (config.*options[i].member >= 0) continue;
    why = std::string("negative setting: ") + options[i].name;
    return fail(nullptr);
  }

  Simulator* sim = new Simulator;
  sim->linkPath = config.linkPath;
  sim->memoryOut = config.memoryOut ? config.memoryOut : "";
  sim->controlPath = config.controlPath ? config.controlPath : "";
  sim->logPath = config.logPath ? config.logPath : "";
  sim->appText = config.appText ? config.appText : "";
  sim->verbose = config.verbose;
  if (config.flipBit) sim->flipEvery.push_back(flip);
  targetInit(&sim->model, geometry, config.eraseBlocks);
  for (size_t i = 0; i < optionCount; ++i) options[i].set(sim, config.*options[i].member);

  if (!openChannels(sim, &why)) return fail(sim);
  if (!sim->controlPath.empty() && !controlFifoCreate(sim, &why)) return fail(sim);
  if (!netPortStart(sim, config, &why)) return fail(sim);
  if (!ptyLineOpen(&sim->line, &why)) return fail(sim);
  sim->device = sim->line.device;
  if (!publishLink(sim->linkPath, sim->device, &why)) return fail(sim);
  sim->rx.ready = sim->tx.ready = Clock::now();
  sim->thread = std::thread(runSimulator, sim);
  return sim;
}

void simStop(Simulator* sim) {
  if (!sim) return;
  sim->stopping = true;
  wake(sim);
  sim->resetDone.notify_all();
  if (sim->thread.joinable()) sim->thread.join();
  std::string device;
  {
    std::lock_guard<std::mutex> lock(sim->mutex);
    device = sim->device;
  }
  removeLink(sim->linkPath, device);
  freeSimulator(sim);
}

void simReset(Simulator* sim) {
  std::unique_lock<std::mutex> lock(sim->mutex);
  const unsigned mine = ++sim->resetsRequested;
  wake(sim);
  sim->resetDone.wait(lock,
                      [&] { return sim->stopping.load() || int(sim->resetsServed - mine) >= 0; });
}

bool simControl(Simulator* sim, const char* line) {
  return applyControl(sim, line ? line : "", false);
}

bool simSettle(Simulator* sim, int timeoutMs) {
  // Bytes just written by the host may still be on their way through the
  // pseudo-terminal: the line must be found quiet twice, a little apart.
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int quiet = 0;
  while (quiet < 2) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    quiet = simAwaitSettings(sim, int(left.count())) ? quiet + 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
