// The shipped k4471.exe programming the simulated target on COM1, worked from
// outside as a user would: it connects when the target calls, Alt+p opens
// the open-file dialog, the path is typed and Enter pressed, the success box
// is read and closed with Enter, and the target's flash then holds the file.
//
// With K4471_SHOTS_DIR set (a Windows path), the run is paced at 9600 baud
// and the main window, connected, and the progress dialog, mid-run, are saved
// there as bitmaps.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/windows/ops_support.h"
#include "tests/windows/wintest_support.h"

namespace {

constexpr uint32_t ApplicationBase = 0x4000;

std::string toolPath() {
  std::string path = std::string("Z:") + K4471_EXE_PATH;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

struct Search {
  DWORD processId;
  const char* className;
  const char* caption;
  HWND found;
};

BOOL CALLBACK findWindowOfProcess(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  char name[64] = {}, caption[128] = {};
  GetClassNameA(window, name, sizeof name);
  GetWindowTextA(window, caption, sizeof caption);
  if (owner == search->processId && IsWindowVisible(window) &&
      std::string(name) == search->className && std::string(caption) == search->caption) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND waitForWindow(DWORD processId, const char* className, const char* caption, int timeoutMs) {
  Search search = {processId, className, caption, nullptr};
  for (int waited = 0; waited <= timeoutMs && !search.found; waited += 50) {
    EnumWindows(findWindowOfProcess, reinterpret_cast<LPARAM>(&search));
    if (!search.found) Sleep(50);
  }
  return search.found;
}

// A status bar part of the tool, read through a buffer in its own memory.
std::string statusPartOf(HANDLE process, HWND statusBar, int part) {
  char text[256] = {};
  void* remote = VirtualAllocEx(process, nullptr, sizeof text, MEM_COMMIT, PAGE_READWRITE);
  if (!remote) return "";
  if (LOWORD(SendMessageA(statusBar, SB_GETTEXTLENGTHA, part, 0)) < sizeof text) {
    SendMessageA(statusBar, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(remote));
    ReadProcessMemory(process, remote, text, sizeof text - 1, nullptr);
  }
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return text;
}

std::string textOf(HWND window) {
  char text[512] = {};
  SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

void sendKeys(const std::vector<INPUT>& keys) {
  SendInput(static_cast<UINT>(keys.size()), const_cast<INPUT*>(keys.data()), sizeof(INPUT));
  Sleep(100);
}

INPUT key(WORD virtualKey, bool up) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = virtualKey;
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  return input;
}

void pressAltWith(WORD letter) {
  sendKeys({key(VK_MENU, false), key(letter, false), key(letter, true), key(VK_MENU, true)});
}

void pressKey(WORD virtualKey) {
  sendKeys({key(virtualKey, false), key(virtualKey, true)});
}

void typeText(const std::string& text) {
  std::vector<INPUT> keys;
  for (char c : text) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wScan = static_cast<WORD>(static_cast<unsigned char>(c));
    input.ki.dwFlags = KEYEVENTF_UNICODE;
    keys.push_back(input);
    input.ki.dwFlags |= KEYEVENTF_KEYUP;
    keys.push_back(input);
  }
  sendKeys(keys);
}

void bringForward(HWND window) {
  SetForegroundWindow(window);
  Sleep(200);
}

// Saves the screen inside `area` as a 32-bit bitmap.
void saveScreen(RECT area, const std::string& path) {
  const int width = area.right - area.left, height = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  SelectObject(memory, old);
  std::vector<DWORD> pixels(static_cast<size_t>(width) * height);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  GetDIBits(memory, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return;
  BITMAPFILEHEADER header = {};
  header.bfType = 0x4D42;
  header.bfOffBits = sizeof header + sizeof info.bmiHeader;
  header.bfSize = header.bfOffBits + static_cast<DWORD>(pixels.size() * 4);
  std::fwrite(&header, sizeof header, 1, file);
  std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, file);
  std::fwrite(pixels.data(), 4, pixels.size(), file);
  std::fclose(file);
}

RECT around(HWND first, HWND second) {
  RECT a, b, both;
  GetWindowRect(first, &a);
  GetWindowRect(second ? second : first, &b);
  UnionRect(&both, &a, &b);
  InflateRect(&both, 8, 8);
  return both;
}

TEST(ShippedToolOperations, ProgramsTheTargetThroughTheOpenFileDialogAndTheSuccessBox) {
  const char* shots = std::getenv("K4471_SHOTS_DIR");
  // A paced run lasts long enough to be seen mid-way.
  const std::vector<uint8_t> image = patternBytes(shots ? 12 * 1024 : 1021, 5);
  const std::string file = writeHexFile("blink.hex", ApplicationBase, image);
  ASSERT_FALSE(file.empty());
  if (shots) {
    ASSERT_TRUE(simCommand(1, "set baud 9600"));
  }

  std::string commandLine = "\"" + toolPath() + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION tool = {};
  ASSERT_TRUE(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &tool));
  HWND window = waitForWindow(tool.dwProcessId, "kv7fpt", "Vantrel K4471", 15000);
  ASSERT_NE(window, nullptr);
  HWND statusBar = FindWindowExA(window, nullptr, STATUSCLASSNAMEA, nullptr);
  ASSERT_NE(statusBar, nullptr);

  // The target calls every 50 ms: connected soon after start-up.
  bool connected = false;
  for (int i = 0; i < 200 && !connected; ++i) {
    connected = statusPartOf(tool.hProcess, statusBar, 0) == "CONNECTED COM1" &&
                statusPartOf(tool.hProcess, statusBar, 1) == "115200 8-N-1";
    if (!connected) Sleep(50);
  }
  ASSERT_TRUE(connected) << statusPartOf(tool.hProcess, statusBar, 0);
  if (shots) {
    Sleep(300);
    saveScreen(around(window, nullptr), std::string(shots) + "\\main-window-connected.bmp");
  }

  bringForward(window);
  pressAltWith('P');
  HWND openDialog = waitForWindow(tool.dwProcessId, "#32770", "Open Hex File", 15000);
  ASSERT_NE(openDialog, nullptr) << "Alt+p did not open the open-file dialog";
  bringForward(openDialog);
  typeText(file);
  pressKey(VK_RETURN);

  if (shots) {
    HWND progress = waitForWindow(tool.dwProcessId, "#32770", "Programming Application", 10000);
    ASSERT_NE(progress, nullptr);
    Sleep(4000);
    saveScreen(around(window, progress), std::string(shots) + "\\progress-mid-run.bmp");
  }

  HWND box = waitForWindow(tool.dwProcessId, "#32770", "Programming Operation Complete",
                           shots ? 60000 : 20000);
  ASSERT_NE(box, nullptr) << "no success box";
  EXPECT_EQ(textOf(GetDlgItem(box, 0xFFFF)), "Target Flash has been successfully programmed.");
  // Still open behind the box: the progress dialog.
  EXPECT_NE(waitForWindow(tool.dwProcessId, "#32770", "Programming Application", 0), nullptr);
  bringForward(box);
  pressKey(VK_RETURN);
  for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(50);
  EXPECT_FALSE(IsWindow(box));

  const std::vector<uint8_t> flash = simMemory(1);
  ASSERT_GE(flash.size(), ApplicationBase + image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + ApplicationBase))
      << "the target's flash differs from the file";

  // Alt+x while connected: the target is launched, the tool ends with 0.
  const size_t logStart = simLog(1).size();
  Sleep(300);  // the progress dialog is gone and the main window takes keys again
  bringForward(window);
  pressAltWith('X');
  DWORD exitCode = STILL_ACTIVE;
  if (WaitForSingleObject(tool.hProcess, 10000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(tool.hProcess, &exitCode);
  } else {
    TerminateProcess(tool.hProcess, 99);
  }
  CloseHandle(tool.hThread);
  CloseHandle(tool.hProcess);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_TRUE(waitForSimLogLine(1, "9C BB FD DA", logStart, 3000));
}

}  // namespace
