// The simulated target started inside the command line (--simulate): the
// embedded default, so the tool can be tried without a board.
#pragma once

#include <string>

struct Simulator;

struct SimulatedTarget {
  Simulator* sim = nullptr;
  std::string directory;
  std::string device;  // the link the port opens
};

bool startSimulatedTarget(SimulatedTarget* target, std::string* error);
void stopSimulatedTarget(SimulatedTarget* target);
// Compares the simulated flash with the image of a hex token file; the verdict
// is a sentence for the user.
bool simulatedFlashHolds(SimulatedTarget* target, const std::string& path, std::string* verdict);
