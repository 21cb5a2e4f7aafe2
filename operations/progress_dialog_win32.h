// What the programming and erase commands share: the connection guard, the
// modal progress dialog with its bars, the worker thread and its report to the
// window side, and the way out of a wait that does not end.
#pragma once

#include <windows.h>

#include <atomic>

#include "operations/run_logic.h"

// A bar of a progress dialog: its window text, its top in the client area
// (pixels; 10 from the left, 280 x 30) and its range, 0 to maximum.
struct ProgressBarLayout {
  const char* text;  // nullptr: no such bar
  int y;
  int maximum;
};

// One command's progress dialog and its worker. One dialog is open at a time.
struct ProgressRun {
  std::atomic<int>* busy;  // the command's re-entry guard
  // The order of the worker's last two steps: the erase closes its dialog and
  // then clears its guard; programming clears its guard and then closes.
  bool closeBeforeClearingGuard;
  // The run itself, on the worker thread; its report goes to the dialog.
  void (*work)(HWND dialog, const RunReport& report);
  // The erase bar (stepped by CMD_STEP_ERASE), then the programming bar
  // (CMD_STEP_PROGRAM).
  ProgressBarLayout layout[2];
  // While the dialog is open.
  HWND bars[2];
  std::atomic<int> workerRunning;
  bool workerStarted;
};

// Refuses a command while no target is connected: "Target Not Connected."
// under the command's caption, owned by owner. True when refused.
bool refuseUnlessConnected(HWND owner, const char* caption);

// Sets the run's guard, shows its modal dialog and returns when the dialog
// has closed. The worker clears the guard; when the dialog or the worker could
// not be created, this does.
void openProgressRun(ProgressRun* run, HWND owner, const char* dialogName, DLGPROC procedure);

// The dialog procedure of a run's dialog: creates the bars and starts the
// worker, steps the bars, and on Esc offers to abandon the run.
INT_PTR progressRunMessage(ProgressRun* run, HWND dialog, UINT message, WPARAM wParam);

// The report of a worker running in a progress dialog: the steps go to the
// dialog as CMD_STEP_ERASE and CMD_STEP_PROGRAM, the messages to boxes owned by
// the dialog or by the main window, a lost link to the main window as
// CMD_LINK_LOST. Every one is sent and waits until the user-interface thread
// (or the user) is done with it.
RunReport dialogRunReport(HWND dialog);
