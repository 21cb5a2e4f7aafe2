// The main window in this process, its operations replaced by recording
// fakes: what start-up creates, where each command and key goes, the toolbar,
// its tooltips and the status bar.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cctype>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "operations/app_state.h"
#include "operations/app_state_win32.h"
#include "tests/windows/ui_fakes.h"
#include "ui/main_window_win32.h"
#include "ui/resource_ids.h"
#include "ui/startup_win32.h"

namespace {

std::vector<std::string> dialogsSeen;

BOOL CALLBACK cancelDialog(HWND window, LPARAM) {
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::string(name) == "#32770" && IsWindowVisible(window)) {
    char caption[128] = {};
    GetWindowTextA(window, caption, sizeof caption);
    dialogsSeen.push_back(caption);
    PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
  }
  return TRUE;
}

// Closes every dialog of this thread as it shows up, noting its caption.
void CALLBACK cancelOpenDialogs(HWND, UINT, UINT_PTR, DWORD) {
  EnumThreadWindows(GetCurrentThreadId(), cancelDialog, 0);
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
    operationCalls().clear();
    helpCalls().clear();
    dialogsSeen.clear();
    openHelp = recordHelp;
    ASSERT_TRUE(startUp(GetModuleHandleA(nullptr), SW_SHOWNORMAL, &accelerators));
    dialogCloser = SetTimer(nullptr, 0, 50, cancelOpenDialogs);
  }

  void TearDown() override {
    KillTimer(nullptr, dialogCloser);
    if (IsWindow(mainWindow)) DestroyWindow(mainWindow);
    dropQuitMessage();
    DestroyAcceleratorTable(accelerators);
    UnregisterClassA(MainWindowClassName, GetModuleHandleA(nullptr));
    mainWindow = toolBar = statusBar = nullptr;
  }

  // Runs the message loop until it ends by itself (its exit code) or has
  // nothing more to do (77).
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

  LRESULT command(WPARAM wParam) { return SendMessageA(mainWindow, WM_COMMAND, wParam, 0); }

  std::string statusText(int part) {
    char text[128] = {};
    SendMessageA(statusBar, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(text));
    return text;
  }

  HACCEL accelerators = nullptr;
  UINT_PTR dialogCloser = 0;
};

std::string menuText(HMENU menu, int position) {
  char text[64] = {};
  GetMenuStringA(menu, position, text, sizeof text, MF_BYPOSITION);
  return text;
}

TEST_F(MainWindow, StartsAsTabledWithTheFirstConnectionAttempt) {
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  ASSERT_TRUE(GetClassInfoExA(GetModuleHandleA(nullptr), "kv7fpt", &windowClass));
  EXPECT_EQ(windowClass.style, 0u);
  EXPECT_EQ(windowClass.lpfnWndProc, mainWindowProc);
  EXPECT_EQ(windowClass.hbrBackground, GetStockObject(LTGRAY_BRUSH));
  EXPECT_NE(windowClass.hIcon, nullptr);
  EXPECT_NE(windowClass.hIconSm, nullptr);

  char title[64] = {};
  GetWindowTextA(mainWindow, title, sizeof title);
  EXPECT_STREQ(title, "Vantrel K4471");
  EXPECT_EQ(GetWindowLongA(mainWindow, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
  EXPECT_TRUE(IsWindowVisible(mainWindow));
  RECT frame;
  GetWindowRect(mainWindow, &frame);
  EXPECT_EQ(frame.left, 500);
  EXPECT_EQ(frame.top, 350);
  EXPECT_EQ(frame.right - frame.left, 320);
  EXPECT_EQ(frame.bottom - frame.top, 100);
  EXPECT_EQ(appInstance, GetModuleHandleA(nullptr));

  EXPECT_EQ(callsOf("startConnectionThread"), 1);
  EXPECT_EQ(connectionState, ConnectionState::Startup);
  EXPECT_EQ(serialSettings.portNumber, 1);
  EXPECT_EQ(serialSettings.baudRate, 115200);
  EXPECT_EQ(programTargetOf(programTarget), ProgramTarget::Application);
  EXPECT_EQ(eraseModeOf(eraseMode), EraseMode::Default);

  // The Program command's open-file request, owned by the window.
  EXPECT_EQ(openFileRequest.lStructSize, 76u);
  EXPECT_EQ(openFileRequest.hwndOwner, mainWindow);
  EXPECT_EQ(openFileRequest.lpstrFile, hexFilePath);
}

TEST_F(MainWindow, MenuAndAcceleratorsAreInTheirTabledOrder) {
  HMENU bar = GetMenu(mainWindow);
  ASSERT_EQ(GetMenuItemCount(bar), 3);
  EXPECT_EQ(menuText(bar, 0), "Commands");
  EXPECT_EQ(menuText(bar, 1), "COM Port Selection");
  EXPECT_EQ(GetMenuItemID(bar, 1), static_cast<UINT>(CMD_PORT_SETUP));
  EXPECT_EQ(menuText(bar, 2), "Help");

  struct Item {
    int menu;
    const char* text;
    UINT id;
  };
  const Item items[] = {{0, "&Program Target", CMD_PROGRAM},
                        {0, "&Launch Target Application", CMD_LAUNCH},
                        {0, "&Connect to Target", CMD_CONNECT},
                        {0, "E&xit", CMD_EXIT},
                        {2, "&About...", CMD_ABOUT},
                        {2, "Contents", CMD_HELP_CONTENTS}};
  int position[3] = {};
  for (const Item& item : items) {
    HMENU popup = GetSubMenu(bar, item.menu);
    int at = position[item.menu]++;
    EXPECT_EQ(menuText(popup, at), item.text);
    EXPECT_EQ(GetMenuItemID(popup, at), item.id);
    EXPECT_EQ(GetMenuState(popup, at, MF_BYPOSITION), 0u) << item.text;  // not greyed, ticked
  }
  EXPECT_EQ(GetMenuItemCount(GetSubMenu(bar, 0)), 4);
  EXPECT_EQ(GetMenuItemCount(GetSubMenu(bar, 2)), 2);

  ACCEL table[16];
  ASSERT_EQ(CopyAcceleratorTableA(accelerators, table, 16), 8);
  const char keys[] = "plcxcfha";
  const WORD commands[] = {CMD_PROGRAM,    CMD_LAUNCH,      CMD_CONNECT,       CMD_EXIT,
                           CMD_PORT_SETUP, CMD_FLASH_SETUP, CMD_HELP_CONTENTS, CMD_ABOUT};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(table[i].fVirt, FALT) << i;  // a character entry with Alt
    EXPECT_EQ(table[i].key, keys[i]) << i;
    EXPECT_EQ(table[i].cmd, commands[i]) << i;
  }
}

TEST_F(MainWindow, AltKeysReachTheirCommandsAndAltCNeverThePortDialog) {
  EXPECT_EQ(typeWithAlt('c'), 77);
  EXPECT_EQ(callsOf("onConnectCommand"), 1);
  EXPECT_TRUE(dialogsSeen.empty());

  typeWithAlt('p');
  typeWithAlt('l');
  EXPECT_EQ(callsOf("onProgramCommand"), 1);
  EXPECT_EQ(callsOf("onLaunchCommand"), 1);
  EXPECT_EQ(operationCalls().back().owner, mainWindow);

  typeWithAlt('f');
  EXPECT_EQ(dialogsSeen, std::vector<std::string>{"Flash Programming Setup"});

  typeWithAlt('h');
  typeWithAlt('a');
  ASSERT_EQ(helpCalls().size(), 2u);
  EXPECT_EQ(helpCalls()[0].file, "QMZK4471.hlp");
  EXPECT_EQ(helpCalls()[0].command, static_cast<UINT>(HELP_FORCEFILE));
  EXPECT_EQ(helpCalls()[1].command, static_cast<UINT>(HELP_KEY));
  EXPECT_EQ(helpCalls()[1].keyword, "About...");

  // Only the lower-case letter with Alt: Shift+Alt+c and a plain c do nothing.
  const size_t before = operationCalls().size();
  typeWithAlt('c', true);
  PostMessageA(mainWindow, WM_CHAR, 'c', 1);
  runLoop();
  EXPECT_EQ(operationCalls().size(), before);

  // Alt+x ends the loop with 0 and leaves the window in place.
  EXPECT_EQ(typeWithAlt('x'), 0);
  EXPECT_EQ(callsOf("disconnectOnExit"), 1);
  EXPECT_TRUE(IsWindow(mainWindow));
}

TEST_F(MainWindow, EveryCommandIdGoesToItsOperation) {
  command(CMD_ERASE);                            // issued by no visible control, but carried out
  command(MAKEWPARAM(CMD_CONNECT, BN_CLICKED));  // the notification code is not examined
  EXPECT_EQ(command(CMD_LINK_LOST), 1);
  EXPECT_EQ(command(611), 0);
  EXPECT_EQ(command(9999), 0);
  ASSERT_EQ(operationCalls().size(), 4u);  // the start-up's connection thread, then these
  EXPECT_EQ(operationCalls()[1].name, "onEraseCommand");
  EXPECT_EQ(operationCalls()[1].owner, mainWindow);
  EXPECT_EQ(operationCalls()[2].name, "onConnectCommand");
  EXPECT_EQ(operationCalls()[3].name, "onLinkLost");

  command(CMD_PORT_SETUP);
  command(CMD_FLASH_SETUP);
  EXPECT_EQ(dialogsSeen,
            (std::vector<std::string>{"COM Port Selection", "Flash Programming Setup"}));

  HELPINFO help = {};
  help.cbSize = sizeof help;
  EXPECT_EQ(SendMessageA(mainWindow, WM_HELP, 0, reinterpret_cast<LPARAM>(&help)), 0);
  ASSERT_EQ(helpCalls().size(), 1u);
  EXPECT_EQ(helpCalls()[0].command, static_cast<UINT>(HELP_FORCEFILE));
  EXPECT_EQ(helpCalls()[0].window, mainWindow);
}

TEST_F(MainWindow, ToolbarShowsProgramLaunchConnectGapHelpWithWholePictures) {
  EXPECT_EQ(GetDlgCtrlID(toolBar), TOOLBAR_CONTROL_ID);
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(toolBar, GWL_STYLE)) & 0x50000900u, 0x50000900u);
  ASSERT_EQ(SendMessageA(toolBar, TB_BUTTONCOUNT, 0, 0), 6);
  struct Button {
    int image, command;
    BYTE state, style;
  };
  const Button expected[] = {{0, CMD_PROGRAM, TBSTATE_ENABLED, TBSTYLE_BUTTON},
                             {1, CMD_ERASE, TBSTATE_HIDDEN, TBSTYLE_BUTTON},
                             {2, CMD_LAUNCH, TBSTATE_ENABLED, TBSTYLE_BUTTON},
                             {3, CMD_CONNECT, TBSTATE_ENABLED, TBSTYLE_BUTTON},
                             {0, 0, TBSTATE_ENABLED, TBSTYLE_SEP},
                             {4, CMD_HELP_CONTENTS, TBSTATE_ENABLED, TBSTYLE_BUTTON}};
  for (int i = 0; i < 6; ++i) {
    TBBUTTON button = {};
    SendMessageA(toolBar, TB_GETBUTTON, i, reinterpret_cast<LPARAM>(&button));
    EXPECT_EQ(button.idCommand, expected[i].command) << i;
    EXPECT_EQ(button.fsState, expected[i].state) << i;
    EXPECT_EQ(button.fsStyle, expected[i].style) << i;
    if (expected[i].style == TBSTYLE_SEP) continue;
    EXPECT_EQ(button.iBitmap, expected[i].image) << i;
  }

  // The toolbar cuts the strip at its button size: every picture lies in its
  // own 20 x 18 cell and every visible button is large enough to show it.
  int width = 0, height = 0;
  HIMAGELIST pictures = reinterpret_cast<HIMAGELIST>(SendMessageA(toolBar, TB_GETIMAGELIST, 0, 0));
  ASSERT_TRUE(ImageList_GetIconSize(pictures, &width, &height));
  EXPECT_EQ(width, 20);
  EXPECT_EQ(height, 18);
  EXPECT_GE(ImageList_GetImageCount(pictures), 5);
  for (int i : {0, 2, 3, 5}) {
    RECT cell;
    ASSERT_TRUE(SendMessageA(toolBar, TB_GETITEMRECT, i, reinterpret_cast<LPARAM>(&cell)));
    EXPECT_GE(cell.right - cell.left, width) << i;
    EXPECT_GE(cell.bottom - cell.top, height) << i;
  }
}

TEST_F(MainWindow, TooltipsNameEachButtonAndNoneForOtherIds) {
  const std::pair<UINT_PTR, const char*> texts[] = {
      {CMD_PROGRAM, "Program the target flash"},
      {CMD_ERASE, "Erases the target flash"},
      {CMD_LAUNCH, "Launch the target application"},
      {CMD_CONNECT, "Connect to the target"},
      {CMD_HELP_CONTENTS, "Flash Programming Tool Help"},
      {0, nullptr},  // the separator
      {CMD_EXIT, nullptr}};
  char untouched[] = "as the platform filled it";
  for (const auto& [id, text] : texts) {
    TOOLTIPTEXTA request = {};
    request.hdr = {toolBar, id, TTN_NEEDTEXTA};
    request.lpszText = untouched;
    EXPECT_EQ(SendMessageA(mainWindow, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&request)), 0);
    EXPECT_STREQ(request.lpszText, text ? text : untouched) << id;
  }
}

// What the main window answered to the tooltip requests that reached it.
WNDPROC originalProc = nullptr;
std::vector<std::string> tooltipAnswers;

LRESULT CALLBACK spyOnTooltips(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = CallWindowProcA(originalProc, window, message, wParam, lParam);
  auto* header = reinterpret_cast<NMHDR*>(lParam);
  if (message == WM_NOTIFY && header->code == TTN_NEEDTEXTA) {
    const char* text = reinterpret_cast<TOOLTIPTEXTA*>(lParam)->lpszText;
    tooltipAnswers.push_back(text ? text : "");
  }
  return result;
}

// Moves the mouse as the hardware would, to a point on the screen.
void moveMouseTo(int x, int y) {
  INPUT move = {};
  move.type = INPUT_MOUSE;
  move.mi.dx = (x * 65536 + 32768) / GetSystemMetrics(SM_CXSCREEN);
  move.mi.dy = (y * 65536 + 32768) / GetSystemMetrics(SM_CYSCREEN);
  move.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &move, sizeof move);
}

TEST_F(MainWindow, HoveringOverConnectShowsItsTooltip) {
  tooltipAnswers.clear();
  originalProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(mainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(spyOnTooltips)));
  SetForegroundWindow(mainWindow);
  RECT connect;
  SendMessageA(toolBar, TB_GETITEMRECT, 3, reinterpret_cast<LPARAM>(&connect));
  MapWindowPoints(toolBar, nullptr, reinterpret_cast<POINT*>(&connect), 2);
  HWND tip = reinterpret_cast<HWND>(SendMessageA(toolBar, TB_GETTOOLTIPS, 0, 0));
  ASSERT_NE(tip, nullptr);
  // Come to rest over the button; the tooltip waits for the mouse to stop.
  moveMouseTo(connect.left + 4, connect.top + 4);
  moveMouseTo(connect.left + 6, connect.top + 6);
  for (int i = 0; i < 60 && !IsWindowVisible(tip); ++i) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(50);
  }
  EXPECT_TRUE(IsWindowVisible(tip));
  ASSERT_FALSE(tooltipAnswers.empty());
  EXPECT_EQ(tooltipAnswers.back(), "Connect to the target");
  SetWindowLongPtrA(mainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(originalProc));
}

TEST_F(MainWindow, StatusBarSplitsTheStartWidthAndStaysPutOnResize) {
  RECT client;
  GetClientRect(mainWindow, &client);
  const int half = client.right / 2;
  int edges[4] = {};
  ASSERT_EQ(SendMessageA(statusBar, SB_GETPARTS, 4, reinterpret_cast<LPARAM>(edges)), 2);
  EXPECT_EQ(edges[0], half);
  EXPECT_EQ(edges[1], 2 * half);
  EXPECT_EQ(statusText(0), "NOT CONNECTED");
  EXPECT_EQ(statusText(1), "Please Reset Target");
  EXPECT_EQ(HIWORD(SendMessageA(statusBar, SB_GETTEXTLENGTHA, 0, 0)), 0);  // default border

  SetWindowPos(mainWindow, nullptr, 0, 0, 640, 300, SWP_NOMOVE | SWP_NOZORDER);
  GetClientRect(mainWindow, &client);
  RECT bar, status;
  GetWindowRect(toolBar, &bar);
  GetWindowRect(statusBar, &status);
  MapWindowPoints(nullptr, mainWindow, reinterpret_cast<POINT*>(&bar), 2);
  MapWindowPoints(nullptr, mainWindow, reinterpret_cast<POINT*>(&status), 2);
  EXPECT_EQ(bar.top, 0);
  EXPECT_EQ(bar.right - bar.left, client.right);
  EXPECT_EQ(status.bottom, client.bottom);
  EXPECT_EQ(status.right - status.left, client.right);
  SendMessageA(statusBar, SB_GETPARTS, 4, reinterpret_cast<LPARAM>(edges));
  EXPECT_EQ(edges[0], half);
}

TEST_F(MainWindow, ClosingTheWindowDisconnectsOnceAndEndsTheLoopWithZero) {
  PostMessageA(mainWindow, WM_CLOSE, 0, 0);
  EXPECT_EQ(runLoop(), 0);
  EXPECT_FALSE(IsWindow(mainWindow));
  EXPECT_EQ(callsOf("disconnectOnExit"), 1);
}

}  // namespace
