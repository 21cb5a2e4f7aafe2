// Helpers for the tests of the target operations under Wine: the real main
// window in this process, its status bar, the progress bars as they step, the
// open-file dialog answered, and hex token files in the run's scratch folder.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Start-up as the desktop tool does it (first connection thread included),
// once per process; later calls return at once.
void startMainWindowOnce();

// The text of a status bar part, read from the window.
std::string statusText(int part);
// Waits, pumping messages, until both parts show these texts.
bool waitForStatus(const char* part0, const char* part1, int timeoutMs);

// Whether the connection thread started last still runs.
bool connectionThreadRunning();

// One PBM_STEPIT as a progress bar handled it.
struct BarStep {
  std::string bar;    // the bar's window text: "Erase Progress", "Program Progress", "Progress"
  HWND dialogWindow;  // the dialog holding it
  int position;       // after the step
  int maximum;        // the bar's range, 0 to maximum
  LONG style;
};
// A dialog as it opened on this thread.
struct DialogSeen {
  HWND window;
  std::string caption;
};
// Records every bar step and every dialog opened on this thread from now on.
void startRecordingDialogs();
std::vector<BarStep> barSteps();
// The dialog seen last with this caption, or nullptr.
HWND dialogSeen(const char* caption);
void clearRecordedDialogs();
// How many steps the bar with this text took, and where it ended.
int stepsOf(const std::vector<BarStep>& steps, const std::string& bar);
int lastPosition(const std::vector<BarStep>& steps, const std::string& bar);

// Answers the next open-file dialog that this thread shows: the path typed in
// and OK, or Cancel when the path is empty. What the file name box held when
// the dialog came up is kept in *shownPath (when given).
void answerOpenFileDialog(const std::string& path, std::string* shownPath = nullptr);
// Whether an open-file dialog was answered since the last answerOpenFileDialog.
bool openFileDialogAnswered();

// Presses Esc in the progress dialog that this thread shows next, once for
// each answer, intervalMs after it shows and after each press; the question
// that Esc raises is answered with that answer.
void pressEscapeInProgressDialog(const std::vector<int>& answers, int intervalMs);

// Resets the simulated target on a port and lets it call every 50 ms, or
// leaves it silent. (Calls are switched on after the reset: a reset while a
// call waits unread could leave two calls on the line.)
bool resetTargetCalling(int port);
bool resetTargetSilent(int port);

// A hex token file in the run's scratch folder: one address token, then the
// data, sixteen tokens a line. Returns its Windows path.
std::string writeHexFile(const char* name, uint32_t address, const std::vector<uint8_t>& data);
// A file with the given text as it stands.
std::string writeTextFile(const char* name, const std::string& text);
// The size of a file in bytes.
long fileSize(const std::string& path);
// count bytes of a fixed pseudo-random pattern.
std::vector<uint8_t> patternBytes(size_t count, uint32_t seed);

// Whether the sim's flash holds `data` at `address`; waits for the memory
// file, pumping messages, since the sim writes it after its reply.
bool waitForSimFlash(int port, uint32_t address, const std::vector<uint8_t>& data, int timeoutMs);
// Whether the sim's flash holds only erased bytes from `from` to `to`.
bool waitForErasedSimFlash(int port, uint32_t from, uint32_t to, int timeoutMs);
