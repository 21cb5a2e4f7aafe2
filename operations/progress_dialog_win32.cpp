#include "operations/progress_dialog_win32.h"

#include <commctrl.h>

#include <atomic>

#include "link/serial_port.h"
#include "operations/app_state_win32.h"
#include "operations/operation_ids.h"

namespace {

constexpr char AbandonQuestion[] = "Abandon the operation?\nThe target will be disconnected.";
constexpr char AbandonCaption[] = "Abandon Operation";

// Set once the open run has its outcome (its message is up or gone): from then
// on there is nothing left to abandon. One progress dialog is open at a time.
std::atomic<int> runOutcomeShown{0};

void sendStep(HWND dialog, WPARAM command) {
  SendMessageA(dialog, WM_COMMAND, command, 0);
}

void stepEraseBar(void* context) {
  sendStep(static_cast<HWND>(context), CMD_STEP_ERASE);
}

void stepProgramBar(void* context) {
  sendStep(static_cast<HWND>(context), CMD_STEP_PROGRAM);
}

void showRunMessage(void* context, const char* text, const char* caption, unsigned icon,
                    MessageOwner owner) {
  HWND window = owner == MessageOwner::MainWindow ? mainWindow : static_cast<HWND>(context);
  runOutcomeShown = 1;
  MessageBoxA(window, text, caption, MB_OK | icon);
}

void reportLinkLost(void*) {
  SendMessageA(mainWindow, WM_COMMAND, CMD_LINK_LOST, 0);
}

}  // namespace

HWND createProgressBar(HWND dialog, const char* text, int x, int y, int maximum) {
  HWND bar =
      CreateWindowExA(0, PROGRESS_CLASSA, text, WS_CHILD | WS_VISIBLE | WS_BORDER | PBS_SMOOTH, x,
                      y, 280, 30, dialog, nullptr, appInstance, nullptr);
  SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, maximum));
  SendMessageA(bar, PBM_SETSTEP, 1, 0);
  return bar;
}

RunReport dialogRunReport(HWND dialog) {
  return RunReport{dialog, stepEraseBar, stepProgramBar, showRunMessage, reportLinkLost};
}

bool startDialogWorker(LPTHREAD_START_ROUTINE worker, HWND dialog, std::atomic<int>* running) {
  runOutcomeShown = 0;
  running->store(1);
  HANDLE thread = CreateThread(nullptr, 0, worker, dialog, 0, nullptr);
  if (!thread) {
    running->store(0);
    return false;
  }
  // The worker ends by itself; nobody waits for it.
  CloseHandle(thread);
  return true;
}

void offerToAbandonRun(HWND dialog, const std::atomic<int>& workerRunning) {
  if (!workerRunning.load() || runOutcomeShown.load()) return;
  int answer = MessageBoxA(dialog, AbandonQuestion, AbandonCaption, MB_YESNO | MB_ICONQUESTION);
  // The worker may have finished while the question was open.
  if (answer == IDYES && workerRunning.load() && !runOutcomeShown.load()) requestLinkAbort();
}
