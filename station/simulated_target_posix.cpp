// The simulated target of --simulate on Linux and macOS: the simulator on a pseudo-terminal.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "station/simulated_target.h"
#include "image/hex_token_reader.h"
#include "sim/simulator.h"

bool startSimulatedTarget(SimulatedTarget* target, std::string* error) {
  char pattern[] = "/tmp/k4471-cli-XXXXXX";
  if (!mkdtemp(pattern)) {
    *error = "cannot make a folder for the simulated target";
    return false;
  }
  target->directory = pattern;
  target->device = target->directory + "/target.tty";
  SimConfig config;
  config.linkPath = target->device.c_str();
  config.callMs = 250;  // a board that was just reset
  target->sim = simStart(config, error);
  return target->sim != nullptr;
}

void stopSimulatedTarget(SimulatedTarget* target) {
  if (!target->sim) return;
  simStop(target->sim);
  target->sim = nullptr;
  rmdir(target->directory.c_str());
}

bool simulatedFlashHolds(SimulatedTarget* target, const ImageSnapshot& image,
                         std::string* verdict) {
  std::vector<uint8_t> flash = simFlash(target->sim);
  // Read the image as the run did, from the cursors it started with.
  struct Comparison {
    const std::vector<uint8_t>* flash;
    size_t bytes = 0, wrong = 0;
  } comparison;
  comparison.flash = &flash;
  readRunBlocks(
      image, runStartCursors(image, ReaderCursors{0, 0}),
      [](const BlockRecord& record, void* context) {
        auto* c = static_cast<Comparison*>(context);
        for (uint32_t i = 0; i < record.byteCount; ++i) {
          uint64_t at = static_cast<uint64_t>(record.baseAddress) + i;
          ++c->bytes;
          if (at >= c->flash->size() || (*c->flash)[at] != record.data[i]) ++c->wrong;
        }
      },
      &comparison);
  const size_t bytes = comparison.bytes, wrong = comparison.wrong;
  char text[160];
  if (wrong == 0) {
    snprintf(text, sizeof text, "Simulated target: its flash holds the image (%zu bytes checked).",
             bytes);
  } else {
    snprintf(text, sizeof text,
             "Simulated target: %zu of %zu bytes of the image differ in its flash.", wrong, bytes);
  }
  *verdict = text;
  return wrong == 0;
}
