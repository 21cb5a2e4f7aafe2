// The two settings dialogs as a user works them, and the resources as they
// come out of the resource compiler.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "link/serial_port.h"
#include "operations/app_state.h"
#include "tests/windows/ui_fakes.h"
#include "ui/resource_ids.h"
#include "ui/settings_dialogs_win32.h"

namespace {

const LANGID German = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);

HWND openDialog(const char* name, DLGPROC procedure) {
  HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), name, nullptr, procedure, 0);
  if (dialog) ShowWindow(dialog, SW_SHOW);
  return dialog;
}

// A box as the user sees it: found by its text, not by its id.
HWND boxLabelled(HWND dialog, const std::string& label) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    char text[64] = {};
    GetWindowTextA(child, text, sizeof text);
    if (label == text) return child;
  }
  return nullptr;
}

void click(HWND dialog, const std::string& label) {
  SendMessageA(boxLabelled(dialog, label), BM_CLICK, 0, 0);
}

// The ports whose boxes are ticked, read from the boxes themselves.
std::vector<int> tickedPorts(HWND dialog) {
  std::vector<int> ports;
  for (int port = 1; port <= 10; ++port) {
    HWND box = boxLabelled(dialog, "COM" + std::to_string(port));
    if (SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED) ports.push_back(port);
  }
  return ports;
}

// Handles what the dialog posted to itself.
void pumpPending() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

void pressKey(HWND dialog, WPARAM key) {
  MSG message = {};
  message.hwnd = GetDlgItem(dialog, IDOK);
  message.message = WM_KEYDOWN;
  message.wParam = key;
  message.lParam = 1;
  IsDialogMessageA(dialog, &message);
}

class SettingsDialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    operationCalls().clear();
    serialSettings = DefaultSerialSettings;
    programTarget = flagsFor(ProgramTarget::Application);
    eraseMode = flagsFor(EraseMode::Default);
  }
};

TEST_F(SettingsDialogs, PortDialogOpensWithTheCurrentPortTickedAlone) {
  for (int port = 1; port <= 10; ++port) {
    serialSettings.portNumber = port;
    HWND dialog = openDialog(PORT_DIALOG_NAME, portDialogProc);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(tickedPorts(dialog), std::vector<int>{port});
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDOK));
    DestroyWindow(dialog);
  }
}

TEST_F(SettingsDialogs, PortBoxesActAsOneRadioGroup) {
  HWND dialog = openDialog(PORT_DIALOG_NAME, portDialogProc);
  click(dialog, "COM3");
  EXPECT_EQ(tickedPorts(dialog), std::vector<int>{3});
  click(dialog, "COM3");  // the ticked box stays ticked
  EXPECT_EQ(tickedPorts(dialog), std::vector<int>{3});
  click(dialog, "COM6");
  EXPECT_EQ(tickedPorts(dialog), std::vector<int>{6});
  EXPECT_EQ(selectedPort, 6);
  DestroyWindow(dialog);
}

TEST_F(SettingsDialogs, OkStoresThePortAndReconnectsOnlyWhenItChanged) {
  // COM5 and COM6 have their ids the other way round.
  const std::pair<const char*, int> choices[] = {{"COM6", 6}, {"COM5", 5}, {"COM10", 10}};
  for (const auto& [label, port] : choices) {
    operationCalls().clear();
    HWND dialog = openDialog(PORT_DIALOG_NAME, portDialogProc);
    click(dialog, label);
    pressKey(dialog, VK_RETURN);
    EXPECT_EQ(serialSettings.portNumber, port);
    ASSERT_EQ(callsOf("onPortChanged"), 1) << label;
    EXPECT_EQ(operationCalls()[0].portNumber, port);  // stored before the reconnection
    EXPECT_FALSE(IsWindowVisible(dialog));
    DestroyWindow(dialog);
  }

  operationCalls().clear();
  HWND dialog = openDialog(PORT_DIALOG_NAME, portDialogProc);
  SendMessageA(dialog, WM_COMMAND, IDOK, 0);  // no click
  DestroyWindow(dialog);
  dialog = openDialog(PORT_DIALOG_NAME, portDialogProc);
  click(dialog, "COM10");  // the current port again
  SendMessageA(dialog, WM_COMMAND, IDOK, 0);
  DestroyWindow(dialog);
  EXPECT_EQ(serialSettings.portNumber, 10);
  EXPECT_EQ(callsOf("onPortChanged"), 0);
}

TEST_F(SettingsDialogs, CancelEscAndTheCloseBoxKeepThePort) {
  serialSettings.portNumber = 2;
  for (int way = 0; way < 3; ++way) {
    HWND dialog = openDialog(PORT_DIALOG_NAME, portDialogProc);
    EXPECT_EQ(tickedPorts(dialog), std::vector<int>{2}) << way;
    click(dialog, "COM7");
    if (way == 0) SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    if (way == 1) pressKey(dialog, VK_ESCAPE);
    if (way == 2) SendMessageA(dialog, WM_CLOSE, 0, 0);
    pumpPending();
    EXPECT_FALSE(IsWindowVisible(dialog)) << way;
    DestroyWindow(dialog);
  }
  EXPECT_EQ(serialSettings.portNumber, 2);
  EXPECT_EQ(callsOf("onPortChanged"), 0);
}

TEST_F(SettingsDialogs, FlashSetupKeepsTheBootloaderChoiceOnlyThroughOk) {
  HWND dialog = openDialog(FLASH_SETUP_DIALOG_NAME, flashSetupDialogProc);
  EXPECT_EQ(IsDlgButtonChecked(dialog, CTL_PROGRAM_APPLICATION), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dialog, CTL_PROGRAM_BOOTLOADER), BST_UNCHECKED);
  click(dialog, "Program New Bootloader");
  click(dialog, "Program New Bootloader");  // clicking the ticked box keeps it
  EXPECT_EQ(IsDlgButtonChecked(dialog, CTL_PROGRAM_APPLICATION), BST_UNCHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dialog, CTL_PROGRAM_BOOTLOADER), BST_CHECKED);
  EXPECT_EQ(programTargetOf(programTarget), ProgramTarget::Application);  // not before OK
  pressKey(dialog, VK_RETURN);
  DestroyWindow(dialog);
  EXPECT_EQ(programTarget.application, 0);
  EXPECT_EQ(programTarget.bootloader, 1);

  dialog = openDialog(FLASH_SETUP_DIALOG_NAME, flashSetupDialogProc);
  EXPECT_EQ(IsDlgButtonChecked(dialog, CTL_PROGRAM_BOOTLOADER), BST_CHECKED);
  click(dialog, "Program New Application");
  pressKey(dialog, VK_ESCAPE);
  DestroyWindow(dialog);
  EXPECT_EQ(programTargetOf(programTarget), ProgramTarget::Bootloader);

  // The erase options are never shown or usable, and stay Default.
  for (int i = 0; i < 3; ++i) {
    dialog = openDialog(FLASH_SETUP_DIALOG_NAME, flashSetupDialogProc);
    for (int id : {CTL_ERASE_GROUP, CTL_ERASE_DEFAULT, CTL_ERASE_ENTIRE}) {
      EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, id))) << id;
      EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, id))) << id;
    }
    SendMessageA(dialog, WM_COMMAND, IDOK, 0);
    DestroyWindow(dialog);
  }
  EXPECT_EQ(eraseMode.defaultErase, 1);
  EXPECT_EQ(eraseMode.entireFlash, 0);
}

// --- Resources -------------------------------------------------------------

const void* germanResource(const char* type, const char* name) {
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC found = FindResourceExA(module, type, name, German);
  return found ? LockResource(LoadResource(module, found)) : nullptr;
}

TEST(Resources, IconHoldsItsFiveImagesAndAllResourcesAreGerman) {
#pragma pack(push, 2)
  struct GroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
  };
#pragma pack(pop)
  auto* group = static_cast<const WORD*>(germanResource(RT_GROUP_ICON, APP_ICON_NAME));
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(group[2], 5);
  auto* entries = reinterpret_cast<const GroupEntry*>(group + 3);
  const int expected[5][3] = {{16, 16, 4}, {16, 16, 8}, {32, 32, 4}, {32, 32, 8}, {48, 48, 32}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(entries[i].width, expected[i][0]) << i;
    EXPECT_EQ(entries[i].height, expected[i][1]) << i;
    EXPECT_EQ(entries[i].bitCount, expected[i][2]) << i;
    EXPECT_NE(FindResourceExA(GetModuleHandleA(nullptr), RT_ICON, MAKEINTRESOURCEA(entries[i].id),
                              German),
              nullptr);
  }
  EXPECT_NE(germanResource(RT_MENU, MAIN_MENU_NAME), nullptr);

  // Drawn over blue, each image leaves its clear corner blue and covers its
  // middle.
  const DWORD blue = 0x0000FF;  // 0x00RRGGBB in a DIB
  for (int i = 0; i < 5; ++i) {
    HRSRC found = FindResourceExA(GetModuleHandleA(nullptr), RT_ICON,
                                  MAKEINTRESOURCEA(entries[i].id), German);
    ASSERT_NE(found, nullptr);
    auto* bits = static_cast<BYTE*>(LockResource(LoadResource(nullptr, found)));
    const int size = entries[i].width;
    HICON icon = CreateIconFromResourceEx(bits, SizeofResource(nullptr, found), TRUE, 0x00030000,
                                          size, size, 0);
    ASSERT_NE(icon, nullptr) << i;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = size;
    info.bmiHeader.biHeight = -size;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    DWORD* pixels = nullptr;
    HBITMAP canvas = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS,
                                      reinterpret_cast<void**>(&pixels), nullptr, 0);
    HDC memory = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(memory, canvas);
    for (int p = 0; p < size * size; ++p) pixels[p] = blue;
    DrawIconEx(memory, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
    GdiFlush();
    EXPECT_EQ(pixels[0] & 0xFFFFFF, blue) << "image " << i;
    EXPECT_NE(pixels[(size / 2) * size + size / 2] & 0xFFFFFF, blue) << "image " << i;
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(canvas);
    DestroyIcon(icon);
  }
  EXPECT_NE(germanResource(RT_ACCELERATOR, MAIN_MENU_NAME), nullptr);
  EXPECT_NE(germanResource(RT_BITMAP, MAKEINTRESOURCEA(TOOLBAR_BITMAP)), nullptr);
}

}  // namespace
