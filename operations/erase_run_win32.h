// The Erase command and its two progress dialogs.
#pragma once

#include <windows.h>

// CMD_ERASE; owner is the main window. Returns when the run has ended.
void onEraseCommand(HWND owner);
// The dialog procedures of "erasedefDB" and "eraseallDB".
INT_PTR CALLBACK eraseDefaultDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK eraseAllDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
