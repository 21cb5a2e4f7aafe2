// What the simulator reports: complaints and the trace on stderr, the log,
// and the memory-out file.
#include <unistd.h>

#include <cstdio>

#include "sim/simulator_internal.h"

namespace {

std::mutex stderrMutex;

}  // namespace

void simComplain(const char* format, const std::string& detail) {
  std::lock_guard<std::mutex> lock(stderrMutex);
  fprintf(stderr, "k4471-sim: ");
  fprintf(stderr, format, detail.c_str());
  fprintf(stderr, "\n");
}

void simTrace(Simulator* sim, const char* direction, const std::string& text) {
  if (!sim->verbose) return;
  std::lock_guard<std::mutex> lock(stderrMutex);
  fprintf(stderr, "%s %s\n", direction, text.c_str());
}

void simAppendLog(Simulator* sim, const std::string& line) {
  if (sim->logFile) {
    fprintf(sim->logFile, "%s\n", line.c_str());
    fflush(sim->logFile);
  }
  simTrace(sim, "host>", line);
}

std::string simMemoryOutPath(const std::string& pattern, int board) {
  const size_t at = pattern.find("{board}");
  if (at != std::string::npos)
    return pattern.substr(0, at) + std::to_string(board) + pattern.substr(at + 7);
  return board == 1 ? pattern : pattern + "." + std::to_string(board);
}

bool simWriteMemoryOut(Simulator* sim) {
  std::vector<uint8_t> flash;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(sim->mutex);
    sim->flashPublished++;
    if (sim->memoryOut.empty()) return true;
    flash = sim->model.flash;
    path = simMemoryOutPath(sim->memoryOut, sim->board);
  }
  static std::atomic<unsigned> serial{0};
  std::string temp =
      path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(serial.fetch_add(1));
  FILE* f = fopen(temp.c_str(), "wb");
  if (!f) {
    simComplain("%s", errnoText("cannot write " + temp));
    return false;
  }
  bool ok = fwrite(flash.data(), 1, flash.size(), f) == flash.size();
  ok = fclose(f) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    simComplain("%s", errnoText("cannot write " + path));
    unlink(temp.c_str());
    return false;
  }
  return true;
}
