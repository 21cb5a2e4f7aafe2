// The shipped k4471.exe, started and worked from outside as a user would: its
// window on the screen with whole toolbar pictures, and its end.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "ui/resource_ids.h"

namespace {

std::string toolPath() {
  std::string path = std::string("Z:") + K4471_EXE_PATH;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

struct Tool {
  PROCESS_INFORMATION process;
  HWND window;
};

struct Search {
  DWORD processId;
  HWND found;
};

BOOL CALLBACK findToolWindow(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  char name[32] = {}, title[64] = {};
  GetClassNameA(window, name, sizeof name);
  GetWindowTextA(window, title, sizeof title);
  if (owner == search->processId && IsWindowVisible(window) && std::string(name) == "kv7fpt" &&
      std::string(title) == "Vantrel K4471") {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// Starts the tool (with a command line it must ignore) and waits for its
// window.
bool startTool(Tool* tool) {
  std::string commandLine = "\"" + toolPath() + "\" --port 7 /x";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &tool->process)) {
    return false;
  }
  Search search = {tool->process.dwProcessId, nullptr};
  for (int i = 0; i < 300 && !search.found; ++i) {
    Sleep(50);
    EnumWindows(findToolWindow, reinterpret_cast<LPARAM>(&search));
  }
  tool->window = search.found;
  if (tool->window) Sleep(500);  // let it paint
  return tool->window != nullptr;
}

DWORD exitCodeAfterEnd(Tool* tool) {
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(tool->process.hProcess, 10000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(tool->process.hProcess, &code);
  } else {
    TerminateProcess(tool->process.hProcess, 99);
  }
  CloseHandle(tool->process.hThread);
  CloseHandle(tool->process.hProcess);
  return code;
}

// Pixels as 0x00RRGGBB, row by row from the top.
struct Picture {
  int width = 0, height = 0;
  std::vector<DWORD> pixels;
  DWORD at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

Picture pixelsOf(HDC source, HBITMAP bitmap, int width, int height) {
  Picture picture;
  picture.width = width;
  picture.height = height;
  picture.pixels.resize(static_cast<size_t>(width) * height);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  GetDIBits(source, bitmap, 0, height, picture.pixels.data(), &info, DIB_RGB_COLORS);
  for (DWORD& pixel : picture.pixels) pixel &= 0xFFFFFF;
  return picture;
}

Picture captureScreen(const RECT& area) {
  const int width = area.right - area.left, height = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  SelectObject(memory, old);
  Picture picture = pixelsOf(memory, bitmap, width, height);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return picture;
}

// The toolbar strip from the tool's own resources, its greys mapped to the
// system's button colours as the toolbar maps them.
Picture toolbarStrip() {
  Picture strip;
  HMODULE tool = LoadLibraryExA(toolPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  HBITMAP bitmap = CreateMappedBitmap(tool, TOOLBAR_BITMAP, 0, nullptr, 0);
  if (bitmap) {
    BITMAP size = {};
    GetObjectA(bitmap, sizeof size, &size);
    HDC screen = GetDC(nullptr);
    strip = pixelsOf(screen, bitmap, size.bmWidth, size.bmHeight);
    ReleaseDC(nullptr, screen);
    DeleteObject(bitmap);
  }
  FreeLibrary(tool);
  return strip;
}

// The strip's background as the toolbar shows it: the button face colour.
DWORD background() {
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  return (GetRValue(face) << 16) | (GetGValue(face) << 8) | GetBValue(face);
}

// Whether every drawn pixel of the 20 x 18 picture in cell `cell` of the strip
// appears, in place, somewhere on the screen capture.
bool showsWholePicture(const Picture& screen, const Picture& strip, int cell) {
  for (int top = 0; top + 18 <= screen.height; ++top) {
    for (int left = 0; left + 20 <= screen.width; ++left) {
      bool same = true;
      for (int y = 0; y < 18 && same; ++y) {
        for (int x = 0; x < 20 && same; ++x) {
          const DWORD pixel = strip.at(cell * 20 + x, y);
          same = pixel == background() || screen.at(left + x, top + y) == pixel;
        }
      }
      if (same) return true;
    }
  }
  return false;
}

void pressAltWith(WORD key) {
  INPUT keys[4] = {};
  const WORD sequence[4] = {VK_MENU, key, key, VK_MENU};
  for (int i = 0; i < 4; ++i) {
    keys[i].type = INPUT_KEYBOARD;
    keys[i].ki.wVk = sequence[i];
    keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
  }
  SendInput(4, keys, sizeof(INPUT));
}

TEST(ShippedTool, ShowsItsWindowWithWholeToolbarPicturesAndEndsOnAltX) {
  Tool tool = {};
  ASSERT_TRUE(startTool(&tool)) << toolPath();
  // A simulated target on COM1: no port warning holds the window disabled.
  EXPECT_TRUE(IsWindowEnabled(tool.window));

  RECT frame;
  GetWindowRect(tool.window, &frame);
  Picture shot = captureScreen(frame);

  Picture strip = toolbarStrip();
  ASSERT_EQ(strip.width, 100);
  for (int cell : {0, 2, 3, 4}) {  // Program, Launch, Connect, Help; Erase is hidden
    EXPECT_TRUE(showsWholePicture(shot, strip, cell)) << "picture " << cell;
  }
  EXPECT_FALSE(showsWholePicture(shot, strip, 1));

  SetForegroundWindow(tool.window);
  Sleep(200);
  pressAltWith('X');
  EXPECT_EQ(exitCodeAfterEnd(&tool), 0u);
}

TEST(ShippedTool, EndsWithZeroWhenItsWindowIsClosed) {
  Tool tool = {};
  ASSERT_TRUE(startTool(&tool));
  PostMessageA(tool.window, WM_CLOSE, 0, 0);
  EXPECT_EQ(exitCodeAfterEnd(&tool), 0u);
}

}  // namespace
