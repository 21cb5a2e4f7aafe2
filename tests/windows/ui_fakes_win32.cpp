#include "tests/windows/ui_fakes.h"

#include "link/serial_port.h"
#include "operations/connection_manager.h"
#include "operations/erase_run_win32.h"
#include "operations/program_run_win32.h"

namespace {
void record(const char* name, HWND owner = nullptr) {
  operationCalls().push_back({name, owner, serialSettings.portNumber});
}
}  // namespace

std::vector<OperationCall>& operationCalls() {
  static std::vector<OperationCall> calls;
  return calls;
}

int callsOf(const char* name) {
  int count = 0;
  for (const OperationCall& call : operationCalls()) count += call.name == name ? 1 : 0;
  return count;
}

std::vector<HelpCall>& helpCalls() {
  static std::vector<HelpCall> calls;
  return calls;
}

BOOL WINAPI recordHelp(HWND window, LPCSTR file, UINT command, ULONG_PTR data) {
  std::string keyword = command == HELP_KEY ? reinterpret_cast<const char*>(data) : "";
  helpCalls().push_back({window, file, command, keyword});
  return TRUE;
}

void startConnectionThread() {
  record("startConnectionThread");
}
void onConnectCommand(HWND owner) {
  record("onConnectCommand", owner);
}
void onLaunchCommand(HWND owner) {
  record("onLaunchCommand", owner);
}
void disconnectOnExit() {
  record("disconnectOnExit");
}
LRESULT onLinkLost() {
  record("onLinkLost");
  return 1;
}
void onPortChanged() {
  record("onPortChanged");
}
void onProgramCommand(HWND owner) {
  record("onProgramCommand", owner);
}
void onEraseCommand(HWND owner) {
  record("onEraseCommand", owner);
}
INT_PTR CALLBACK programDialogProc(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}
INT_PTR CALLBACK eraseDefaultDialogProc(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}
INT_PTR CALLBACK eraseAllDialogProc(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}
