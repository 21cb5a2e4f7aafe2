// Helpers for the Windows tests that tools/wine-run runs under Wine: message
// boxes caught as they open, a message pump to wait in, windows found by class
// and caption, the simulated targets behind the COM ports, and files in the
// run's scratch folder.
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
  HWND owner;        // the owner window, or nullptr
  DWORD threadId;    // the thread that showed it
  int answer;        // the button pressed: IDOK, IDCANCEL ...
};

// Catches every message box that any thread of the process opens from now on:
// records it and closes it at once with the current answer. A process-wide
// CBT hook; dialogs other than message boxes are left alone.
bool startCatchingMessageBoxes();
// The button that closes the boxes caught from now on (IDOK at start). A box
// without that button is closed with IDOK; with 0, boxes are left alone.
void answerMessageBoxesWith(int buttonId);
// What was caught since the last call, in order.
std::vector<CaughtMessageBox> takeCaughtMessageBoxes();

// Runs the calling thread's message loop until done() holds or the time is
// up; true when done() held. Threads that send messages to this one are
// served meanwhile.
bool pumpMessagesUntil(const std::function<bool()>& done, int timeoutMs);
// Pumps messages for this long.
void pause(int ms);
// Waits, pumping messages, until at least count boxes have been caught
// since the last take.
bool waitForMessageBoxes(size_t count, int timeoutMs);

std::string windowText(HWND window);
// A visible top-level window of a process (and of one of its threads, unless
// threadId is 0) with this class and caption (any caption when nullptr);
// waits for it, pumping messages, up to waitMs.
HWND findWindow(const char* className, const char* caption, DWORD processId = GetCurrentProcessId(),
                DWORD threadId = 0, int waitMs = 0);
// A status bar part, read through a buffer in the memory of the process that
// owns the bar, so that it works for other processes too; "" when the bar's
// thread does not answer within a second.
std::string statusText(HWND bar, int part, HANDLE process = GetCurrentProcess());
// Waits, pumping messages, until both parts show these texts.
bool waitForStatus(HWND bar, const std::string& part0, const std::string& part1, int timeoutMs,
                   HANDLE process = GetCurrentProcess());

// The simulated target of a COM port (tools/wine-run --sim N). Sends one
// control line ("reset", "set call-ms 50" ...); false when the sim cannot be
// reached. Lines are applied in order.
bool simCommand(int port, const char* line);
// Resets the sim, waits until it has carried that out, and then lets it call
// every callMs (0: never). Calls are switched on after the reset: a reset
// while a call waits unread could leave two calls on the line.
bool resetSim(int port, int callMs);
// Waits, pumping messages, until the flash image that the sim wrote last
// (after an erase or a programming run) holds `data` at `address`.
bool waitForSimFlash(int port, uint32_t address, const std::vector<uint8_t>& data, int timeoutMs);
// The lines of the sim's log: the host's frames ("9C CA FD AB"), records and
// resets.
std::vector<std::string> simLog(int port);
// How often `line` stands in the log at or after index `from`.
int countSimLogLines(int port, const std::string& line, size_t from);
// Waits until the log holds `line` at or after index `from`.
bool waitForSimLogLine(int port, const std::string& line, size_t from, int timeoutMs);

// A text file in the run's scratch folder; returns its Windows path.
std::string writeTextFile(const char* name, const std::string& text);
// A hex token file: one address token, then the data, sixteen tokens a line.
std::string writeHexFile(const char* name, uint32_t address, const std::vector<uint8_t>& data);
// count bytes of a fixed pseudo-random pattern.
std::vector<uint8_t> patternBytes(size_t count, uint32_t seed);
