// The Program Target command: the open-file dialog, the progress dialog with
// its two bars, and the worker that runs the programming run.
#include "operations/program_run_win32.h"

#include "operations/app_state.h"
#include "operations/app_state_win32.h"
#include "operations/operation_ids.h"
#include "operations/progress_dialog_win32.h"
#include "operations/run_logic.h"

namespace {

// What the open dialog programs, chosen when it opens.
ProgramTarget runTarget = ProgramTarget::Application;

void programChosenFile(HWND, const RunReport& report) {
  // The file is read whole before the target is addressed; the check and the
  // run then use the same bytes.
  ImageSnapshot image;
  if (loadImageForRun(runTarget, hexFilePath, &image, report)) {
    runProgramming(runTarget, image, report);
  }
  reportImageClose(runTarget, image, report);
}

ProgressRun programRun = {
    &programBusy,
    false,
    programChosenFile,
    {{"Erase Progress", 20, EraseBarSteps}, {"Program Progress", 75, ProgramBarSteps}},
    {},
    {0},
    false};

}  // namespace

void onProgramCommand(HWND owner) {
  if (programBusy) return;
  if (refuseUnlessConnected(owner, "Program Target Flash Error")) return;
  if (!GetOpenFileNameA(&openFileRequest)) return;

  runTarget = programTargetOf(programTarget);
  openProgressRun(
      &programRun, owner,
      runTarget == ProgramTarget::Bootloader ? PROGRAM_BOOT_DIALOG_NAME : PROGRAM_DIALOG_NAME,
      programDialogProc);
}

INT_PTR CALLBACK programDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  return progressRunMessage(&programRun, dialog, message, wParam);
}
