// The console on Windows: its control events as interrupts.
#include <windows.h>

#include <cstdio>

#include "cli/console.h"

namespace {
void (*interruptHandler)() = nullptr;
BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    if (interruptHandler) interruptHandler();
    return TRUE;
  }
  return FALSE;
}
}  // namespace

void onInterrupt(void (*handler)()) {
  interruptHandler = handler;
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void prepareStandardStreams() {
  // Windows gives a process without a standard stream no handle at all, and a
  // closed pipe fails the write without ending the process.
}
