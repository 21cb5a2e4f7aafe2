// The connection manager: the connection thread that waits for the target,
// and what Connect, Launch, Exit, a lost link and a port change do to the
// connection. Everything but the thread runs on the user-interface thread.
#include "operations/connection_manager_win32.h"

#include <commctrl.h>

#include <atomic>
#include <cstring>

#include "link/bootloader.h"
#include "operations/app_state.h"
#include "operations/app_state_win32.h"
#include "operations/progress_dialog_win32.h"

HANDLE connectionThreadHandle = nullptr;
DWORD connectionThreadId = 0;

namespace {

// Pauses of the connection thread: while the link is up it looks for its end
// this often, and it retries a port that does not open this often.
constexpr DWORD ConnectedPollMs = 100;
constexpr DWORD PortRetryMs = 250;
// While the user-interface thread waits for a connection thread to end, it
// looks for a message box of that thread this often, and it waits this long
// at most: the thread's wait ends within a slice of the request, whatever the
// line does, so a thread that is still there by then is stuck in the system.
constexpr DWORD StopLookMs = 50;
constexpr DWORD StopLimitMs = 2000;
// lastFailedPort for a port number outside 1 to 10.
constexpr int UnrecognisedPort = 11;

// Set by the user-interface thread while it ends the connection thread.
std::atomic<int> connectionStopRequested{0};

const char* const connectedTexts[10] = {
    "CONNECTED COM1", "CONNECTED COM2", "CONNECTED COM3", "CONNECTED COM4", "CONNECTED COM5",
    "CONNECTED COM6", "CONNECTED COM7", "CONNECTED COM8", "CONNECTED COM9", "CONNECTED COM10",
};

const char* const portFailureTexts[10] = {
    "Cannot Connect to COM 1",  "Cannot Connect to COM 2", "Cannot Connect to COM 3",
    "Cannot Connect to COM 4",  "Cannot Connect to COM 5", "Cannot Connect to COM 6",
    "Cannot Connect to COM 7",  "Cannot Connect to COM 8", "Cannot Connect to COM 9",
    "Cannot Connect to COM 10",
};

struct LineText {
  int32_t baudRate;
  const char* text;
};

// The line settings as shown; "8-N-1" whatever the other settings say.
const LineText lineTexts[] = {
    {110, "110 8-N-1"},       {300, "300 8-N-1"},     {600, "600 8-N-1"},
    {1200, "1200 8-N-1"},     {2400, "2400 8-N-1"},   {4800, "4800 8-N-1"},
    {9600, "9600 8-N-1"},     {14400, "14400 8-N-1"}, {19200, "19200 8-N-1"},
    {38400, "38400 8-N-1"},   {57600, "57600 8-N-1"}, {115200, "115200 8-N-1"},
    {230400, "230400 8-N-1"},
};

constexpr char NotConnectedText[] = "NOT CONNECTED";
constexpr char ResetRequestText[] = "Please Reset Target.";
// Blanks the line-settings part after a launch: 24 spaces.
constexpr char BlankLineText[] = "                        ";

bool isPortNumber(int32_t port) {
  return port >= 1 && port <= 10;
}

const char* connectedText(int32_t port) {
  return isPortNumber(port) ? connectedTexts[port - 1] : nullptr;
}

const char* lineText(int32_t baudRate) {
  for (const LineText& entry : lineTexts) {
    if (entry.baudRate == baudRate) return entry.text;
  }
  return nullptr;
}

const char* portFailureText(int32_t port) {
  return isPortNumber(port) ? portFailureTexts[port - 1] : "Unrecognised COM Port";
}

void setStatusText(int part, const char* text) {
  SendMessageA(statusBar, SB_SETTEXTA, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(text));
}

void showDisconnected(const char* lineStatus) {
  setStatusText(0, NotConnectedText);
  setStatusText(1, lineStatus);
}

// The connection thread has connected with these settings: the state first,
// then the texts.
void enterConnected(const SerialSettings& settings) {
  connectionState = ConnectionState::Connected;
  if (const char* text = connectedText(settings.portNumber)) setStatusText(0, text);
  if (const char* text = lineText(settings.baudRate)) setStatusText(1, text);
  connectWaitRunning = 0;
}

// The port did not open: one box per thread and port number.
void reportPortFailure(int32_t port, int* lastFailedPort) {
  if (port == *lastFailedPort) return;
  *lastFailedPort = isPortNumber(port) ? port : UnrecognisedPort;
  if (connectionStopRequested) return;
  MessageBoxA(mainWindow, portFailureText(port), "COM Port Error", MB_OK | MB_ICONWARNING);
}

bool connectionThreadAlive() {
  return connectionThreadHandle && WaitForSingleObject(connectionThreadHandle, 0) == WAIT_TIMEOUT;
}

BOOL CALLBACK closeMessageBox(HWND window, LPARAM) {
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::strcmp(name, "#32770") == 0) PostMessageA(window, WM_COMMAND, IDOK, 0);
  return TRUE;
}

// Ends the connection thread if it still runs: its wait is aborted (it then
// closes its port and ends) and a port failure box it shows is closed. The
// thread may be sending this thread a status text meanwhile, so sent messages
// are served while waiting; nothing else is dispatched.
// Returns false when the thread did not end in time: it has then been
// stopped from outside and its port closed here.
bool stopConnectionThread() {
  if (!connectionThreadAlive()) return true;
  connectionStopRequested = 1;
  requestLinkAbort();
  const ULONGLONG giveUpAt = GetTickCount64() + StopLimitMs;
  bool ended = false;
  while (GetTickCount64() < giveUpAt) {
    DWORD woken =
        MsgWaitForMultipleObjects(1, &connectionThreadHandle, FALSE, StopLookMs, QS_SENDMESSAGE);
    if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) {
      ended = true;
      break;
    }
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    EnumThreadWindows(connectionThreadId, closeMessageBox, 0);
  }
  if (!ended) {
    OutputDebugStringA("connection thread did not end: stopped\n");
    TerminateThread(connectionThreadHandle, 1);
    closeTargetPort();
  }
  connectionStopRequested = 0;
  return ended;
}

// Tells the user that a port had to be let go by force.
void reportStuckThread(HWND owner) {
  MessageBoxA(owner,
              "The wait for the target did not end in time and was stopped.\nIf the port does "
              "not open again, unplug the adapter or restart the program.",
              "COM Port Error", MB_OK | MB_ICONWARNING);
}

}  // namespace

DWORD WINAPI connectionThreadProc(LPVOID) {
  int lastFailedPort = 0;
  connectWaitRunning = 1;
  // A request left over from an earlier wait must not end this thread's waits.
  clearLinkAbort();
  while (connectWaitRunning != 0) {
    if (connectionStopRequested) return 0;
    // A thread started while the link is up waits for it to go down.
    if (connectionState == ConnectionState::Connected) {
      Sleep(ConnectedPollMs);
      continue;
    }
    // The texts name the port of this attempt, even if another is chosen
    // meanwhile (the port change then ends this link).
    const SerialSettings attempt = serialSettings;
    switch (connectToTarget(attempt)) {
      case LinkOk:
        enterConnected(attempt);
        break;
      case LinkPortUnavailable:
        reportPortFailure(attempt.portNumber, &lastFailedPort);
        Sleep(PortRetryMs);
        break;
      case LinkAborted:
        // connectToTarget has closed the port. Asked to end: end; a request
        // meant for some earlier wait: wait again.
        if (connectionStopRequested) return 0;
        clearLinkAbort();
        break;
      default:
        // No confirmation: the port is closed; wait for the next call.
        break;
    }
  }
  return 0;
}

void startConnectionThread() {
  // Only one connection thread ever waits.
  if (!stopConnectionThread()) reportStuckThread(mainWindow);
  if (connectionThreadHandle) CloseHandle(connectionThreadHandle);
  connectionThreadHandle =
      CreateThread(nullptr, 0, connectionThreadProc, nullptr, 0, &connectionThreadId);
}

void onConnectCommand(HWND owner) {
  switch (connectionState.load()) {
    case ConnectionState::NotConnected:
      showDisconnected(ResetRequestText);
      // A thread that already waits goes on waiting.
      if (!connectionThreadAlive()) startConnectionThread();
      break;
    case ConnectionState::Connected:
      MessageBoxA(owner, "Already connected to target", "Connect to Target",
                  MB_OK | MB_ICONINFORMATION);
      break;
    case ConnectionState::Startup:
      break;
  }
}

void onLaunchCommand(HWND owner) {
  if (refuseUnlessConnected(owner, "Launch Target Application Error")) return;
  if (launchTarget() == LinkOk) {
    showDisconnected(BlankLineText);
    connectionState = ConnectionState::NotConnected;
  }
}

void disconnectOnExit() {
  if (connectionState == ConnectionState::Connected) {
    launchTarget();
  } else {
    // A thread still waiting releases its port before the process ends.
    stopConnectionThread();
  }
}

LRESULT onLinkLost() {
  if (closeTargetPort() == LinkOk) {
    showDisconnected(ResetRequestText);
    connectionState = ConnectionState::NotConnected;
  }
  startConnectionThread();
  return 1;
}

void onPortChanged() {
  if (connectionState != ConnectionState::Connected) {
    if (connectWaitRunning == 0) return;  // nothing waits: the next Connect uses the new port
    if (!stopConnectionThread()) reportStuckThread(mainWindow);
    // The thread may have connected on the old port before it saw the stop;
    // then it is left as a connected link is.
    if (connectionState != ConnectionState::Connected) {
      startConnectionThread();
      return;
    }
  }
  if (launchTarget() == LinkOk) {
    showDisconnected(ResetRequestText);
    connectionState = ConnectionState::NotConnected;
  }
  startConnectionThread();
}
