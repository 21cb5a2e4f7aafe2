// The connection manager: the connection thread and the Connect, Launch, Exit,
// link-loss and port-change logic. All but the thread run on the
// user-interface thread.
#pragma once

#include <windows.h>

// The connection thread started last.
extern HANDLE connectionThreadHandle;
extern DWORD connectionThreadId;

// Starts a connection thread that waits for the target on the current port.
// A connection thread still running is ended first.
void startConnectionThread();
// The connection thread's body: waits for the target until it has connected.
DWORD WINAPI connectionThreadProc(LPVOID);
// CMD_CONNECT; owner is the main window.
void onConnectCommand(HWND owner);
// CMD_LAUNCH; owner is the main window.
void onLaunchCommand(HWND owner);
// CMD_EXIT and WM_DESTROY: launches the target when connected. The caller
// posts the quit message afterwards.
void disconnectOnExit();
// CMD_LINK_LOST, sent by a worker after a communication failure. Returns 1.
LRESULT onLinkLost();
// Called by the port dialog after it stored a port that differs from the old
// one.
void onPortChanged();
