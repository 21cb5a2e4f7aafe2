// The Erase command: the erase-all warning, the two progress dialogs and the
// worker that runs the erase run.
#include "operations/erase_run_win32.h"

#include "operations/app_state.h"
#include "operations/app_state_win32.h"
#include "operations/operation_ids.h"
#include "operations/progress_dialog_win32.h"
#include "operations/run_logic.h"

namespace {

// What the open dialog erases, chosen when it opens.
EraseMode runMode = EraseMode::Default;

void eraseTarget(HWND, const RunReport& report) {
  runErase(runMode, report);
}

ProgressRun eraseRun = {&eraseBusy, true, eraseTarget, {{"Progress", 20, EraseBarSteps}, {}},
                        {},         {0},  false};

}  // namespace

void onEraseCommand(HWND owner) {
  if (eraseBusy) return;
  if (refuseUnlessConnected(owner, "Erase Target Flash Error")) return;
  runMode = eraseModeOf(eraseMode);
  if (runMode == EraseMode::EntireFlash) {
    if (MessageBoxA(owner, EraseAllWarningText, "Warning", MB_OKCANCEL | MB_ICONWARNING) != IDOK) {
      return;
    }
    openProgressRun(&eraseRun, owner, ERASE_ALL_DIALOG_NAME, eraseAllDialogProc);
  } else {
    openProgressRun(&eraseRun, owner, ERASE_DEFAULT_DIALOG_NAME, eraseDefaultDialogProc);
  }
}

INT_PTR CALLBACK eraseDefaultDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  return progressRunMessage(&eraseRun, dialog, message, wParam);
}

INT_PTR CALLBACK eraseAllDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  return progressRunMessage(&eraseRun, dialog, message, wParam);
}
