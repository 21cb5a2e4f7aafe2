// The Program Target command: the open-file dialog, the progress dialog with
// its two bars, and the worker that runs the programming run.
#include "operations/program_run_win32.h"

#include <commctrl.h>

#include <atomic>

#include "link/serial_port.h"
#include "operations/app_state.h"
#include "operations/app_state_win32.h"
#include "operations/progress_dialog_win32.h"
#include "operations/run_logic.h"
#include "operations/operation_ids.h"

namespace {

// The bars of the open progress dialog; touched on the user-interface thread
// only.
HWND eraseBar = nullptr;
HWND programBar = nullptr;

// What the open dialog programs, chosen when it opens.
ProgramTarget runTarget = ProgramTarget::Application;
// 1 while the worker runs; whether it was started at all.
std::atomic<int> workerRunning{0};
bool workerStarted = false;

DWORD WINAPI programmingWorker(LPVOID parameter) {
  HWND dialog = static_cast<HWND>(parameter);
  // A request left over from an earlier wait must not end this run's waits.
  clearLinkAbort();
  // The file is read whole before the target is addressed; the check and the
  // run then use the same bytes.
  RunReport report = dialogRunReport(dialog);
  ImageSnapshot image;
  if (loadImageForRun(runTarget, hexFilePath, &image, report)) {
    runProgramming(runTarget, image, report);
  }
  programBusy = 0;
  workerRunning = 0;
  EndDialog(dialog, 0);
  return 0;
}

INT_PTR onProgramDialogInit(HWND dialog) {
  eraseBar = createProgressBar(dialog, "Erase Progress", 10, 20, 20);
  programBar = createProgressBar(dialog, "Program Progress", 10, 75, 100);
  workerStarted = startDialogWorker(programmingWorker, dialog, &workerRunning);
  // Without a worker nothing would ever close the dialog.
  if (!workerStarted) EndDialog(dialog, 0);
  return TRUE;
}

INT_PTR stepBar(HWND bar) {
  SendMessageA(bar, PBM_STEPIT, 0, 0);
  return TRUE;
}

INT_PTR onProgramDialogCommand(HWND dialog, WORD command) {
  switch (command) {
    case CMD_STEP_ERASE:
      return stepBar(eraseBar);
    case CMD_STEP_PROGRAM:
      return stepBar(programBar);
    case IDCANCEL:  // Esc
      offerToAbandonRun(dialog, workerRunning);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void onProgramCommand(HWND owner) {
  if (programBusy) return;
  if (connectionState != ConnectionState::Connected) {
    MessageBoxA(owner, "Target Not Connected.", "Program Target Flash Error",
                MB_OK | MB_ICONWARNING);
    return;
  }
  if (!GetOpenFileNameA(&openFileRequest)) return;

  runTarget = programTargetOf(programTarget);
  const char* dialogName =
      runTarget == ProgramTarget::Bootloader ? PROGRAM_BOOT_DIALOG_NAME : PROGRAM_DIALOG_NAME;
  programBusy = 1;
  workerStarted = false;
  DialogBoxParamA(appInstance, dialogName, owner, programDialogProc, 0);
  // The worker clears the guard; when the dialog or its worker could not be
  // created, nobody else would.
  if (!workerStarted) programBusy = 0;
}

INT_PTR CALLBACK programDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return onProgramDialogInit(dialog);
    case WM_COMMAND:
      return onProgramDialogCommand(dialog, LOWORD(wParam));
    default:
      return FALSE;
  }
}
