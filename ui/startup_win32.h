// Start-up and the message loop of the desktop tool.
#pragma once

#include <windows.h>

// Every process-wide setting at its start value, the open-file request
// prepared (its owner is set once the main window exists).
void setStartValues();
void prepareOpenFileRequest();

// Start values, window class, main window, accelerators, common controls,
// toolbar, status bar, show, first connection thread. False, with nothing
// created, when the window class cannot be registered.
bool startUp(HINSTANCE instance, int showCommand, HACCEL* accelerators);

// Runs until the quit message and returns its parameter. Every message is
// offered to the accelerators first, whichever of the thread's windows it is
// for.
int runMessageLoop(HACCEL accelerators);

// The whole life of the process: start-up, then the loop. 0 when the window
// class cannot be registered.
int runApplication(HINSTANCE instance, int showCommand);
