// The two settings dialogs: the COM port, and what the Program command
// writes. Each keeps the user's choice in its own state until OK.
#pragma once

#include <windows.h>

#include "operations/app_state.h"

// Port dialog state, rebuilt at each opening: one tick flag per port 1 to 10
// (exactly one is 1), and the port that OK applies.
constexpr int PortCount = 10;
extern int portChecks[PortCount];
extern int selectedPort;

// Flash setup dialog state, rebuilt at each opening.
extern ProgramTargetFlags pendingTarget;
extern EraseModeFlags pendingEraseMode;

// The port (1 to 10) a box of the port dialog stands for, or 0 for an id that
// is no port box. The boxes 505 and 506 stand for ports 6 and 5.
int portOfBox(int id);

INT_PTR CALLBACK portDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK flashSetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
