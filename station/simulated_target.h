// The simulated target started inside the command line (--simulate): the
// embedded default, so the tool can be tried without a board.
#pragma once

#include <string>

#include "image/image_snapshot.h"

struct Simulator;

struct SimulatedTarget {
  Simulator* sim = nullptr;
  std::string directory;
  std::string device;  // the link the port opens
};

bool startSimulatedTarget(SimulatedTarget* target, std::string* error);
void stopSimulatedTarget(SimulatedTarget* target);
// Compares the simulated flash with the image that was programmed; the verdict
// is a sentence for the user.
bool simulatedFlashHolds(SimulatedTarget* target, const ImageSnapshot& image, std::string* verdict);
