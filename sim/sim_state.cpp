// What the simulator's public interface reads of its state, under its mutex.
#include <cstring>

#include "sim/simulator_internal.h"

std::string simDevicePath(Simulator* sim) {
  std::lock_guard<std::mutex> lock(sim->mutex);
  return sim->device;
}

SimStatus simStatus(Simulator* sim) {
  std::lock_guard<std::mutex> lock(sim->mutex);
  const TargetModel& m = sim->model;
  SimStatus s{};
  s.connected = m.phase == TargetPhase::Connected;
  s.launched = m.phase == TargetPhase::Launched;
  s.hungUp = m.phase == TargetPhase::HungUp;
  s.silent = targetSilent(m);
  s.programming = m.run != TargetRun::None;
  s.framesReceived = m.framesReceived;
  s.garbledFrames = m.garbledFrames;
  s.recordsReceived = m.recordsReceived;
  s.recordsAccepted = m.recordsAccepted;
  s.recordsRefused = m.recordsRefused;
  s.callsSent = sim->callsSent;
  s.resets = m.resets;
  s.flashPublished = sim->flashPublished;
  s.board = sim->board;
  return s;
}

std::vector<uint8_t> simFlash(Simulator* sim) {
  std::lock_guard<std::mutex> lock(sim->mutex);
  return sim->model.flash;
}

bool simLoadFlash(Simulator* sim, uint32_t address, const void* bytes, size_t count) {
  std::lock_guard<std::mutex> lock(sim->mutex);
  const FlashGeometry& g = sim->model.geometry;
  if (address < g.base || uint64_t(address) + count > uint64_t(g.base) + g.size) return false;
  if (count) memcpy(sim->model.flash.data() + (address - g.base), bytes, count);
  return true;
}

std::vector<uint8_t> simHostBytes(Simulator* sim) {
  std::lock_guard<std::mutex> lock(sim->mutex);
  return sim->hostBytes;
}

int simListenPort(Simulator* sim) {
  return sim->net.port;  // set before the thread starts, never changed
}
