// The connection manager in the real main window under Wine: simulated targets
// on COM1 and COM2 (both silent until a test lets them call), COM3 and COM4
// ports that do not open. The tests run in order on one window and one
// connection thread at a time, as the tool does.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/bootloader.h"
#include "operations/app_state.h"
#include "operations/app_state_win32.h"
#include "operations/connection_manager.h"
#include "tests/windows/ops_support.h"
#include "tests/windows/wintest_support.h"
#include "ui/resource_ids.h"

namespace {

const std::string LaunchFrame = "9C BB FD DA";
const char Blank24[] = "                        ";

std::string connectedText(int port) {
  return "CONNECTED COM" + std::to_string(port);
}

int countLines(int port, const std::string& line, size_t from) {
  std::vector<std::string> lines = simLog(port);
  if (lines.size() <= from) return 0;
  return static_cast<int>(std::count(lines.begin() + from, lines.end(), line));
}

// Lets the target on `port` call and waits until the tool shows it connected,
// from whatever state the last test left.
bool connectOn(int port) {
  if (connectionState == ConnectionState::Connected && serialSettings.portNumber == port) {
    return true;
  }
  if (serialSettings.portNumber != port) {
    serialSettings.portNumber = port;
    onPortChanged();
  }
  if (connectionState != ConnectionState::Connected && !connectionThreadRunning()) {
    onConnectCommand(mainWindow);
  }
  resetTargetCalling(port);
  return waitForStatus(connectedText(port).c_str(), "115200 8-N-1", 10000) &&
         connectionState == ConnectionState::Connected;
}

// The port the tool holds, once its connection thread has had time to open
// it (Wine lets a second opener in, so the handles tell, not a probe).
SerialPort portHeldByTool() {
  pumpMessagesUntil([] { return false; }, 300);
  return serialPort.load();
}

// A port handle the tool held is closed: it is no longer a port, or it is the
// port the tool opened since (a handle value is reused once freed).
bool closedByTool(SerialPort old) {
  DCB line = {};
  line.DCBlength = sizeof line;
  return !GetCommState(reinterpret_cast<HANDLE>(old), &line) || old == serialPort.load();
}

bool waitForThreadEnd(HANDLE thread, int timeoutMs) {
  return pumpMessagesUntil([thread] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; },
                           timeoutMs);
}

// Processor time the thread has used, in milliseconds.
double cpuMs(HANDLE thread) {
  FILETIME created, ended, kernel, user;
  if (!GetThreadTimes(thread, &created, &ended, &kernel, &user)) return -1;
  auto ms = [](const FILETIME& t) {
    return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
  };
  return ms(kernel) + ms(user);
}

void expectBox(const CaughtMessageBox& box, const char* text, const char* caption, unsigned icon,
               HWND owner) {
  EXPECT_EQ(box.text, text);
  EXPECT_EQ(box.caption, caption);
  EXPECT_EQ(box.icon, icon);
  EXPECT_EQ(box.owner, owner);
}

BOOL CALLBACK noteVisibleDialog(HWND window, LPARAM found) {
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::string(name) == "#32770" && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(found) = window;
  }
  return TRUE;
}

void pause(int ms) {
  pumpMessagesUntil([] { return false; }, ms);
}

TEST(ConnectionManager, ConnectsWhenTheTargetCallsAndShowsThePortAndTheLine) {
  startMainWindowOnce();
  ASSERT_TRUE(startCatchingMessageBoxes());
  clearCaughtMessageBoxes();
  EXPECT_EQ(statusText(0), "NOT CONNECTED");
  EXPECT_EQ(statusText(1), "Please Reset Target");
  EXPECT_EQ(connectionState, ConnectionState::Startup);
  ASSERT_TRUE(connectionThreadRunning());

  // Connect while the first thread waits changes nothing.
  const DWORD first = connectionThreadId;
  onConnectCommand(mainWindow);
  EXPECT_EQ(connectionThreadId, first);
  EXPECT_EQ(statusText(1), "Please Reset Target");

  ASSERT_TRUE(resetTargetCalling(1));
  ASSERT_TRUE(waitForStatus("CONNECTED COM1", "115200 8-N-1", 10000)) << statusText(0);
  EXPECT_EQ(connectionState, ConnectionState::Connected);
  EXPECT_TRUE(waitForThreadEnd(connectionThreadHandle, 2000));
  EXPECT_EQ(connectWaitRunning, 0);

  onConnectCommand(mainWindow);
  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  expectBox(boxes[0], "Already connected to target", "Connect to Target", MB_ICONINFORMATION,
            mainWindow);
  EXPECT_TRUE(caughtMessageBoxes().size() == 1 && statusText(0) == "CONNECTED COM1");
}

TEST(ConnectionManager, LaunchStartsTheApplicationAndConnectWaitsForTheNextReset) {
  ASSERT_TRUE(connectOn(1));
  clearCaughtMessageBoxes();
  const size_t logStart = simLog(1).size();
  const SerialPort held = serialPort.load();

  onLaunchCommand(mainWindow);
  EXPECT_TRUE(waitForSimLogLine(1, LaunchFrame, logStart, 3000));
  EXPECT_EQ(statusText(0), "NOT CONNECTED");
  EXPECT_EQ(statusText(1), Blank24);
  EXPECT_EQ(connectionState, ConnectionState::NotConnected);
  EXPECT_FALSE(connectionThreadRunning());
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
  EXPECT_TRUE(closedByTool(held));

  // Launch again: only the warning, nothing on the line.
  onLaunchCommand(mainWindow);
  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  expectBox(boxes[0], "Target Not Connected.", "Launch Target Application Error", MB_ICONWARNING,
            mainWindow);
  pause(300);
  EXPECT_EQ(countLines(1, LaunchFrame, logStart), 1);

  // Connect starts one thread; a second Connect keeps it.
  onConnectCommand(mainWindow);
  EXPECT_EQ(statusText(0), "NOT CONNECTED");
  EXPECT_EQ(statusText(1), "Please Reset Target.");
  ASSERT_TRUE(connectionThreadRunning());
  const DWORD waiting = connectionThreadId;
  onConnectCommand(mainWindow);
  EXPECT_EQ(connectionThreadId, waiting);
  EXPECT_TRUE(connectionThreadRunning());

  ASSERT_TRUE(resetTargetCalling(1));
  EXPECT_TRUE(waitForStatus("CONNECTED COM1", "115200 8-N-1", 10000));
}

TEST(ConnectionManager, ALostLinkIsRebuiltWhenTheTargetCallsAgain) {
  ASSERT_TRUE(connectOn(1));
  // What a worker sends after a communication failure.
  EXPECT_EQ(SendMessageA(mainWindow, WM_COMMAND, CMD_LINK_LOST, 0), 1);
  EXPECT_EQ(statusText(0), "NOT CONNECTED");
  EXPECT_EQ(statusText(1), "Please Reset Target.");
  EXPECT_EQ(connectionState, ConnectionState::NotConnected);
  EXPECT_TRUE(connectionThreadRunning());

  ASSERT_TRUE(resetTargetCalling(1));
  EXPECT_TRUE(waitForStatus("CONNECTED COM1", "115200 8-N-1", 10000));
}

TEST(ConnectionManager, APortThatDoesNotOpenIsReportedOncePerThreadWithoutSpinning) {
  ASSERT_TRUE(connectOn(1));
  clearCaughtMessageBoxes();
  const size_t logStart = simLog(1).size();

  // A port change while connected launches the target on the old port.
  serialSettings.portNumber = 3;
  onPortChanged();
  EXPECT_TRUE(waitForSimLogLine(1, LaunchFrame, logStart, 3000));
  EXPECT_EQ(statusText(0), "NOT CONNECTED");
  EXPECT_EQ(statusText(1), "Please Reset Target.");
  EXPECT_EQ(connectionState, ConnectionState::NotConnected);

  ASSERT_TRUE(waitForMessageBoxes(1, 5000));
  const double cpuBefore = cpuMs(connectionThreadHandle);
  pause(1500);  // several retries of the port
  const double cpuSpent = cpuMs(connectionThreadHandle) - cpuBefore;
  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  expectBox(boxes[0], "Cannot Connect to COM 3", "COM Port Error", MB_ICONWARNING, mainWindow);
  EXPECT_EQ(boxes[0].threadId, connectionThreadId);
  EXPECT_TRUE(connectionThreadRunning());
  EXPECT_LT(cpuSpent, 300.0) << "the retries should pause, not spin";

  // Connect while a thread waits: the texts, and no second thread (so no box).
  const DWORD waiting = connectionThreadId;
  onConnectCommand(mainWindow);
  pause(600);
  EXPECT_EQ(connectionThreadId, waiting);
  EXPECT_EQ(caughtMessageBoxes().size(), 1u);

  // A new thread, after a port change or a link loss, reports again.
  serialSettings.portNumber = 4;
  onPortChanged();
  ASSERT_TRUE(waitForMessageBoxes(2, 5000));
  EXPECT_EQ(caughtMessageBoxes()[1].text, "Cannot Connect to COM 4");
  SendMessageA(mainWindow, WM_COMMAND, CMD_LINK_LOST, 0);
  ASSERT_TRUE(waitForMessageBoxes(3, 5000));
  EXPECT_EQ(caughtMessageBoxes()[2].text, "Cannot Connect to COM 4");
  pause(600);
  EXPECT_EQ(caughtMessageBoxes().size(), 3u);
}

TEST(ConnectionManager, APortChangeWhileWaitingFreesTheOldPortForTheNextChoice) {
  // Both targets silent: the thread waits on whichever port it has.
  ASSERT_TRUE(resetTargetSilent(1));
  ASSERT_TRUE(resetTargetSilent(2));
  if (connectionState != ConnectionState::Connected && !connectionThreadRunning()) {
    onConnectCommand(mainWindow);
  }
  serialSettings.portNumber = 1;
  onPortChanged();
  const SerialPort onCom1 = portHeldByTool();
  ASSERT_NE(onCom1, InvalidSerialPort) << "COM1 never opened";
  ASSERT_NE(connectionState, ConnectionState::Connected);

  const DWORD threadOnCom1 = connectionThreadId;
  DWORD started = GetTickCount();
  serialSettings.portNumber = 2;
  onPortChanged();
  EXPECT_LT(GetTickCount() - started, 2000u) << "the old wait should end within a slice";
  EXPECT_NE(connectionThreadId, threadOnCom1);
  EXPECT_TRUE(connectionThreadRunning());
  const SerialPort onCom2 = portHeldByTool();
  EXPECT_NE(onCom2, InvalidSerialPort) << "COM2 never opened";
  EXPECT_TRUE(closedByTool(onCom1));
  EXPECT_EQ(statusText(0), "NOT CONNECTED");

  // The old port again, now with a target that calls.
  ASSERT_TRUE(resetTargetCalling(1));
  serialSettings.portNumber = 1;
  onPortChanged();
  EXPECT_TRUE(waitForStatus("CONNECTED COM1", "115200 8-N-1", 10000));
  EXPECT_TRUE(closedByTool(onCom2));
}

TEST(ConnectionManager, APortChangeWhileConnectedMovesTheLinkToTheNewPort) {
  ASSERT_TRUE(connectOn(1));
  const size_t logStart = simLog(1).size();
  const SerialPort onCom1 = serialPort.load();
  ASSERT_TRUE(resetTargetCalling(2));
  serialSettings.portNumber = 2;
  onPortChanged();
  EXPECT_TRUE(waitForSimLogLine(1, LaunchFrame, logStart, 3000));
  EXPECT_TRUE(waitForStatus("CONNECTED COM2", "115200 8-N-1", 10000)) << statusText(0);
  EXPECT_TRUE(closedByTool(onCom1));
}

TEST(ConnectionManager, APortChangeIsNotHeldUpByAnOpenPortFailureBox) {
  ASSERT_TRUE(connectOn(1));
  stopCatchingMessageBoxes();  // the box stays open
  serialSettings.portNumber = 3;
  onPortChanged();
  HWND box = nullptr;
  const DWORD boxThread = connectionThreadId;
  pumpMessagesUntil(
      [&] {
        EnumThreadWindows(boxThread, noteVisibleDialog, reinterpret_cast<LPARAM>(&box));
        return box != nullptr;
      },
      5000);
  ASSERT_NE(box, nullptr) << "no port failure box";

  ASSERT_TRUE(resetTargetCalling(1));
  serialSettings.portNumber = 1;
  DWORD started = GetTickCount();
  onPortChanged();
  EXPECT_LT(GetTickCount() - started, 2000u);
  EXPECT_FALSE(IsWindow(box));
  EXPECT_TRUE(waitForStatus("CONNECTED COM1", "115200 8-N-1", 10000));
  ASSERT_TRUE(startCatchingMessageBoxes());
}

TEST(ConnectionManager, ExitLaunchesAConnectedTargetAndReleasesAWaitingPort) {
  ASSERT_TRUE(connectOn(1));
  size_t logStart = simLog(1).size();
  disconnectOnExit();
  EXPECT_TRUE(waitForSimLogLine(1, LaunchFrame, logStart, 3000));
  // The process ends next: state and texts are left as they were.
  EXPECT_EQ(connectionState, ConnectionState::Connected);
  EXPECT_EQ(statusText(0), "CONNECTED COM1");

  SendMessageA(mainWindow, WM_COMMAND, CMD_LINK_LOST, 0);
  const SerialPort waiting = portHeldByTool();
  ASSERT_NE(waiting, InvalidSerialPort);
  logStart = simLog(1).size();
  disconnectOnExit();
  EXPECT_FALSE(connectionThreadRunning());
  EXPECT_EQ(serialPort.load(), InvalidSerialPort);
  EXPECT_TRUE(closedByTool(waiting));
  pause(300);
  EXPECT_EQ(countLines(1, LaunchFrame, logStart), 0);
}

}  // namespace
