// Help and About. The help file beside the program is opened with the
// platform's help engine, as it always was; without it, Help opens the HTML
// manual that is installed beside the program in the default browser, and
// About shows the program's own box.
#pragma once

#include <windows.h>

#include <string>

constexpr char HelpFileName[] = "QMZK4471.hlp";
constexpr char ManualFileName[] = "manual.html";

// The help engine and the shell's open verb; tests replace them.
using HelpFunction = BOOL(WINAPI*)(HWND window, LPCSTR file, UINT command, ULONG_PTR data);
using ShellOpenFunction = HINSTANCE(WINAPI*)(HWND window, LPCSTR verb, LPCSTR file,
                                             LPCSTR parameters, LPCSTR directory, INT show);
extern HelpFunction openHelp;
extern ShellOpenFunction shellOpen;

// The full path of a file in the program's own folder.
std::string besideProgram(const char* name);

// Help Contents, F1 and the toolbar's help button.
void showHelpContents(HWND window);
// About...
void showAbout(HWND window);
// The text of the About box.
std::string aboutText();
