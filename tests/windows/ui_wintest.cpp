// The main window, its settings dialogs and the program's icon, with the
// operations behind them replaced by recording fakes.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "operations/app_state.h"
#include "operations/app_state_win32.h"
#include "operations/connection_manager_win32.h"
#include "operations/erase_run_win32.h"
#include "operations/program_run_win32.h"
#include "tests/windows/wintest_support.h"
#include "ui/help_win32.h"
#include "ui/main_window_win32.h"
#include "ui/resource_ids.h"
#include "ui/settings_dialogs_win32.h"
#include "ui/startup_win32.h"

namespace {

// What reached the operations ("help FILE [KEYWORD]", "shell VERB FILE" and
// "dialog CAPTION" too), the window handed over, and the port at the time.
struct OperationCall {
  std::string name;
  HWND owner;
  int portNumber;
};
std::vector<OperationCall> operationCalls;

void record(const std::string& name, HWND owner = nullptr) {
  operationCalls.push_back({name, owner, serialSettings.portNumber.load()});
}

int callsOf(const char* name) {
  int count = 0;
  for (const OperationCall& call : operationCalls) count += call.name == name ? 1 : 0;
  return count;
}

BOOL WINAPI recordHelp(HWND window, LPCSTR file, UINT command, ULONG_PTR data) {
  std::string name = std::string("help ") + file;
  if (command == HELP_KEY) name += std::string(" ") + reinterpret_cast<const char*>(data);
  if (command != HELP_KEY && command != HELP_FORCEFILE) name += " " + std::to_string(command);
  record(name, window);
  return TRUE;
}

// The shell: answers shellResult (above 32 for success).
INT_PTR shellResult = 42;
HINSTANCE WINAPI recordShell(HWND window, LPCSTR verb, LPCSTR file, LPCSTR, LPCSTR, INT) {
  record(std::string("shell ") + verb + " " + file, window);
  return reinterpret_cast<HINSTANCE>(shellResult);
}

void placeHelpFile(bool present) {
  const std::string path = besideProgram(HelpFileName);
  DeleteFileA(path.c_str());
  if (present)
    CloseHandle(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
}

}  // namespace

// The operations behind the window's commands, recording.
#define RECORDED(name, parameters, owner) \
  void name parameters {                  \
    record(#name, owner);                 \
  }
RECORDED(startConnectionThread, (), nullptr)
RECORDED(disconnectOnExit, (), nullptr)
RECORDED(onPortChanged, (), nullptr)
RECORDED(onConnectCommand, (HWND owner), owner)
RECORDED(onLaunchCommand, (HWND owner), owner)
RECORDED(onProgramCommand, (HWND owner), owner)
RECORDED(onEraseCommand, (HWND owner), owner)
LRESULT onLinkLost() {
  record("onLinkLost");
  return 1;
}
INT_PTR CALLBACK programDialogProc(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}
INT_PTR CALLBACK eraseDefaultDialogProc(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}
INT_PTR CALLBACK eraseAllDialogProc(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}

namespace {

// Closes each dialog of this thread as it shows up, recording it as a call.
void CALLBACK cancelOpenDialogs(HWND, UINT, UINT_PTR, DWORD) {
  HWND dialog = findWindow("#32770", nullptr, GetCurrentProcessId(), GetCurrentThreadId());
  if (!dialog) return;
  operationCalls.push_back({"dialog " + windowText(dialog), GetWindow(dialog, GW_OWNER), 0});
  PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
}

void CALLBACK endLoopWhenIdle(HWND, UINT, UINT_PTR, DWORD) {
  PostQuitMessage(77);
}

// Drops a pending quit message, so the next loop starts afresh.
void dropQuitMessage() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message != WM_QUIT) DispatchMessageA(&message);
  }
}

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    operationCalls.clear();
    openHelp = recordHelp;
    shellOpen = recordShell;
    shellResult = 42;
    placeHelpFile(true);
    ASSERT_TRUE(startUp(GetModuleHandleA(nullptr), SW_SHOWNORMAL, &accelerators));
    dialogCloser = SetTimer(nullptr, 0, 50, cancelOpenDialogs);
  }

  void TearDown() override {
    placeHelpFile(false);
    KillTimer(nullptr, dialogCloser);
    if (IsWindow(mainWindow)) DestroyWindow(mainWindow);
    dropQuitMessage();
    DestroyAcceleratorTable(accelerators);
    UnregisterClassA(MainWindowClassName, GetModuleHandleA(nullptr));
    mainWindow = toolBar = statusBar = nullptr;
  }

  // Runs the message loop until it ends (its exit code) or idles (77).
  int runLoop() {
    UINT_PTR idle = SetTimer(nullptr, 0, 400, endLoopWhenIdle);
    int code = runMessageLoop(accelerators);
    KillTimer(nullptr, idle);
    dropQuitMessage();
    return code;
  }

  // Presses a letter key with Alt (and Shift) held, as the keyboard would.
  int typeWithAlt(char letter, bool shift = false) {
    BYTE keys[256] = {};
    keys[VK_MENU] = keys[VK_LMENU] = 0x80;
    if (shift) keys[VK_SHIFT] = keys[VK_LSHIFT] = 0x80;
    SetKeyboardState(keys);
    const UINT key = std::toupper(static_cast<unsigned char>(letter));
    const UINT scan = MapVirtualKeyA(key, MAPVK_VK_TO_VSC);
    PostMessageA(mainWindow, WM_SYSKEYDOWN, key, 1 | (scan << 16) | 0x20000000);
    int code = runLoop();
    BYTE released[256] = {};
    SetKeyboardState(released);
    return code;
  }

  HACCEL accelerators = nullptr;
  UINT_PTR dialogCloser = 0;
};

TEST_F(MainWindow, ShowsWithItsStatusBarAndStartsTheFirstConnectionAttempt) {
  EXPECT_EQ(findWindow("kv7fpt", "Vantrel K4471"), mainWindow);
  EXPECT_EQ(openFileRequest.hwndOwner, mainWindow);
  ASSERT_EQ(operationCalls.size(), 1u);
  EXPECT_EQ(operationCalls[0].name, "startConnectionThread");

  // The status bar splits the width in two; both bars follow a wider window.
  EXPECT_TRUE(waitForStatus(statusBar, "NOT CONNECTED", "Please Reset Target", 0));
  RECT client, bar, status;
  GetClientRect(mainWindow, &client);
  const int half = client.right / 2;
  SetWindowPos(mainWindow, nullptr, 0, 0, 640, 300, SWP_NOMOVE | SWP_NOZORDER);
  GetClientRect(mainWindow, &client);
  GetWindowRect(toolBar, &bar);
  GetWindowRect(statusBar, &status);
  EXPECT_EQ(bar.right - bar.left, client.right);
  EXPECT_EQ(status.right - status.left, client.right);
  int edges[2] = {};
  ASSERT_EQ(SendMessageA(statusBar, SB_GETPARTS, 2, reinterpret_cast<LPARAM>(edges)), 2);
  EXPECT_EQ(edges[0], half);
  EXPECT_EQ(edges[1], 2 * half);
}

// Dark pixels (text) on the screen inside each part of the status bar: what
// the user sees, where SB_GETTEXT also returns a text that was drawn over.
std::vector<int> darkPixelsInStatusParts() {
  RECT area;
  GetClientRect(statusBar, &area);
  const int width = area.right, height = area.bottom;
  MapWindowPoints(statusBar, nullptr, reinterpret_cast<POINT*>(&area), 2);
  BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
  DWORD* pixels = nullptr;
  HBITMAP canvas = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS,
                                    reinterpret_cast<void**>(&pixels), nullptr, 0);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HGDIOBJ old = SelectObject(memory, canvas);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  GdiFlush();
  std::vector<int> counts;
  for (int part = 0; part < 2; ++part) {
    RECT bounds = {};
    SendMessageA(statusBar, SB_GETRECT, part, reinterpret_cast<LPARAM>(&bounds));
    int dark = 0;
    for (int y = std::max(0L, bounds.top); y < std::min<long>(height, bounds.bottom); ++y) {
      for (int x = std::max(0L, bounds.left); x < std::min<long>(width, bounds.right); ++x) {
        const DWORD pixel = pixels[y * width + x];
        dark += ((pixel >> 16) & 255) + ((pixel >> 8) & 255) + (pixel & 255) < 3 * 96 ? 1 : 0;
      }
    }
    counts.push_back(dark);
  }
  SelectObject(memory, old);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  DeleteObject(canvas);
  return counts;
}

// Maximised, restored, taller and narrower, both texts stay drawn; a narrow
// window cuts part 1 short (its edge is fixed) but shows where its text starts.
TEST_F(MainWindow, StatusTextsStayDrawnWhenTheWindowIsResized) {
  struct Step {
    const char* name;
    int show;  // or 0 for this size
    int width, height;
  };
  const Step steps[] = {{"maximised", SW_MAXIMIZE, 0, 0},
                        {"restored", SW_RESTORE, 0, 0},
                        {"taller", 0, 320, 400},
                        {"narrow", 0, 200, 400}};
  for (const Step& step : steps) {
    if (step.show) ShowWindow(mainWindow, step.show);
    if (!step.show)
      SetWindowPos(mainWindow, nullptr, 0, 0, step.width, step.height, SWP_NOMOVE | SWP_NOZORDER);
    pause(300);
    const std::vector<int> dark = darkPixelsInStatusParts();
    EXPECT_GE(dark[0], 20) << step.name;
    EXPECT_GE(dark[1], 20) << step.name;
  }
}

TEST_F(MainWindow, KeysAndCommandsReachTheirOperationsOwnedByTheWindow) {
  HELPINFO help = {};
  help.cbSize = sizeof help;
  struct Case {
    char altKey;  // or 0 for the message instead
    UINT message;
    WPARAM wParam;
    const char* reached;  // nullptr: nothing
  };
  const Case cases[] = {
      {'p', 0, 0, "onProgramCommand"},
      {'l', 0, 0, "onLaunchCommand"},
      {'c', 0, 0, "onConnectCommand"},  // the port dialog has the same letter; never reached
      {'f', 0, 0, "dialog Flash Programming Setup"},
      {'h', 0, 0, "help QMZK4471.hlp"},
      {'a', 0, 0, "help QMZK4471.hlp About..."},
      {0, WM_COMMAND, CMD_ERASE, "onEraseCommand"},  // on no visible control, but carried out
      {0, WM_COMMAND, CMD_PORT_SETUP, "dialog COM Port Selection"},
      {0, WM_COMMAND, MAKEWPARAM(CMD_CONNECT, BN_CLICKED), "onConnectCommand"},
      {0, WM_HELP, 0, "help QMZK4471.hlp"},
      {0, WM_COMMAND, 611, nullptr},
  };
  for (const Case& c : cases) {
    operationCalls.clear();
    if (c.altKey) {
      EXPECT_EQ(typeWithAlt(c.altKey), 77);
    } else {
      LPARAM lParam = c.message == WM_HELP ? reinterpret_cast<LPARAM>(&help) : 0;
      EXPECT_EQ(SendMessageA(mainWindow, c.message, c.wParam, lParam), 0);
    }
    ASSERT_EQ(operationCalls.size(), c.reached ? 1u : 0u) << c.wParam;
    if (c.reached) {
      EXPECT_EQ(operationCalls[0].name, c.reached);
      EXPECT_EQ(operationCalls[0].owner, mainWindow) << c.reached;
    }
  }

  // Only the lower-case letter with Alt: Shift+Alt+c and a plain c do nothing.
  operationCalls.clear();
  typeWithAlt('c', true);
  PostMessageA(mainWindow, WM_CHAR, 'c', 1);
  runLoop();
  EXPECT_TRUE(operationCalls.empty());

  // Alt+x ends the loop with 0 and leaves the window; closing it ends it too.
  EXPECT_EQ(typeWithAlt('x'), 0);
  EXPECT_EQ(callsOf("disconnectOnExit"), 1);
  EXPECT_TRUE(IsWindow(mainWindow));
  PostMessageA(mainWindow, WM_CLOSE, 0, 0);
  EXPECT_EQ(runLoop(), 0);
  EXPECT_FALSE(IsWindow(mainWindow));
  EXPECT_EQ(callsOf("disconnectOnExit"), 2);
}

// Without the help file, Help, F1 and the toolbar's button open the manual (a
// box names it when the shell cannot); About shows the program's own box.
TEST_F(MainWindow, WithoutTheHelpFileHelpOpensTheManualAndAboutShowsTheVersion) {
  KillTimer(nullptr, dialogCloser);
  ASSERT_TRUE(startCatchingMessageBoxes());
  placeHelpFile(false);
  const std::string manual = besideProgram("manual.html");
  ASSERT_NE(manual.find(":\\"), std::string::npos) << manual;  // a full path
  HELPINFO help = {};
  help.cbSize = sizeof help;

  operationCalls.clear();
  typeWithAlt('h');
  SendMessageA(mainWindow, WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
  SendMessageA(mainWindow, WM_COMMAND, MAKEWPARAM(CMD_HELP_CONTENTS, BN_CLICKED),
               reinterpret_cast<LPARAM>(toolBar));
  ASSERT_EQ(operationCalls.size(), 3u);
  for (const OperationCall& call : operationCalls) {
    EXPECT_EQ(call.name, "shell open " + manual);
    EXPECT_EQ(call.owner, mainWindow);
  }
  EXPECT_TRUE(takeCaughtMessageBoxes().empty());

  operationCalls.clear();
  shellResult = SE_ERR_NOASSOC;
  SendMessageA(mainWindow, WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
  std::vector<CaughtMessageBox> boxes = takeCaughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].text.find(manual), std::string::npos) << boxes[0].text;
  EXPECT_EQ(boxes[0].owner, mainWindow);

  operationCalls.clear();
  typeWithAlt('a');
  EXPECT_TRUE(operationCalls.empty());  // neither the help engine nor the shell
  boxes = takeCaughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "About Vantrel K4471");
  EXPECT_NE(boxes[0].text.find("Version " K4471_VERSION), std::string::npos) << boxes[0].text;
  EXPECT_NE(boxes[0].text.find(manual), std::string::npos) << boxes[0].text;
  EXPECT_EQ(boxes[0].owner, mainWindow);
}

void moveMouseTo(int x, int y) {
  INPUT move = {};
  move.type = INPUT_MOUSE;
  move.mi.dx = (x * 65536 + 32768) / GetSystemMetrics(SM_CXSCREEN);
  move.mi.dy = (y * 65536 + 32768) / GetSystemMetrics(SM_CYSCREEN);
  move.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &move, sizeof move);
}

TEST_F(MainWindow, HoveringOverConnectShowsItsTooltip) {
  SetForegroundWindow(mainWindow);
  RECT connect;
  SendMessageA(toolBar, TB_GETITEMRECT, 3, reinterpret_cast<LPARAM>(&connect));
  MapWindowPoints(toolBar, nullptr, reinterpret_cast<POINT*>(&connect), 2);
  HWND tip = reinterpret_cast<HWND>(SendMessageA(toolBar, TB_GETTOOLTIPS, 0, 0));
  ASSERT_NE(tip, nullptr);
  // Come to rest over the button; the tooltip waits for the mouse to stop.
  moveMouseTo(connect.left + 4, connect.top + 4);
  moveMouseTo(connect.left + 6, connect.top + 6);
  EXPECT_TRUE(pumpMessagesUntil([tip] { return IsWindowVisible(tip) != FALSE; }, 3000));
  EXPECT_EQ(windowText(tip), "Connect to the target");
}

HWND openDialog(const char* name, DLGPROC procedure) {
  HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), name, nullptr, procedure, 0);
  if (dialog) ShowWindow(dialog, SW_SHOW);
  return dialog;
}

// A box as the user sees it: found by its text, not by its id.
void click(HWND dialog, const std::string& label) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (windowText(child) == label) SendMessageA(child, BM_CLICK, 0, 0);
  }
}

std::vector<int> tickedPorts(HWND dialog) {
  std::vector<int> ports;
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    const std::string text = windowText(child);
    const int port = text.rfind("COM", 0) == 0 ? std::atoi(text.c_str() + 3) : 0;
    if (port > 0 && SendMessageA(child, BM_GETCHECK, 0, 0) == BST_CHECKED) ports.push_back(port);
  }
  return ports;
}

void pressKey(HWND dialog, WPARAM key) {
  MSG message = {GetDlgItem(dialog, IDOK), WM_KEYDOWN, key, 1, 0, {0, 0}};
  IsDialogMessageA(dialog, &message);
}

class SettingsDialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    operationCalls.clear();
    serialSettings = DefaultSerialSettings;
    programTarget = flagsFor(ProgramTarget::Application);
    eraseMode = flagsFor(EraseMode::Default);
  }
};

TEST_F(SettingsDialogs, PortDialogTicksOneBoxAndOkReconnectsOnlyOnAChange) {
  // COM5 and COM6 have their ids the other way round.
  for (int port = 1; port <= 10; ++port) {
    serialSettings.portNumber = port;
    HWND dialog = openDialog(PORT_DIALOG_NAME, portDialogProc);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(tickedPorts(dialog), std::vector<int>{port});
    DestroyWindow(dialog);
  }

  // OK stores the port ticked last and reconnects only when it changed; Cancel,
  // Esc and the close box keep the port.
  struct Choice {
    std::vector<const char*> clicks;  // a second click on the ticked box keeps it ticked
    UINT message;                     // how the dialog is left
    WPARAM wParam;
    int port;
    int reconnections;
  };
  const Choice choices[] = {{{"COM3", "COM6", "COM6"}, WM_KEYDOWN, VK_RETURN, 6, 1},
                            {{"COM5"}, WM_KEYDOWN, VK_RETURN, 5, 1},
                            {{"COM5"}, WM_KEYDOWN, VK_RETURN, 5, 0},  // the current port again
                            {{}, WM_KEYDOWN, VK_RETURN, 5, 0},
                            {{"COM7"}, WM_COMMAND, IDCANCEL, 5, 0},
                            {{"COM7"}, WM_KEYDOWN, VK_ESCAPE, 5, 0},
                            {{"COM7"}, WM_CLOSE, 0, 5, 0},
                            {{"COM1"}, WM_KEYDOWN, VK_RETURN, 1, 1}};
  for (const Choice& choice : choices) {
    operationCalls.clear();
    HWND dialog = openDialog(PORT_DIALOG_NAME, portDialogProc);
    for (const char* box : choice.clicks) click(dialog, box);
    const int ticked = choice.clicks.empty() ? choice.port : std::atoi(choice.clicks.back() + 3);
    EXPECT_EQ(tickedPorts(dialog), std::vector<int>{ticked});
    choice.message == WM_KEYDOWN ? pressKey(dialog, choice.wParam)
                                 : void(SendMessageA(dialog, choice.message, choice.wParam, 0));
    pause(50);
    EXPECT_FALSE(IsWindowVisible(dialog));
    DestroyWindow(dialog);
    EXPECT_EQ(serialSettings.portNumber.load(), choice.port);
    ASSERT_EQ(callsOf("onPortChanged"), choice.reconnections) << choice.port;
    // Stored before the reconnection.
    EXPECT_EQ(choice.reconnections ? operationCalls[0].portNumber : choice.port, choice.port);
  }
}

TEST_F(SettingsDialogs, FlashSetupKeepsTheBootloaderChoiceOnlyThroughOk) {
  HWND dialog = openDialog(FLASH_SETUP_DIALOG_NAME, flashSetupDialogProc);
  EXPECT_EQ(IsDlgButtonChecked(dialog, CTL_PROGRAM_APPLICATION), BST_CHECKED);
  click(dialog, "Program New Bootloader");
  click(dialog, "Program New Bootloader");  // clicking the ticked box keeps it
  EXPECT_EQ(IsDlgButtonChecked(dialog, CTL_PROGRAM_APPLICATION), BST_UNCHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dialog, CTL_PROGRAM_BOOTLOADER), BST_CHECKED);
  EXPECT_EQ(programTargetOf(programTarget), ProgramTarget::Application);  // not before OK
  pressKey(dialog, VK_RETURN);
  DestroyWindow(dialog);
  EXPECT_EQ(programTargetOf(programTarget), ProgramTarget::Bootloader);
  EXPECT_EQ(eraseModeOf(eraseMode), EraseMode::Default);

  dialog = openDialog(FLASH_SETUP_DIALOG_NAME, flashSetupDialogProc);
  EXPECT_EQ(IsDlgButtonChecked(dialog, CTL_PROGRAM_BOOTLOADER), BST_CHECKED);
  click(dialog, "Program New Application");
  pressKey(dialog, VK_ESCAPE);
  DestroyWindow(dialog);
  EXPECT_EQ(programTargetOf(programTarget), ProgramTarget::Bootloader);
}

// Drawn over blue at each size, the icon keeps its corner clear and covers its middle.
TEST(Icon, KeepsItsClearCornersAndCoversItsMiddle) {
  const DWORD blue = 0x0000FF;  // 0x00RRGGBB in a DIB
  for (int size : {16, 32, 48}) {
    HICON icon = static_cast<HICON>(
        LoadImageA(GetModuleHandleA(nullptr), APP_ICON_NAME, IMAGE_ICON, size, size, 0));
    ASSERT_NE(icon, nullptr) << size;
    BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), size, -size, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
    DWORD* pixels = nullptr;
    HBITMAP canvas = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS,
                                      reinterpret_cast<void**>(&pixels), nullptr, 0);
    HDC memory = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(memory, canvas);
    std::fill(pixels, pixels + size * size, blue);
    DrawIconEx(memory, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
    GdiFlush();
    EXPECT_EQ(pixels[0] & 0xFFFFFF, blue) << size;
    EXPECT_NE(pixels[(size / 2) * size + size / 2] & 0xFFFFFF, blue) << size;
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(canvas);
    DestroyIcon(icon);
  }
}

}  // namespace
