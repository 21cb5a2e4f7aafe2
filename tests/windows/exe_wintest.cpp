// The shipped k4471.exe, started and worked from outside as a user would,
// with the simulated target on COM1 calling every 50 ms: its window on the
// screen, connected, with whole toolbar pictures; Alt+p, the path typed into
// the open-file dialog and Enter; the success box read and closed with Enter,
// and the target's flash then holding the file; the same with an Intel HEX
// file; Alt+x, which launches the target and ends the tool with 0.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/windows/wintest_support.h"
#include "ui/resource_ids.h"

namespace {

std::string toolPath() {
  std::string path = std::string("Z:") + K4471_EXE_PATH;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

// Pixels as 0x00RRGGBB, row by row from the top.
struct Picture {
  int width = 0, height = 0;
  std::vector<DWORD> pixels;
};

Picture pixelsOf(HDC source, HBITMAP bitmap, int width, int height) {
  Picture picture;
  picture.width = width;
  picture.height = height;
  picture.pixels.resize(static_cast<size_t>(width) * height);
  // 32 bits a pixel, top row first.
  BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
  GetDIBits(source, bitmap, 0, height, picture.pixels.data(), &info, DIB_RGB_COLORS);
  for (DWORD& pixel : picture.pixels) pixel &= 0xFFFFFF;
  return picture;
}

Picture captureScreen(HWND window) {
  RECT area;
  GetWindowRect(window, &area);
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

// Whether every drawn pixel of the 20 x 18 picture in cell `cell` of the strip
// (the button face colour is its background) appears, in place, somewhere on
// the screen capture.
bool showsWholePicture(const Picture& screen, const Picture& strip, int cell) {
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const DWORD background = (GetRValue(face) << 16) | (GetGValue(face) << 8) | GetBValue(face);
  for (int top = 0; top + 18 <= screen.height; ++top) {
    for (int left = 0; left + 20 <= screen.width; ++left) {
      bool same = true;
      for (int y = 0; y < 18 && same; ++y) {
        for (int x = 0; x < 20 && same; ++x) {
          const DWORD pixel = strip.pixels[y * strip.width + cell * 20 + x];
          same = pixel == background || screen.pixels[(top + y) * screen.width + left + x] == pixel;
        }
      }
      if (same) return true;
    }
  }
  return false;
}

// Brings the window forward and types into it: Alt with a letter, or a text
// and Enter.
void typeInto(HWND window, WORD altLetter, const std::string& text = "") {
  std::vector<INPUT> keys;
  auto add = [&keys](WORD virtualKey, WORD character, DWORD up) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    input.ki.wScan = character;
    input.ki.dwFlags = up | (character ? KEYEVENTF_UNICODE : 0);
    keys.push_back(input);
  };
  if (altLetter) {
    for (WORD key : {WORD(VK_MENU), altLetter}) add(key, 0, 0);
    for (WORD key : {altLetter, WORD(VK_MENU)}) add(key, 0, KEYEVENTF_KEYUP);
  } else {
    for (unsigned char c : text) {
      add(0, c, 0);
      add(0, c, KEYEVENTF_KEYUP);
    }
    add(VK_RETURN, 0, 0);
    add(VK_RETURN, 0, KEYEVENTF_KEYUP);
  }
  SetForegroundWindow(window);
  Sleep(200);
  SendInput(static_cast<UINT>(keys.size()), keys.data(), sizeof(INPUT));
  Sleep(100);
}

// Intel HEX records of the bytes from the address: an extended linear address
// record wherever the upper 16 bits change, data records, the end record.
std::string intelHexText(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::string text;
  auto record = [&text](int type, uint16_t offset, const uint8_t* data, size_t count) {
    char field[8];
    snprintf(field, sizeof field, ":%02X", static_cast<unsigned>(count));
    text += field;
    uint8_t sum = static_cast<uint8_t>(count + (offset >> 8) + offset + type);
    std::vector<uint8_t> all = {static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                                static_cast<uint8_t>(type)};
    all.insert(all.end(), data, data + count);
    for (size_t i = 0; i < all.size(); ++i) {
      snprintf(field, sizeof field, "%02X", all[i]);
      text += field;
      if (i >= 3) sum = static_cast<uint8_t>(sum + all[i]);
    }
    snprintf(field, sizeof field, "%02X\r\n", static_cast<uint8_t>(-sum));
    text += field;
  };
  uint32_t upper = 0;
  for (size_t at = 0; at < bytes.size(); at += 16) {
    const uint32_t here = address + static_cast<uint32_t>(at);
    if (here >> 16 != upper) {
      upper = here >> 16;
      const uint8_t base[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
      record(4, 0, base, 2);
    }
    record(0, static_cast<uint16_t>(here), &bytes[at], std::min<size_t>(16, bytes.size() - at));
  }
  record(1, 0, nullptr, 0);
  return text;
}

// Alt+p, an Intel HEX file across a 64 KiB boundary typed into the open-file
// dialog, Enter: the success box, and the flash holding the image.
bool programsIntelHexFile(HWND window, DWORD id) {
  constexpr uint32_t Address = 0xFFF0;
  const std::vector<uint8_t> image = patternBytes(600, 9);
  const std::string file = writeTextFile("firmware.hex", intelHexText(Address, image));
  Sleep(300);
  typeInto(window, 'P');
  HWND openDialog = findWindow("#32770", "Open Hex File", id, 0, 15000);
  if (!openDialog) return false;
  typeInto(openDialog, 0, file);
  HWND box = findWindow("#32770", "Programming Operation Complete", id, 0, 20000);
  if (!box) return false;
  typeInto(box, 0);
  return pumpMessagesUntil([box] { return !IsWindow(box); }, 5000) &&
         waitForSimFlash(1, Address, image, 1000);
}

TEST(ShippedTool, ProgramsTheTargetAsAUserWouldAndEndsWithZero) {
  constexpr uint32_t ApplicationBase = 0x4000;
  const std::vector<uint8_t> image = patternBytes(1021, 5);
  const std::string file = writeHexFile("blink.hex", ApplicationBase, image);
  ASSERT_FALSE(file.empty());

  // With a command line it must ignore.
  std::string commandLine = "\"" + toolPath() + "\" --port 7 /x";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION tool = {};
  ASSERT_TRUE(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &tool))
      << toolPath();
  const DWORD id = tool.dwProcessId;
  HWND window = findWindow("kv7fpt", "Vantrel K4471", id, 0, 15000);
  ASSERT_NE(window, nullptr);
  HWND statusBar = FindWindowExA(window, nullptr, STATUSCLASSNAMEA, nullptr);
  EXPECT_TRUE(waitForStatus(statusBar, "CONNECTED COM1", "115200 8-N-1", 10000, tool.hProcess))
      << statusText(statusBar, 0, tool.hProcess);
  // No port warning holds the window disabled.
  EXPECT_TRUE(IsWindowEnabled(window));

  // Program, Launch, Connect and Help show their whole pictures; Erase is hidden.
  const Picture shot = captureScreen(window);
  const Picture strip = toolbarStrip();
  ASSERT_EQ(strip.width, 100);
  for (int cell : {0, 2, 3, 4}) EXPECT_TRUE(showsWholePicture(shot, strip, cell)) << cell;
  EXPECT_FALSE(showsWholePicture(shot, strip, 1));

  typeInto(window, 'P');
  HWND openDialog = findWindow("#32770", "Open Hex File", id, 0, 15000);
  ASSERT_NE(openDialog, nullptr) << "Alt+p did not open the open-file dialog";
  typeInto(openDialog, 0, file);

  HWND box = findWindow("#32770", "Programming Operation Complete", id, 0, 20000);
  ASSERT_NE(box, nullptr) << "no success box";
  EXPECT_EQ(windowText(GetDlgItem(box, 0xFFFF)), "Target Flash has been successfully programmed.");
  // Still open behind the box: the progress dialog.
  EXPECT_NE(findWindow("#32770", "Programming Application", id), nullptr);
  typeInto(box, 0);
  EXPECT_TRUE(pumpMessagesUntil([box] { return !IsWindow(box); }, 5000));
  EXPECT_TRUE(waitForSimFlash(1, ApplicationBase, image, 1000))
      << "the target's flash differs from the file";

  // An Intel HEX file, chosen the same way, is programmed by its content.
  EXPECT_TRUE(programsIntelHexFile(window, id));

  // Alt+x while connected: the target is launched, the tool ends with 0.
  const size_t logStart = simLog(1).size();
  Sleep(300);  // the progress dialog is gone and the main window takes keys again
  typeInto(window, 'X');
  EXPECT_EQ(WaitForSingleObject(tool.hProcess, 10000), WAIT_OBJECT_0);
  DWORD exitCode = STILL_ACTIVE;
  GetExitCodeProcess(tool.hProcess, &exitCode);
  EXPECT_EQ(exitCode, 0u);
  TerminateProcess(tool.hProcess, 99);  // when it has not ended
  CloseHandle(tool.hThread);
  CloseHandle(tool.hProcess);
  EXPECT_TRUE(waitForSimLogLine(1, "9C BB FD DA", logStart, 3000));
}

}  // namespace
