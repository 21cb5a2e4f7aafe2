#include "operations/app_state_win32.h"

HINSTANCE appInstance = nullptr;
HWND mainWindow = nullptr;
HWND toolBar = nullptr;
HWND statusBar = nullptr;

OPENFILENAMEA openFileRequest;
