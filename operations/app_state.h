// Process-wide state of the target operations: the connection state, the
// re-entry guards, the two settings chosen in the flash setup dialog and the
// path of the hex token file. Start-up gives each its start value before any
// other thread exists.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

enum class ConnectionState : int32_t { Startup = 0, NotConnected = 1, Connected = 2 };

// Shared between the user-interface thread, the connection thread and the
// workers.
extern std::atomic<ConnectionState> connectionState;
// 1 from a connection thread's first step until it has connected.
extern std::atomic<int> connectWaitRunning;
// Set while a programming or erase dialog and its worker exist.
extern std::atomic<int> programBusy;
extern std::atomic<int> eraseBusy;

enum class ProgramTarget { Application, Bootloader };
enum class EraseMode { Default, EntireFlash };

// Each setting is held as two flags of which exactly one is 1. Written by the
// flash setup dialog and read by the Program and Erase commands, all on the
// user-interface thread.
struct ProgramTargetFlags {
  int32_t application;
  int32_t bootloader;
};
struct EraseModeFlags {
  int32_t defaultErase;
  int32_t entireFlash;
};
extern ProgramTargetFlags programTarget;
extern EraseModeFlags eraseMode;

// Bootloader only for the flags {0, 1}, Application for any other pair.
ProgramTarget programTargetOf(ProgramTargetFlags flags);
ProgramTargetFlags flagsFor(ProgramTarget target);
// EntireFlash only for the flags {0, 1}, Default for any other pair.
EraseMode eraseModeOf(EraseModeFlags flags);
EraseModeFlags flagsFor(EraseMode mode);

// The hex token file chosen last in the open-file dialog; kept for the next
// Program command, which opens the dialog with it filled in.
constexpr size_t HexFilePathSize = 512;
extern char hexFilePath[HexFilePathSize];

// Start values: Startup, no thread waiting, no run, Application, Default, no
// file chosen.
void setOperationsStartValues();
