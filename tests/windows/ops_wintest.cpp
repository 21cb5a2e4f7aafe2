// The target operations in the real main window, tests in order: sims on COM1
// (7 block-erased replies per erase) and COM2; COM3 and COM4 do not open.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <dlgs.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "image/image_snapshot.h"
#include "link/serial_port.h"
#include "operations/app_state.h"
#include "operations/app_state_win32.h"
#include "operations/connection_manager_win32.h"
#include "operations/erase_run_win32.h"
#include "operations/program_run_win32.h"
#include "operations/run_logic.h"
#include "tests/waits.h"
#include "tests/windows/wintest_support.h"
#include "ui/resource_ids.h"
#include "ui/startup_win32.h"

namespace {

const std::string LaunchFrame = "9C BB FD DA";
constexpr uint32_t BootSize = 0x4000;
constexpr uint32_t FlashSize = 512 * 1024;

// What this thread showed: progress bar steps and dialogs.
struct BarStep {
  std::string bar;        // "Erase Progress", "Program Progress", "Progress"
  int position, maximum;  // after the step
};
std::vector<BarStep> steps;
std::vector<std::pair<HWND, std::string>> dialogsSeen;
// The two re-entry guards as they stood when a progress dialog was hidden to
// close ("caption: programBusy eraseBusy"): the worker that closes it waits
// meanwhile.
std::vector<std::string> guardsAtClose;

bool isProgressDialog(const std::string& caption) {
  return caption == "Programming Application" || caption == "Programming Bootloader" ||
         caption == "Erasing Target Flash" || caption == "Erasing ALL of Target Flash";
}

LRESULT CALLBACK noteBarsAndDialogs(int code, WPARAM wParam, LPARAM lParam) {
  const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
  if (code == HC_ACTION && call->message == PBM_STEPIT) {
    steps.push_back({windowText(call->hwnd),
                     static_cast<int>(SendMessageA(call->hwnd, PBM_GETPOS, 0, 0)),
                     static_cast<int>(SendMessageA(call->hwnd, PBM_GETRANGE, FALSE, 0))});
  } else if (code == HC_ACTION && call->message == WM_INITDIALOG) {
    dialogsSeen.push_back({call->hwnd, windowText(call->hwnd)});
  } else if (code == HC_ACTION && call->message == WM_WINDOWPOSCHANGED &&
             (reinterpret_cast<const WINDOWPOS*>(call->lParam)->flags & SWP_HIDEWINDOW) &&
             isProgressDialog(windowText(call->hwnd))) {
    guardsAtClose.push_back(windowText(call->hwnd) + ": " + std::to_string(programBusy) + " " +
                            std::to_string(eraseBusy));
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

HWND dialogSeen(const char* caption) {
  HWND found = nullptr;
  for (const auto& [window, text] : dialogsSeen) found = text == caption ? window : found;
  return found;
}

// How many steps the bar took, and where it ended.
std::pair<int, int> barSteps(const std::string& bar) {
  std::pair<int, int> seen = {0, -1};
  for (const BarStep& step : steps) {
    if (step.bar == bar) seen = {seen.first + 1, step.position};
  }
  return seen;
}

// Each watch runs on the visible dialog of this thread with its caption every
// 50 ms until it returns true; a new one replaces one for the same caption.
struct DialogWatch {
  std::string caption;
  std::function<bool(HWND)> act;
};
std::vector<DialogWatch> watches;

void CALLBACK runWatches(HWND, UINT, UINT_PTR, DWORD) {
  for (size_t i = 0; i < watches.size(); ++i) {
    HWND dialog = findWindow("#32770", watches[i].caption.c_str(), GetCurrentProcessId(),
                             GetCurrentThreadId());
    if (dialog && watches[i].act(dialog)) watches.erase(watches.begin() + i--);
  }
}

void watchFor(const std::string& caption, std::function<bool(HWND)> act) {
  [[maybe_unused]] static const UINT_PTR timer = SetTimer(nullptr, 0, 50, runWatches);
  watches.erase(std::remove_if(watches.begin(), watches.end(),
                               [&](const DialogWatch& w) { return w.caption == caption; }),
                watches.end());
  watches.push_back({caption, std::move(act)});
}

// Program Target with this path typed into the open-file dialog (Cancel when
// empty), until the run has ended; *shown gets the name the dialog offered.
void programWith(const std::string& path, std::string* shown = nullptr) {
  watchFor("Open Hex File", [path, shown](HWND dialog) {
    HWND name = GetDlgItem(dialog, cmb13) ? GetDlgItem(dialog, cmb13) : GetDlgItem(dialog, edt1);
    if (shown) *shown = windowText(name);
    if (!path.empty()) SetWindowTextA(name, path.c_str());
    const int button = path.empty() ? IDCANCEL : IDOK;
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
    return true;
  });
  onProgramCommand(mainWindow);
}

// Presses Esc in the progress dialog once per answer, intervalMs apart from
// its showing, and answers the question each press raises.
void pressEscapeIn(const std::string& caption, const std::vector<int>& answers, int intervalMs) {
  watchFor(caption, [=, shownAt = DWORD(0), next = size_t(0)](HWND dialog) mutable {
    if (!shownAt) shownAt = GetTickCount();
    if (GetTickCount() - shownAt < (next + 1) * intervalMs) return false;
    answerMessageBoxesWith(answers[next]);
    PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
    return ++next == answers.size();
  });
}

bool connectionThreadRunning() {
  return connectionThreadHandle && WaitForSingleObject(connectionThreadHandle, 0) == WAIT_TIMEOUT;
}

// What the main window showed as it started, for the test of the start-up
// state whichever test started it.
struct StartUpState {
  std::string part0, part1;
  ConnectionState state;
  bool threadRunning;
};
StartUpState startUpState;

void startMainWindowOnce() {
  if (mainWindow) return;
  HACCEL accelerators = nullptr;
  startUp(GetModuleHandleA(nullptr), SW_SHOWNORMAL, &accelerators);
  startUpState = {statusText(statusBar, 0), statusText(statusBar, 1), connectionState,
                  connectionThreadRunning()};
  SetWindowsHookExA(WH_CALLWNDPROCRET, noteBarsAndDialogs, nullptr, GetCurrentThreadId());
  startCatchingMessageBoxes();
}

// Shows these texts now.
bool showsStatus(const char* part0, const char* part1) {
  return waitForStatus(statusBar, part0, part1, 0);
}

bool waitForConnected(int port) {
  return waitForStatus(statusBar, "CONNECTED COM" + std::to_string(port), "115200 8-N-1", 10000) &&
         connectionState == ConnectionState::Connected;
}

void changePort(int port) {
  serialSettings.portNumber = port;
  onPortChanged();
}

// Connected on `port` through a fresh handshake, from any state.
bool connectAfresh(int port) {
  startMainWindowOnce();
  if (serialSettings.portNumber != port) {
    changePort(port);
  } else if (connectionState == ConnectionState::Connected) {
    SendMessageA(mainWindow, WM_COMMAND, CMD_LINK_LOST, 0);
  } else if (!connectionThreadRunning()) {
    onConnectCommand(mainWindow);
  }
  return resetSim(port, 50) && waitForConnected(port);
}

// The port the tool holds once its thread has opened it (Wine lets a second
// opener in, so the handles tell, not a probe); InvalidSerialPort when none
// opened within the limit.
SerialPort portHeldByTool() {
  pumpMessagesUntil([] { return serialPort.load() != InvalidSerialPort; }, WaitLimitMs);
  return serialPort.load();
}

// A port handle the tool held is closed (or reused for the one it opened since).
bool closedByTool(SerialPort old) {
  DCB line = {};
  line.DCBlength = sizeof line;
  return !GetCommState(reinterpret_cast<HANDLE>(old), &line) || old == serialPort.load();
}

struct Box {
  std::string text, caption;
  unsigned icon;
  HWND owner;
};
Box programmedBox(const char* run = "Programming Application") {
  return {"Target Flash has been successfully programmed.", "Programming Operation Complete",
          MB_ICONINFORMATION, dialogSeen(run)};
}
Box erasedBox() {
  return {"Target Flash has been successfully erased.", "Erase Operation Complete",
          MB_ICONINFORMATION, mainWindow};
}

Box commErrorBox(const char* run) {
  return {CommunicationErrorText, "Error", MB_ICONERROR, dialogSeen(run)};
}
Box portErrorBox(int port) {
  return {"Cannot Connect to COM " + std::to_string(port), "COM Port Error", MB_ICONWARNING,
          mainWindow};
}

// How long a call took, in milliseconds.
DWORD msFor(const std::function<void()>& call) {
  const DWORD started = GetTickCount();
  call();
  return GetTickCount() - started;
}

// Takes the boxes caught so far and compares them with these (each text
// holds the one expected).
std::vector<CaughtMessageBox> expectBoxes(const std::vector<Box>& expected) {
  const std::vector<CaughtMessageBox> boxes = takeCaughtMessageBoxes();
  EXPECT_EQ(boxes.size(), expected.size());
  for (size_t i = 0; i < std::min(boxes.size(), expected.size()); ++i) {
    const CaughtMessageBox& got = boxes[i];
    const Box& want = expected[i];
    EXPECT_EQ(std::tie(got.caption, got.icon, got.owner),
              std::tie(want.caption, want.icon, want.owner));
    EXPECT_NE(got.text.find(want.text), std::string::npos) << got.text;
  }
  return boxes;
}

TEST(Connection, ConnectsWhenTheTargetCallsAndAfterLaunchNothingRunsWithoutATarget) {
  startMainWindowOnce();
  EXPECT_EQ(startUpState.part0, "NOT CONNECTED");
  EXPECT_EQ(startUpState.part1, "Please Reset Target");
  EXPECT_EQ(startUpState.state, ConnectionState::Startup);
  ASSERT_TRUE(startUpState.threadRunning);

  // From the start-up state, or from wherever an earlier test left the tool,
  // with nothing recorded yet.
  ASSERT_TRUE(connectAfresh(1)) << statusText(statusBar, 0);
  answerMessageBoxesWith(IDOK);
  takeCaughtMessageBoxes();
  dialogsSeen.clear();
  EXPECT_TRUE(pumpMessagesUntil([] { return !connectionThreadRunning(); }, WaitLimitMs));
  onConnectCommand(mainWindow);
  expectBoxes(
      {{"Already connected to target", "Connect to Target", MB_ICONINFORMATION, mainWindow}});

  // Launch starts the application and ends the link; nothing else runs then.
  const size_t logStart = simLog(1).size();
  const SerialPort held = serialPort.load();
  onLaunchCommand(mainWindow);
  EXPECT_TRUE(waitForSimLogLine(1, LaunchFrame, logStart, WaitLimitMs));
  EXPECT_TRUE(showsStatus("NOT CONNECTED", "                        "));
  EXPECT_EQ(connectionState, ConnectionState::NotConnected);
  EXPECT_FALSE(connectionThreadRunning());
  EXPECT_TRUE(closedByTool(held));

  // Launch, Program and Erase now only warn, without an open-file dialog;
  // Connect waits for the next call.
  onLaunchCommand(mainWindow);
  programWith("");
  onEraseCommand(mainWindow);
  const char* text = "Target Not Connected.";
  expectBoxes({{text, "Launch Target Application Error", MB_ICONWARNING, mainWindow},
               {text, "Program Target Flash Error", MB_ICONWARNING, mainWindow},
               {text, "Erase Target Flash Error", MB_ICONWARNING, mainWindow}});
  EXPECT_EQ(dialogSeen("Open Hex File"), nullptr);

  onConnectCommand(mainWindow);
  EXPECT_TRUE(showsStatus("NOT CONNECTED", "Please Reset Target."));
  EXPECT_TRUE(connectionThreadRunning());
  ASSERT_TRUE(resetSim(1, 50));
  EXPECT_TRUE(waitForConnected(1));
}

// Processor time a thread has used, in milliseconds.
double cpuMs(HANDLE thread) {
  FILETIME created, ended, kernel, user;
  if (!GetThreadTimes(thread, &created, &ended, &kernel, &user)) return -1;
  auto ms = [](const FILETIME& t) {
    return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
  };
  return ms(kernel) + ms(user);
}

TEST(Connection, APortChangeMovesTheLinkAndAPortThatDoesNotOpenIsReportedOncePerThread) {
  // While connected: the target on the old port is launched.
  ASSERT_TRUE(connectAfresh(1));
  const size_t logStart = simLog(1).size();
  const SerialPort onCom1 = serialPort.load();
  ASSERT_TRUE(resetSim(2, 50));
  changePort(2);
  EXPECT_TRUE(waitForSimLogLine(1, LaunchFrame, logStart, WaitLimitMs));
  EXPECT_TRUE(waitForConnected(2)) << statusText(statusBar, 0);
  EXPECT_TRUE(closedByTool(onCom1));

  changePort(3);
  ASSERT_TRUE(waitForMessageBoxes(1, WaitLimitMs));
  EXPECT_TRUE(showsStatus("NOT CONNECTED", "Please Reset Target."));
  const double cpuBefore = cpuMs(connectionThreadHandle);
  pause(1500);  // several retries of the port
  EXPECT_LT(cpuMs(connectionThreadHandle) - cpuBefore, 600.0) << "retries should pause, not spin";
  // Connect while the thread waits starts no second thread, so no box.
  const DWORD waiting = connectionThreadId;
  onConnectCommand(mainWindow);
  pause(600);
  EXPECT_EQ(connectionThreadId, waiting);
  const std::vector<CaughtMessageBox> boxes = expectBoxes({portErrorBox(3)});
  EXPECT_TRUE(boxes.size() == 1 && boxes[0].threadId == waiting);

  // A new thread, after a port change or a link loss, reports again.
  changePort(4);
  ASSERT_TRUE(waitForMessageBoxes(1, WaitLimitMs));
  SendMessageA(mainWindow, WM_COMMAND, CMD_LINK_LOST, 0);
  ASSERT_TRUE(waitForMessageBoxes(2, WaitLimitMs));
  pause(600);
  expectBoxes({portErrorBox(4), portErrorBox(4)});

  // A box left open does not hold up the next port change.
  answerMessageBoxesWith(0);
  SendMessageA(mainWindow, WM_COMMAND, CMD_LINK_LOST, 0);
  HWND box =
      findWindow("#32770", "COM Port Error", GetCurrentProcessId(), connectionThreadId, 5000);
  ASSERT_NE(box, nullptr) << "no port failure box";
  ASSERT_TRUE(resetSim(1, 50));
  EXPECT_LT(msFor([] { changePort(1); }), 2000u);
  EXPECT_FALSE(IsWindow(box));
  EXPECT_TRUE(waitForConnected(1));
  answerMessageBoxesWith(IDOK);
}

TEST(Connection, APortChangeWhileWaitingFreesTheOldPortForTheNextChoice) {
  // Both targets silent: the thread waits on whichever port it has.
  ASSERT_TRUE(resetSim(1, 0));
  ASSERT_TRUE(resetSim(2, 0));
  SendMessageA(mainWindow, WM_COMMAND, CMD_LINK_LOST, 0);
  const SerialPort onCom1 = portHeldByTool();
  ASSERT_NE(onCom1, InvalidSerialPort) << "COM1 never opened";

  const DWORD threadOnCom1 = connectionThreadId;
  EXPECT_LT(msFor([] { changePort(2); }), 2000u) << "the old wait should end within a slice";
  EXPECT_NE(connectionThreadId, threadOnCom1);
  const SerialPort onCom2 = portHeldByTool();
  EXPECT_NE(onCom2, InvalidSerialPort) << "COM2 never opened";
  EXPECT_TRUE(closedByTool(onCom1));

  // The old port again, now with a target that calls.
  ASSERT_TRUE(resetSim(1, 50));
  changePort(1);
  EXPECT_TRUE(waitForConnected(1));
  EXPECT_TRUE(closedByTool(onCom2));
}

// 1021 bytes at 0x4000 in a file of 3072 bytes: four blocks read from file
// positions 9, 777, 1545 and 2313, so the programming bar stands at 33 before
// the third and at 66 before the fourth.
const std::vector<uint8_t> ApplicationImage = patternBytes(1021, 7);

const std::string& applicationFile() {
  static const std::string path = writeHexFile("app.hex", BootSize, ApplicationImage);
  return path;
}

// Connected afresh on COM1, with nothing recorded yet and boxes answered OK.
bool readyOnCom1() {
  if (!connectAfresh(1)) return false;
  answerMessageBoxesWith(IDOK);
  takeCaughtMessageBoxes();
  steps.clear();
  dialogsSeen.clear();
  return true;
}

void expectLinkLostAndRebuilt() {
  EXPECT_TRUE(showsStatus("NOT CONNECTED", "Please Reset Target."));
  EXPECT_EQ(connectionState, ConnectionState::NotConnected);
  EXPECT_TRUE(connectionThreadRunning());
  ASSERT_TRUE(resetSim(1, 50));
  EXPECT_TRUE(waitForConnected(1));
}

TEST(Runs, ProgramAndEraseWithTheirBarsAndBoxesLeaveTheFlashAsChosen) {
  ASSERT_TRUE(readyOnCom1());
  programWith(applicationFile());
  HWND dialog = dialogSeen("Programming Application");
  ASSERT_NE(dialog, nullptr);
  expectBoxes({programmedBox()});
  EXPECT_FALSE(IsWindow(dialog));
  // 7 block-erased replies, then the bar is filled to its end.
  EXPECT_EQ(barSteps("Erase Progress"), std::make_pair(EraseBarSteps, EraseBarSteps));
  EXPECT_EQ(barSteps("Program Progress"), std::make_pair(66, 66));
  for (const BarStep& s : steps)
    EXPECT_EQ(s.maximum, s.bar == "Erase Progress" ? EraseBarSteps : ProgramBarSteps);
  EXPECT_TRUE(waitForSimFlash(1, BootSize, ApplicationImage, 5000));
  EXPECT_EQ(connectionState, ConnectionState::Connected);

  // The bootloader; the open-file dialog offers the file chosen the time
  // before (perhaps by its name alone).
  ASSERT_TRUE(readyOnCom1());
  const std::vector<uint8_t> boot = patternBytes(600, 11);
  programTarget = flagsFor(ProgramTarget::Bootloader);
  std::string shown;
  programWith(writeHexFile("boot.hex", 0x1000, boot), &shown);
  programTarget = flagsFor(ProgramTarget::Application);
  const std::string last = applicationFile();
  EXPECT_TRUE(shown == last || shown == last.substr(last.rfind('\\') + 1)) << shown;
  ASSERT_NE(dialogSeen("Programming Bootloader"), nullptr);
  expectBoxes({programmedBox("Programming Bootloader")});
  EXPECT_TRUE(waitForSimFlash(1, 0x1000, boot, 5000));

  // Erase spares the bootloader.
  steps.clear();
  onEraseCommand(mainWindow);
  expectBoxes({erasedBox()});
  ASSERT_NE(dialogSeen("Erasing Target Flash"), nullptr);
  EXPECT_EQ(barSteps("Progress"), std::make_pair(EraseBarSteps, EraseBarSteps));
  EXPECT_TRUE(waitForSimFlash(1, BootSize, std::vector<uint8_t>(FlashSize - BootSize, 0xFF), 5000));
  EXPECT_TRUE(waitForSimFlash(1, 0x1000, boot, 1000));

  // Erase all warns first: Cancel sends nothing, OK takes the bootloader too.
  const Box warning = {"About to Erase ALL of the target flash (incl. Bootloader).", "Warning",
                       MB_ICONWARNING, mainWindow};
  eraseMode = flagsFor(EraseMode::EntireFlash);
  const size_t beforeCancel = simLog(1).size();
  answerMessageBoxesWith(IDCANCEL);
  onEraseCommand(mainWindow);
  answerMessageBoxesWith(IDOK);
  const std::vector<CaughtMessageBox> boxes = expectBoxes({warning});
  EXPECT_TRUE(boxes.size() == 1 && boxes[0].buttons == MB_OKCANCEL);
  EXPECT_EQ(dialogSeen("Erasing ALL of Target Flash"), nullptr);
  EXPECT_EQ(simLog(1).size(), beforeCancel);

  steps.clear();
  onEraseCommand(mainWindow);
  eraseMode = flagsFor(EraseMode::Default);
  expectBoxes({warning,
               {"Target Flash has been successfully erased including the bootloader.",
                "Erase Operation Complete", MB_ICONWARNING, mainWindow}});
  EXPECT_NE(dialogSeen("Erasing ALL of Target Flash"), nullptr);
  EXPECT_EQ(barSteps("Progress"), std::make_pair(EraseBarSteps, EraseBarSteps));
  EXPECT_TRUE(waitForSimFlash(1, 0, std::vector<uint8_t>(FlashSize, 0xFF), 5000));
  EXPECT_EQ(connectionState, ConnectionState::Connected);
}

// The file refused in the progress dialog, nothing sent to the target.
void expectRefused(const std::string& path, const std::string& words) {
  const size_t logStart = simLog(1).size();
  dialogsSeen.clear();
  steps.clear();
  programWith(path);
  expectBoxes({{words, "File Error", MB_ICONERROR, dialogSeen("Programming Application")}});
  EXPECT_TRUE(steps.empty());
  EXPECT_EQ(simLog(1).size(), logStart);
}

TEST(Runs, RunsThatCannotStartSendNothingAndLeaveTheCommandsUsable) {
  ASSERT_TRUE(readyOnCom1());
  expectRefused(writeTextFile("bad.hex", "00004000\n12 34\n56 G7 89\n"), "Line 3");
  const size_t logStart = simLog(1).size();

  // Cancel in the open-file dialog: no progress dialog, no box.
  dialogsSeen.clear();
  programWith("");
  EXPECT_NE(dialogSeen("Open Hex File"), nullptr);
  EXPECT_EQ(dialogSeen("Programming Application"), nullptr);

  // Progress dialogs that cannot be created: from a module without them.
  const HINSTANCE tool = appInstance;
  appInstance = GetModuleHandleA("kernel32.dll");
  programWith(applicationFile());
  onEraseCommand(mainWindow);
  appInstance = tool;
  expectBoxes({});
  EXPECT_EQ(simLog(1).size(), logStart);

  guardsAtClose.clear();
  programWith(applicationFile());
  onEraseCommand(mainWindow);
  expectBoxes({programmedBox(), erasedBox()});
  // Programming clears its guard before its dialog closes, the erase after.
  ASSERT_GE(guardsAtClose.size(), 2u);
  EXPECT_EQ(guardsAtClose[0], "Programming Application: 0 0");
  EXPECT_EQ(guardsAtClose[1], "Erasing Target Flash: 0 1");
}

int closeThatFails(FILE* file) {
  fclose(file);
  return EOF;
}

TEST(Runs, AFileThatDidNotCloseIsToldAfterTheOutcome) {
  ASSERT_TRUE(readyOnCom1());
  imageFileClose = closeThatFails;
  programWith(applicationFile());
  const Box closeError = {"Cannot Close Flash.hex.", "File Error", MB_ICONERROR,
                          dialogSeen("Programming Application")};
  expectBoxes({programmedBox(), closeError});
  // After a refusal too, in the bootloader's words.
  programTarget = flagsFor(ProgramTarget::Bootloader);
  programWith(writeTextFile("bad.hex", "00004000 0Q\n"));
  programTarget = flagsFor(ProgramTarget::Application);
  imageFileClose = fclose;
  HWND dialog = dialogSeen("Programming Bootloader");
  expectBoxes({{"Line 1", "File Error", MB_ICONERROR, dialog},
               {"Cannot selected HEX file.", "File Error", MB_ICONERROR, dialog}});
}

TEST(Runs, FilesWithoutDataAndDataThatAnEarlierRunWouldSplitAreRefused) {
  ASSERT_TRUE(readyOnCom1());
  for (const char* blank : {"", " \r\n\t\r\n"}) {
    expectRefused(writeTextFile("blank.hex", blank), "The selected HEX file holds no data.");
  }

  // Data that begins a second file in a session follows from where the first
  // left off: 0x4000 for a record, 0x4002 for a byte.
  ASSERT_TRUE(readyOnCom1());
  programWith(writeHexFile("two.hex", 0x4000, {0x01, 0x02}));
  expectBoxes({programmedBox()});
  std::string data;
  for (int i = 0; i < 300; ++i) data += "5A ";
  expectRefused(writeTextFile("apart.hex", data), "begin the file with an address");
  ASSERT_TRUE(readyOnCom1());
  programWith(writeTextFile("follow.hex", "11 22 33\r\n"));
  expectBoxes({programmedBox()});
  EXPECT_TRUE(waitForSimFlash(1, 0x4000, {0x11, 0x22, 0x33}, 5000));
}

TEST(Runs, AFailingThirdBlockOrADeadLineDropsTheLinkWhichIsRebuiltOnTheNextCall) {
  // Frames: 1 acknowledgement, 2 program, 3 to 5 the block-follows of blocks
  // 1 to 3; the reply to the fifth arrives garbled.
  ASSERT_TRUE(simCommand(1, "set garble-reply 5"));
  ASSERT_TRUE(readyOnCom1());
  programWith(applicationFile());
  ASSERT_TRUE(simCommand(1, "set garble-reply 0"));
  expectBoxes({commErrorBox("Programming Application")});
  EXPECT_EQ(barSteps("Program Progress").second, 33);
  EXPECT_EQ(programBusy, 0);
  expectLinkLostAndRebuilt();

  onEraseCommand(mainWindow);
  expectBoxes({erasedBox()});

  // The line hangs up as the erase command arrives, or at the second block:
  // the run ends at once (an Esc after 8 s would abandon one that waited),
  // the port is gone until the target comes back, and the tool reconnects.
  struct Death {
    int frame;
    const char* caption;
    std::function<void()> run;
  };
  for (const Death& death :
       {Death{2, "Erasing Target Flash", [] { onEraseCommand(mainWindow); }},
        Death{4, "Programming Application", [] { programWith(applicationFile()); }}}) {
    ASSERT_TRUE(simCommand(1, ("set hangup-at " + std::to_string(death.frame)).c_str()));
    ASSERT_TRUE(readyOnCom1());
    pressEscapeIn(death.caption, {IDYES}, 8000);
    const DWORD took = msFor(death.run);
    watches.clear();
    ASSERT_TRUE(simCommand(1, "set hangup-at 0"));
    EXPECT_LT(took, 6000u) << death.caption;
    EXPECT_TRUE(waitForMessageBoxes(2, WaitLimitMs));
    expectBoxes({commErrorBox(death.caption), portErrorBox(1)});
    expectLinkLostAndRebuilt();
  }
}

// A run abandoned through Esc: a question per press, then the communication
// error, all owned by the progress dialog; the link is lost and rebuilt.
void expectAbandoned(const char* caption, const std::vector<int>& answers) {
  std::vector<Box> expected(answers.size(),
                            {"Abandon the operation?\nThe target will be disconnected.",
                             "Abandon Operation", MB_ICONQUESTION, dialogSeen(caption)});
  expected.push_back(commErrorBox(caption));
  const std::vector<CaughtMessageBox> boxes = expectBoxes(expected);
  for (size_t i = 0; i < answers.size() && i < boxes.size(); ++i) {
    EXPECT_EQ(boxes[i].buttons, static_cast<unsigned>(MB_YESNO));
    EXPECT_EQ(boxes[i].answer, answers[i]);
  }
  EXPECT_EQ(programBusy, 0);
  // An erase's worker closes its dialog first and clears its guard after;
  // closing it may wait on this thread's windows, so they are served.
  EXPECT_TRUE(pumpMessagesUntil([] { return eraseBusy == 0; }, WaitLimitMs));
  answerMessageBoxesWith(IDOK);
  expectLinkLostAndRebuilt();
}

TEST(Runs, EscAbandonsARunWaitingForASilentTargetOnlyOnYes) {
  // Silent from the first block-follows on: the worker waits for its answer.
  ASSERT_TRUE(simCommand(1, "set silent-from 3"));
  ASSERT_TRUE(readyOnCom1());
  pressEscapeIn("Programming Application", {IDNO, IDYES}, 700);
  DWORD took = msFor([] { programWith(applicationFile()); });
  ASSERT_TRUE(simCommand(1, "set silent-from 0"));
  // Two presses 0.7 s apart: the run ends soon after the Yes, not before.
  EXPECT_GT(took, 1400u);
  EXPECT_LT(took, DWORD(generousBoundMs(1400)));
  expectAbandoned("Programming Application", {IDNO, IDYES});

  // An erase waiting for its one slow block (short enough to sit out after:
  // the simulator takes control lines only between replies).
  ASSERT_TRUE(simCommand(1, "set erase-blocks 1"));
  ASSERT_TRUE(simCommand(1, "set erase-block-ms 4000"));
  ASSERT_TRUE(readyOnCom1());
  pressEscapeIn("Erasing Target Flash", {IDYES}, 300);
  took = msFor([] { onEraseCommand(mainWindow); });
  ASSERT_TRUE(simCommand(1, "set erase-block-ms 0"));
  ASSERT_TRUE(simCommand(1, "set erase-blocks 7"));
  EXPECT_LT(took, 3500u) << "the run should end on Yes, not on the target's reply";
  EXPECT_EQ(barSteps("Progress").first, 0);
  expectAbandoned("Erasing Target Flash", {IDYES});

  // Esc while the success box is still up: nothing is left to abandon.
  ASSERT_TRUE(readyOnCom1());
  answerMessageBoxesWith(0);  // the success box stays up
  watchFor("Erasing Target Flash", [escapedAt = DWORD(0)](HWND dialog) mutable {
    HWND box = findWindow("#32770", "Erase Operation Complete");
    if (!box) return false;
    if (!escapedAt) {
      answerMessageBoxesWith(IDNO);
      PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
      escapedAt = GetTickCount();
      return false;
    }
    if (GetTickCount() - escapedAt < 500) return false;
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return true;
  });
  onEraseCommand(mainWindow);
  answerMessageBoxesWith(IDOK);
  for (const CaughtMessageBox& box : takeCaughtMessageBoxes()) {
    EXPECT_NE(box.caption, "Abandon Operation") << "offered after the run had ended";
  }
  EXPECT_EQ(connectionState, ConnectionState::Connected);
}

}  // namespace
