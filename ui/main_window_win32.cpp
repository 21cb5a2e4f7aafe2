#include "ui/main_window_win32.h"

#include "operations/app_state_win32.h"
#include "operations/connection_manager_win32.h"
#include "operations/erase_run_win32.h"
#include "operations/program_run_win32.h"
#include "ui/help_win32.h"
#include "ui/resource_ids.h"
#include "ui/settings_dialogs_win32.h"

TBBUTTON toolbarButtons[ToolbarButtonCount];
int statusPartEdges[2];

namespace {

struct Tooltip {
  UINT_PTR id;
  const char* text;
};

const Tooltip tooltips[] = {
    {CMD_PROGRAM, "Program the target flash"},          {CMD_ERASE, "Erases the target flash"},
    {CMD_LAUNCH, "Launch the target application"},      {CMD_CONNECT, "Connect to the target"},
    {CMD_HELP_CONTENTS, "Flash Programming Tool Help"},
};

TBBUTTON toolbarButton(int image, int command, BYTE state, BYTE style) {
  TBBUTTON button = {};
  button.iBitmap = image;
  button.idCommand = command;
  button.fsState = state;
  button.fsStyle = style;
  return button;
}

LRESULT onMainCommand(HWND window, WORD id) {
  switch (id) {
    case CMD_PROGRAM:
      onProgramCommand(window);
      break;
    case CMD_ERASE:
      onEraseCommand(window);
      break;
    case CMD_LAUNCH:
      onLaunchCommand(window);
      break;
    case CMD_CONNECT:
      onConnectCommand(window);
      break;
    case CMD_EXIT:
      // The window stays; the loop ends and the process with it.
      disconnectOnExit();
      PostQuitMessage(0);
      break;
    case CMD_PORT_SETUP:
      DialogBoxParamA(appInstance, PORT_DIALOG_NAME, window, portDialogProc, 0);
      break;
    case CMD_FLASH_SETUP:
      DialogBoxParamA(appInstance, FLASH_SETUP_DIALOG_NAME, window, flashSetupDialogProc, 0);
      break;
    case CMD_HELP_CONTENTS:
      showHelpContents(window);
      break;
    case CMD_ABOUT:
      showAbout(window);
      break;
    case CMD_LINK_LOST:
      return onLinkLost();
    default:
      break;
  }
  return 0;
}

// The toolbar's tooltips ask for their text by command id; the request is
// pointed at the constant text.
LRESULT onMainNotify(NMHDR* header) {
  if (header->code != TTN_NEEDTEXTA) return 0;
  auto* request = reinterpret_cast<TOOLTIPTEXTA*>(header);
  const char* text = tooltipTextFor(request->hdr.idFrom);
  if (text) request->lpszText = const_cast<char*>(text);
  return 0;
}

LRESULT onMainHelp(HWND window) {
  showHelpContents(window);
  return 0;
}

// The toolbar and the status bar place themselves along the top and the
// bottom; the status bar's part edges stay as they were. Moved, the status bar
// keeps its old pixels and redraws only where it grew, yet the window (which
// does not clip its children) paints its background over all it newly shows,
// the bar's new place included: so the whole bar is drawn again after it.
LRESULT onMainSize(WPARAM wParam, LPARAM lParam) {
  SendMessageA(toolBar, WM_SIZE, wParam, lParam);
  SendMessageA(statusBar, WM_SIZE, wParam, lParam);
  InvalidateRect(statusBar, nullptr, TRUE);
  return 0;
}

LRESULT onMainDestroy() {
  disconnectOnExit();
  PostQuitMessage(0);
  return 0;
}

}  // namespace

const char* tooltipTextFor(UINT_PTR id) {
  for (const Tooltip& tooltip : tooltips) {
    if (tooltip.id == id) return tooltip.text;
  }
  return nullptr;
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      return onMainCommand(window, LOWORD(wParam));
    case WM_NOTIFY:
      return onMainNotify(reinterpret_cast<NMHDR*>(lParam));
    case WM_HELP:
      return onMainHelp(window);
    case WM_SIZE:
      return onMainSize(wParam, lParam);
    case WM_DESTROY:
      return onMainDestroy();
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

void initToolbarButtons() {
  toolbarButtons[0] = toolbarButton(0, CMD_PROGRAM, TBSTATE_ENABLED, TBSTYLE_BUTTON);
  toolbarButtons[1] = toolbarButton(1, CMD_ERASE, TBSTATE_HIDDEN, TBSTYLE_BUTTON);
  toolbarButtons[2] = toolbarButton(2, CMD_LAUNCH, TBSTATE_ENABLED, TBSTYLE_BUTTON);
  toolbarButtons[3] = toolbarButton(3, CMD_CONNECT, TBSTATE_ENABLED, TBSTYLE_BUTTON);
  toolbarButtons[4] = toolbarButton(0, 0, TBSTATE_ENABLED, TBSTYLE_SEP);
  toolbarButtons[5] = toolbarButton(4, CMD_HELP_CONTENTS, TBSTATE_ENABLED, TBSTYLE_BUTTON);
}

void createToolbar(HINSTANCE instance) {
  toolBar =
      CreateToolbarEx(mainWindow, WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS,
                      TOOLBAR_CONTROL_ID, ToolbarImageCount, instance, TOOLBAR_BITMAP,
                      toolbarButtons, ToolbarButtonCount, ToolbarButtonWidth, ToolbarButtonHeight,
                      ToolbarImageWidth, ToolbarImageHeight, sizeof(TBBUTTON));
}

void createStatusBar(HWND parent) {
  RECT client;
  GetClientRect(parent, &client);
  const int half = (client.right - client.left) / 2;
  statusPartEdges[0] = half;
  statusPartEdges[1] = 2 * half;

  statusBar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent,
                              nullptr, appInstance, nullptr);
  SendMessageA(statusBar, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(statusPartEdges));
  SendMessageA(statusBar, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>("NOT CONNECTED"));
  SendMessageA(statusBar, SB_SETTEXTA, 1, reinterpret_cast<LPARAM>("Please Reset Target"));
}
