// Placeholders for the target operations until they are written: every
// command is accepted and does nothing.
#include "operations/connection_manager.h"
#include "operations/erase_run_win32.h"
#include "operations/program_run_win32.h"

void startConnectionThread() {}
void onConnectCommand(HWND) {}
void onLaunchCommand(HWND) {}
void disconnectOnExit() {}
LRESULT onLinkLost() {
  return 1;
}
void onPortChanged() {}

void onProgramCommand(HWND) {}
INT_PTR CALLBACK programDialogProc(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}

void onEraseCommand(HWND) {}
INT_PTR CALLBACK eraseDefaultDialogProc(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}
INT_PTR CALLBACK eraseAllDialogProc(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}
