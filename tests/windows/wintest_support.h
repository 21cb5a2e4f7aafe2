// Helpers for the Windows tests that tools/wine-run runs under Wine.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A message box as it was shown, and the button that closed it.
struct CaughtMessageBox {
  std::string caption;
  std::string text;
  unsigned icon;     // MB_ICONERROR, MB_ICONQUESTION, MB_ICONWARNING, MB_ICONINFORMATION or 0
  unsigned buttons;  // MB_OK, MB_OKCANCEL, MB_YESNO ... as the box showed them
  HWND owner;
  DWORD threadId;
  int answer;  // the button pressed
};

// From now on every message box of the process is recorded and closed with the
// current answer (IDOK at start, and for boxes without it; 0 leaves them open).
bool startCatchingMessageBoxes();
void answerMessageBoxesWith(int buttonId);
// What was caught since the last call, in order.
std::vector<CaughtMessageBox> takeCaughtMessageBoxes();

// Runs this thread's message loop until done() holds (true) or time is up.
bool pumpMessagesUntil(const std::function<bool()>& done, int timeoutMs);
void pause(int ms);
bool waitForMessageBoxes(size_t count, int timeoutMs);

std::string windowText(HWND window);
// A visible top-level window of a process (and thread, unless 0) with this
// class and caption (any when nullptr), waited for up to waitMs.
HWND findWindow(const char* className, const char* caption, DWORD processId = GetCurrentProcessId(),
                DWORD threadId = 0, int waitMs = 0);
// A status bar part, also of another process; "" when it does not answer.
std::string statusText(HWND bar, int part, HANDLE process = GetCurrentProcess());
bool waitForStatus(HWND bar, const std::string& part0, const std::string& part1, int timeoutMs,
                   HANDLE process = GetCurrentProcess());

// One control line ("reset", "set call-ms 50" ...) to the sim behind a COM port.
bool simCommand(int port, const char* line);
// Resets the sim, waits until it has done so, then lets it call every callMs
// (0: never); a reset while a call waits unread could leave two on the line.
bool resetSim(int port, int callMs);
bool waitForSimFlash(int port, uint32_t address, const std::vector<uint8_t>& data, int timeoutMs);
// The sim's log: the host's frames ("9C CA FD AB"), records and resets.
std::vector<std::string> simLog(int port);
bool waitForSimLogLine(int port, const std::string& line, size_t from, int timeoutMs);

// Files in the run's scratch folder, by their Windows paths.
std::string writeTextFile(const char* name, const std::string& text);
std::string writeHexFile(const char* name, uint32_t address, const std::vector<uint8_t>& data);
std::vector<uint8_t> patternBytes(size_t count, uint32_t seed);
