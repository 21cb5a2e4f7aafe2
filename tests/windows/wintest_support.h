// Helpers for the Windows tests that tools/wine-run runs under Wine: message
// boxes caught as they open, a message pump to wait in, and the simulated
// targets behind the COM ports.
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
void stopCatchingMessageBoxes();
// The button that closes the boxes caught from now on (IDOK at start). A box
// without that button is closed with IDOK.
void answerMessageBoxesWith(int buttonId);
// What was caught so far, in order.
std::vector<CaughtMessageBox> caughtMessageBoxes();
void clearCaughtMessageBoxes();

// Runs the calling thread's message loop until done() holds or the time is
// up; true when done() held. Threads that send messages to this one are
// served meanwhile.
bool pumpMessagesUntil(const std::function<bool()>& done, int timeoutMs);
// Waits, pumping messages, until at least count boxes have been caught.
bool waitForMessageBoxes(size_t count, int timeoutMs);

// The simulated target of a COM port (tools/wine-run --sim N): the Windows
// paths that the runner exports, empty when the port has no sim.
std::string simControlPath(int port);
std::string simMemoryPath(int port);
std::string simLogPath(int port);
// Sends one control line ("reset", "set call-ms 50" ...); false when the sim
// cannot be reached. Lines are applied in order; a "reset" after "set" lines
// makes sure they are in force before the target calls again.
bool simCommand(int port, const char* line);
// Sends "reset" and waits until the sim has carried it out (its log shows the
// reset): from then on the line holds nothing from before.
bool simResetAndWait(int port, int timeoutMs = 5000);
// The flash image the sim wrote last (after an erase or a programming run, or
// on "write-memory"); empty when there is none yet.
std::vector<uint8_t> simMemory(int port);
// The lines of the sim's log: the host's frames ("9C CA FD AB"), records and
// resets.
std::vector<std::string> simLog(int port);
// Waits until the log holds a line equal to `line` at or after index `from`.
bool waitForSimLogLine(int port, const std::string& line, size_t from, int timeoutMs);
