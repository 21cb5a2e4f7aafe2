// The simulator's control lines: reset, set OPTION VALUE, unplug, write-memory, flip-bit.
#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/simulator_internal.h"

namespace {

bool parseNumber(const char* text, long long* value) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 0);
  if (errno != 0 || *end != 0 || v < 0 || v > 0x7FFFFFFF) return false;
  *value = v;
  return true;
}

// Applies `set NAME VALUE`; false for an unknown name or a bad value.
bool setOption(Simulator* sim, const char* name, const char* text) {
  long long value = 0;
  if (!parseNumber(text, &value)) return false;
  const SimOption* option = simFindOption(name);
  if (!option) return false;
  std::lock_guard<std::mutex> lock(sim->mutex);
  option->set(sim, int(value));
  return true;
}

// `flip-bit ADDR:BIT`: for the next programming run only.
bool flipNextBoard(Simulator* sim, const char* text) {
  std::lock_guard<std::mutex> lock(sim->mutex);
  FlipBit flip;
  std::string why;
  if (!parseFlipBit(text, sim->model.geometry, &flip, &why)) return false;
  sim->flipNext.push_back(flip);
  return true;
}

void controlReset(Simulator* sim, bool onThread) {
  if (onThread) {
    sim->resetsRequested++;
    simServeResetRequests(sim);
  } else {
    simReset(sim);
  }
}

void controlUnplug(Simulator* sim, bool onThread) {
  if (onThread) {
    simServeUnplug(sim);
  } else {
    sim->unplugRequested = true;
    simAwaitSettings(sim);
  }
}

}  // namespace

bool applyControl(Simulator* sim, std::string line, bool onThread) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.pop_back();
  size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos || line[start] == '#') return true;
  line = line.substr(start);

  char word[32] = {0}, name[64] = {0}, value[64] = {0}, extra[8] = {0};
  int fields = sscanf(line.c_str(), "%31s %63s %63s %7s", word, name, value, extra);
  bool ok = false;
  if (fields == 1 && strcmp(word, "reset") == 0) {
    controlReset(sim, onThread);
    ok = true;
  } else if (fields == 1 && strcmp(word, "unplug") == 0) {
    controlUnplug(sim, onThread);
    ok = true;
  } else if (fields == 2 && strcmp(word, "flip-bit") == 0) {
    ok = flipNextBoard(sim, name);
  } else if (fields == 1 && strcmp(word, "write-memory") == 0) {
    ok = simWriteMemoryOut(sim);
  } else if (fields == 3 && strcmp(word, "set") == 0) {
    ok = setOption(sim, name, value);
    if (ok && onThread) withdrawCallIfSilent(sim);
    if (ok && !onThread) simAwaitSettings(sim);
  }
  if (!ok) simComplain("control line not understood: %s", line);
  return ok;
}

void feedControl(Simulator* sim, const char* bytes, size_t count) {
  sim->controlBuffer.append(bytes, count);
  size_t newline;
  while ((newline = sim->controlBuffer.find('\n')) != std::string::npos) {
    std::string line = sim->controlBuffer.substr(0, newline);
    sim->controlBuffer.erase(0, newline + 1);
    applyControl(sim, line, true);
  }
  if (sim->controlBuffer.size() > 4096) sim->controlBuffer.clear();  // no line end in sight
}
