#include "ui/settings_dialogs_win32.h"

#include "link/serial_port.h"
#include "operations/connection_manager_win32.h"
#include "ui/resource_ids.h"

int portChecks[PortCount];
int selectedPort;
ProgramTargetFlags pendingTarget;
EraseModeFlags pendingEraseMode;

namespace {

// The box of each port, in port order.
const int portBoxes[PortCount] = {CTL_COM1, CTL_COM2, CTL_COM3, CTL_COM4, CTL_COM5,
                                  CTL_COM6, CTL_COM7, CTL_COM8, CTL_COM9, CTL_COM10};

void setCheck(HWND dialog, int id, bool ticked) {
  SendDlgItemMessageA(dialog, id, BM_SETCHECK, ticked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void tickPortAlone(int port) {
  for (int i = 0; i < PortCount; ++i) portChecks[i] = (i + 1 == port) ? 1 : 0;
}

// Rewrites every box from portChecks, in port order.
void showPortChecks(HWND dialog) {
  for (int i = 0; i < PortCount; ++i) setCheck(dialog, portBoxes[i], portChecks[i] == 1);
}

INT_PTR onPortDialogInit(HWND dialog) {
  const int port = serialSettings.portNumber;
  tickPortAlone(port >= 2 && port <= PortCount ? port : 1);
  selectedPort = port;
  showPortChecks(dialog);
  return TRUE;  // the focus goes to the first tab stop, OK
}

// The platform has already toggled the clicked box; rewriting all ten leaves
// exactly that one ticked, so the boxes act as one radio group.
INT_PTR onPortBoxClicked(HWND dialog, int port) {
  tickPortAlone(port);
  selectedPort = port;
  showPortChecks(dialog);
  return TRUE;
}

// The port changes, and the connection follows it, only when it differs.
INT_PTR onPortDialogOk(HWND dialog) {
  if (selectedPort != serialSettings.portNumber) {
    serialSettings.portNumber = selectedPort;
    onPortChanged();
  }
  EndDialog(dialog, 0);
  return TRUE;
}

INT_PTR closeDialog(HWND dialog) {
  EndDialog(dialog, 0);
  return TRUE;
}

INT_PTR onPortDialogCommand(HWND dialog, int id) {
  const int port = portOfBox(id);
  if (port != 0) return onPortBoxClicked(dialog, port);
  if (id == IDOK) return onPortDialogOk(dialog);
  if (id == IDCANCEL) return closeDialog(dialog);
  return FALSE;
}

INT_PTR onFlashSetupInit(HWND dialog) {
  pendingEraseMode = flagsFor(eraseModeOf(eraseMode));
  pendingTarget = flagsFor(programTargetOf(programTarget));
  const bool bootloader = programTargetOf(pendingTarget) == ProgramTarget::Bootloader;
  const bool entireFlash = eraseModeOf(pendingEraseMode) == EraseMode::EntireFlash;
  setCheck(dialog, CTL_PROGRAM_BOOTLOADER, bootloader);
  setCheck(dialog, CTL_PROGRAM_APPLICATION, !bootloader);
  setCheck(dialog, CTL_ERASE_DEFAULT, !entireFlash);
  setCheck(dialog, CTL_ERASE_ENTIRE, entireFlash);
  return TRUE;
}

INT_PTR choosePendingTarget(HWND dialog, ProgramTarget target) {
  pendingTarget = flagsFor(target);
  const bool bootloader = target == ProgramTarget::Bootloader;
  if (bootloader) {
    setCheck(dialog, CTL_PROGRAM_APPLICATION, false);
    setCheck(dialog, CTL_PROGRAM_BOOTLOADER, true);
  } else {
    setCheck(dialog, CTL_PROGRAM_APPLICATION, true);
    setCheck(dialog, CTL_PROGRAM_BOOTLOADER, false);
  }
  return TRUE;
}

INT_PTR choosePendingEraseMode(HWND dialog, EraseMode mode) {
  pendingEraseMode = flagsFor(mode);
  if (mode == EraseMode::EntireFlash) {
    setCheck(dialog, CTL_ERASE_DEFAULT, false);
    setCheck(dialog, CTL_ERASE_ENTIRE, true);
  } else {
    setCheck(dialog, CTL_ERASE_DEFAULT, true);
    setCheck(dialog, CTL_ERASE_ENTIRE, false);
  }
  return TRUE;
}

INT_PTR onFlashSetupOk(HWND dialog) {
  programTarget = flagsFor(programTargetOf(pendingTarget));
  eraseMode = flagsFor(eraseModeOf(pendingEraseMode));
  EndDialog(dialog, 0);
  return TRUE;
}

INT_PTR onFlashSetupCommand(HWND dialog, int id) {
  switch (id) {
    case CTL_PROGRAM_APPLICATION:
      return choosePendingTarget(dialog, ProgramTarget::Application);
    case CTL_PROGRAM_BOOTLOADER:
      return choosePendingTarget(dialog, ProgramTarget::Bootloader);
    case CTL_ERASE_DEFAULT:
      return choosePendingEraseMode(dialog, EraseMode::Default);
    case CTL_ERASE_ENTIRE:
      return choosePendingEraseMode(dialog, EraseMode::EntireFlash);
    case IDOK:
      return onFlashSetupOk(dialog);
    case IDCANCEL:
      return closeDialog(dialog);
    default:
      return FALSE;
  }
}

}  // namespace

int portOfBox(int id) {
  for (int i = 0; i < PortCount; ++i) {
    if (portBoxes[i] == id) return i + 1;
  }
  return 0;
}

INT_PTR CALLBACK portDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return onPortDialogInit(dialog);
    case WM_COMMAND:
      return onPortDialogCommand(dialog, LOWORD(wParam));
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK flashSetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return onFlashSetupInit(dialog);
    case WM_COMMAND:
      return onFlashSetupCommand(dialog, LOWORD(wParam));
    default:
      return FALSE;
  }
}
