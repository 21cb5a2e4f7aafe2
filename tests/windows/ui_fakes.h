// Recording stand-ins for the target operations behind the window's
// commands, so the window tests see what each command reached.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct OperationCall {
  std::string name;
  HWND owner;      // the window handed over, or nullptr
  int portNumber;  // the SerialSettings port at the time of the call
};

std::vector<OperationCall>& operationCalls();
// How many calls of one operation were recorded.
int callsOf(const char* name);

// Help engine calls through the window's help hook.
struct HelpCall {
  HWND window;
  std::string file;
  UINT command;
  std::string keyword;  // for HELP_KEY
};
std::vector<HelpCall>& helpCalls();
BOOL WINAPI recordHelp(HWND window, LPCSTR file, UINT command, ULONG_PTR data);
