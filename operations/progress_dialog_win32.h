// What the programming and erase progress dialogs share: their bars, the
// worker thread and its report to the window side, and the way out of a wait
// that does not end.
#pragma once

#include <windows.h>

#include <atomic>

#include "operations/run_logic.h"

// A smooth bar in a progress dialog's client area (pixels), 280 x 30, range 0
// to maximum, step 1, position 0.
HWND createProgressBar(HWND dialog, const char* text, int x, int y, int maximum);

// The report of a worker running in a progress dialog: the steps go to the
// dialog as CMD_STEP_ERASE and CMD_STEP_PROGRAM, the messages to boxes owned by
// the dialog or by the main window, a lost link to the main window as
// CMD_LINK_LOST. Every one is sent and waits until the user-interface thread
// (or the user) is done with it.
RunReport dialogRunReport(HWND dialog);

// Starts a progress dialog's worker with the dialog as its argument. running
// is 1 from here until the worker clears it. False when the thread could not
// be started; running is then 0.
bool startDialogWorker(LPTHREAD_START_ROUTINE worker, HWND dialog, std::atomic<int>* running);

// Esc in a progress dialog: asks the user whether to abandon the run and, on
// Yes, if the worker still runs, aborts the wait it is in. The run then ends
// as a communication error.
void offerToAbandonRun(HWND dialog, const std::atomic<int>& workerRunning);
