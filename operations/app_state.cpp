#include "operations/app_state.h"

std::atomic<ConnectionState> connectionState{ConnectionState::Startup};
std::atomic<int> connectWaitRunning{0};
std::atomic<int> programBusy{0};
std::atomic<int> eraseBusy{0};

ProgramTargetFlags programTarget = {1, 0};
EraseModeFlags eraseMode = {1, 0};

char hexFilePath[HexFilePathSize];

ProgramTarget programTargetOf(ProgramTargetFlags flags) {
  if (flags.application == 0 && flags.bootloader == 1) return ProgramTarget::Bootloader;
  return ProgramTarget::Application;
}

ProgramTargetFlags flagsFor(ProgramTarget target) {
  if (target == ProgramTarget::Bootloader) return {0, 1};
  return {1, 0};
}

EraseMode eraseModeOf(EraseModeFlags flags) {
  if (flags.defaultErase == 0 && flags.entireFlash == 1) return EraseMode::EntireFlash;
  return EraseMode::Default;
}

EraseModeFlags flagsFor(EraseMode mode) {
  if (mode == EraseMode::EntireFlash) return {0, 1};
  return {1, 0};
}

void setOperationsStartValues() {
  connectionState = ConnectionState::Startup;
  connectWaitRunning = 0;
  programBusy = 0;
  eraseBusy = 0;
  programTarget = flagsFor(ProgramTarget::Application);
  eraseMode = flagsFor(EraseMode::Default);
  hexFilePath[0] = '\0';
}
