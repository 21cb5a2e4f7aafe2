#include "operations/progress_dialog_win32.h"

#include <commctrl.h>

#include <atomic>

#include "link/serial_port.h"
#include "operations/app_state.h"
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

HWND createProgressBar(HWND dialog, const ProgressBarLayout& layout) {
  HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, layout.text,
                             WS_CHILD | WS_VISIBLE | WS_BORDER | PBS_SMOOTH, 10, layout.y, 280, 30,
                             dialog, nullptr, appInstance, nullptr);
  SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, layout.maximum));
  SendMessageA(bar, PBM_SETSTEP, 1, 0);
  return bar;
}

// The run whose dialog is open.
ProgressRun* openRun = nullptr;

DWORD WINAPI progressWorker(LPVOID parameter) {
  HWND dialog = static_cast<HWND>(parameter);
  ProgressRun* run = openRun;
  // A request left over from an earlier wait must not end this run's waits.
  clearLinkAbort();
  run->work(dialog, dialogRunReport(dialog));
  run->workerRunning = 0;
  if (run->closeBeforeClearingGuard) {
    EndDialog(dialog, 0);
    *run->busy = 0;
  } else {
    *run->busy = 0;
    EndDialog(dialog, 0);
  }
  return 0;
}

bool startWorker(ProgressRun* run, HWND dialog) {
  runOutcomeShown = 0;
  run->workerRunning = 1;
  HANDLE thread = CreateThread(nullptr, 0, progressWorker, dialog, 0, nullptr);
  if (!thread) {
    run->workerRunning = 0;
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

INT_PTR onRunDialogInit(ProgressRun* run, HWND dialog) {
  for (int i = 0; i < 2; ++i) {
    run->bars[i] = run->layout[i].text ? createProgressBar(dialog, run->layout[i]) : nullptr;
  }
  run->workerStarted = startWorker(run, dialog);
  // Without a worker nothing would ever close the dialog.
  if (!run->workerStarted) EndDialog(dialog, 0);
  return TRUE;
}

INT_PTR stepBar(HWND bar) {
  if (bar) SendMessageA(bar, PBM_STEPIT, 0, 0);
  return TRUE;
}

INT_PTR onRunDialogCommand(ProgressRun* run, HWND dialog, WORD command) {
  switch (command) {
    case CMD_STEP_ERASE:
      return stepBar(run->bars[0]);
    case CMD_STEP_PROGRAM:
      return stepBar(run->bars[1]);
    case IDCANCEL:  // Esc
      offerToAbandonRun(dialog, run->workerRunning);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

RunReport dialogRunReport(HWND dialog) {
  return RunReport{dialog, stepEraseBar, stepProgramBar, showRunMessage, reportLinkLost};
}

bool refuseUnlessConnected(HWND owner, const char* caption) {
  if (connectionState == ConnectionState::Connected) return false;
  MessageBoxA(owner, "Target Not Connected.", caption, MB_OK | MB_ICONWARNING);
  return true;
}

void openProgressRun(ProgressRun* run, HWND owner, const char* dialogName, DLGPROC procedure) {
  *run->busy = 1;
  run->workerStarted = false;
  openRun = run;
  DialogBoxParamA(appInstance, dialogName, owner, procedure, 0);
  if (!run->workerStarted) *run->busy = 0;
}

INT_PTR progressRunMessage(ProgressRun* run, HWND dialog, UINT message, WPARAM wParam) {
  switch (message) {
    case WM_INITDIALOG:
      return onRunDialogInit(run, dialog);
    case WM_COMMAND:
      return onRunDialogCommand(run, dialog, LOWORD(wParam));
    default:
      return FALSE;
  }
}
