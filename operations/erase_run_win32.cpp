// The Erase command: the erase-all warning, the two progress dialogs and
// their workers, which run the erase run.
#include "operations/erase_run_win32.h"

#include <commctrl.h>

#include <atomic>

#include "link/serial_port.h"
#include "operations/app_state.h"
#include "operations/app_state_win32.h"
#include "operations/progress_dialog_win32.h"
#include "operations/run_logic.h"
#include "operations/operation_ids.h"

// The bar of the open erase dialog; only one is ever open.
HWND eraseProgressBar = nullptr;

namespace {

// 1 while the worker runs; whether it was started at all.
std::atomic<int> workerRunning{0};
bool workerStarted = false;

DWORD eraseWorker(HWND dialog, EraseMode mode) {
  // A request left over from an earlier wait must not end this run's waits.
  clearLinkAbort();
  runErase(mode, dialogRunReport(dialog));
  workerRunning = 0;
  EndDialog(dialog, 0);
  eraseBusy = 0;
  return 0;
}

DWORD WINAPI eraseDefaultWorker(LPVOID dialog) {
  return eraseWorker(static_cast<HWND>(dialog), EraseMode::Default);
}

DWORD WINAPI eraseAllWorker(LPVOID dialog) {
  return eraseWorker(static_cast<HWND>(dialog), EraseMode::EntireFlash);
}

INT_PTR onEraseDialogInit(HWND dialog, LPTHREAD_START_ROUTINE worker) {
  eraseProgressBar = createProgressBar(dialog, "Progress", 10, 20, 20);
  workerStarted = startDialogWorker(worker, dialog, &workerRunning);
  // Without a worker nothing would ever close the dialog.
  if (!workerStarted) EndDialog(dialog, 0);
  return TRUE;
}

INT_PTR onEraseDialogCommand(HWND dialog, WORD command) {
  switch (command) {
    case CMD_STEP_ERASE:
      SendMessageA(eraseProgressBar, PBM_STEPIT, 0, 0);
      return TRUE;
    case IDCANCEL:  // Esc
      offerToAbandonRun(dialog, workerRunning);
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR eraseDialogProc(HWND dialog, UINT message, WPARAM wParam, LPTHREAD_START_ROUTINE worker) {
  switch (message) {
    case WM_INITDIALOG:
      return onEraseDialogInit(dialog, worker);
    case WM_COMMAND:
      return onEraseDialogCommand(dialog, LOWORD(wParam));
    default:
      return FALSE;
  }
}

void openEraseDialog(HWND owner, const char* name, DLGPROC procedure) {
  eraseBusy = 1;
  workerStarted = false;
  DialogBoxParamA(appInstance, name, owner, procedure, 0);
  // The worker clears the guard; when the dialog or its worker could not be
  // created, nobody else would.
  if (!workerStarted) eraseBusy = 0;
}

}  // namespace

void onEraseCommand(HWND owner) {
  if (eraseBusy) return;
  if (connectionState != ConnectionState::Connected) {
    MessageBoxA(owner, "Target Not Connected.", "Erase Target Flash Error", MB_OK | MB_ICONWARNING);
    return;
  }
  if (eraseModeOf(eraseMode) == EraseMode::EntireFlash) {
    if (MessageBoxA(owner, EraseAllWarningText, "Warning", MB_OKCANCEL | MB_ICONWARNING) != IDOK) {
      return;
    }
    openEraseDialog(owner, ERASE_ALL_DIALOG_NAME, eraseAllDialogProc);
  } else {
    openEraseDialog(owner, ERASE_DEFAULT_DIALOG_NAME, eraseDefaultDialogProc);
  }
}

INT_PTR CALLBACK eraseDefaultDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  return eraseDialogProc(dialog, message, wParam, eraseDefaultWorker);
}

INT_PTR CALLBACK eraseAllDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  return eraseDialogProc(dialog, message, wParam, eraseAllWorker);
}
