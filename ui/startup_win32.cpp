#include "ui/startup_win32.h"

#include <commctrl.h>

#include "link/serial_port.h"
#include "operations/app_state.h"
#include "operations/app_state_win32.h"
#include "operations/connection_manager_win32.h"
#include "ui/main_window_win32.h"
#include "ui/resource_ids.h"

namespace {

bool registerMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = 0;
  windowClass.lpfnWndProc = mainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, APP_ICON_NAME);
  windowClass.hIconSm = LoadIconA(instance, APP_ICON_NAME);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
  windowClass.lpszMenuName = MAIN_MENU_NAME;
  windowClass.lpszClassName = MainWindowClassName;
  return RegisterClassExA(&windowClass) != 0;
}

void createMainWindow(HINSTANCE instance) {
  mainWindow = CreateWindowExA(0, MainWindowClassName, MainWindowTitle, WS_OVERLAPPEDWINDOW, 500,
                               350, 320, 100, nullptr, nullptr, instance, nullptr);
  openFileRequest.hwndOwner = mainWindow;
  appInstance = instance;
}

void initCommonControls() {
  INITCOMMONCONTROLSEX controls = {};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_BAR_CLASSES | ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&controls);
}

}  // namespace

void prepareOpenFileRequest() {
  openFileRequest = {};
  // The earlier record layout, without the extension fields.
  openFileRequest.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  openFileRequest.lpstrFilter =
      "Hex Files\0*.hex\0"
      "Firmware images\0*.hex;*.ihx;*.s19;*.srec;*.mot;*.elf\0"
      "All files\0*.*\0";
  openFileRequest.nFilterIndex = 1;
  openFileRequest.lpstrFile = hexFilePath;
  openFileRequest.nMaxFile = HexFilePathSize;
  openFileRequest.lpstrTitle = "Open Hex File";
  openFileRequest.Flags = OFN_FILEMUSTEXIST;
  openFileRequest.lpstrDefExt = "hex";
}

void setStartValues() {
  setOperationsStartValues();
  serialSettings = DefaultSerialSettings;
  prepareOpenFileRequest();
}

bool startUp(HINSTANCE instance, int showCommand, HACCEL* accelerators) {
  setStartValues();
  if (!registerMainWindowClass(instance)) return false;
  createMainWindow(instance);
  *accelerators = LoadAcceleratorsA(instance, MAIN_MENU_NAME);
  initCommonControls();
  initToolbarButtons();
  createToolbar(instance);
  createStatusBar(mainWindow);
  ShowWindow(mainWindow, showCommand);
  UpdateWindow(mainWindow);
  if (connectionState == ConnectionState::Startup) startConnectionThread();
  return true;
}

int runMessageLoop(HACCEL accelerators) {
  MSG message = {};
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (TranslateAcceleratorA(mainWindow, accelerators, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

int runApplication(HINSTANCE instance, int showCommand) {
  HACCEL accelerators = nullptr;
  if (!startUp(instance, showCommand, &accelerators)) return 0;
  return runMessageLoop(accelerators);
}
