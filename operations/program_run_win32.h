// The Program Target command and its progress dialog.
#pragma once

#include <windows.h>

// CMD_PROGRAM; owner is the main window. Returns when the run has ended.
void onProgramCommand(HWND owner);
// The dialog procedure of "progDB" and "progbootDB".
INT_PTR CALLBACK programDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
