// The window side of the process-wide state: the handles that start-up writes
// once before any other thread exists, and the open-file request of the
// Program command.
#pragma once

#include <windows.h>
#include <commdlg.h>

extern HINSTANCE appInstance;
extern HWND mainWindow;
extern HWND toolBar;
extern HWND statusBar;

// One open-file record for the life of the process, handed unchanged to
// GetOpenFileNameA; its file buffer is hexFilePath.
extern OPENFILENAMEA openFileRequest;
