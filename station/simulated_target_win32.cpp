// The simulated target of --simulate on Windows: there is none; the run says so.
#include "station/simulated_target.h"

bool startSimulatedTarget(SimulatedTarget*, std::string* error) {
  *error = "the simulated target runs on Linux and macOS only (k4471-sim)";
  return false;
}

void stopSimulatedTarget(SimulatedTarget*) {}

bool simulatedFlashHolds(SimulatedTarget*, const ImageSnapshot&, std::string* verdict) {
  *verdict = "";
  return false;
}
