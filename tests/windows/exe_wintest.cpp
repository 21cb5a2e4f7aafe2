// The shipped k4471.exe, started and worked from outside as a user would,
// with simulated targets on COM1 and COM2 calling every 50 ms: its window on
// the screen, connected, with whole toolbar pictures; Alt+p, the path typed
// into the open-file dialog and Enter; the success box read and closed with
// Enter, and the target's flash then holding the file; the same with an Intel
// HEX file; Alt+x, which launches the target and ends the tool with 0. Before that, the lines of
// the field: stale calls, an unplugged adapter, a board that prints text.
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

// A k4471.exe started for a test; ended by force if the test leaves it
// running.
struct Tool {
  PROCESS_INFORMATION process = {};
  HWND window = nullptr, statusBar = nullptr;
  ~Tool() {
    if (!process.hProcess) return;
    TerminateProcess(process.hProcess, 99);  // when it has not ended
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  bool showsStatus(const char* part0, const char* part1, int timeoutMs = 10000) const {
    return waitForStatus(statusBar, part0, part1, timeoutMs, process.hProcess);
  }
  std::string status() const { return statusText(statusBar, 0, process.hProcess); }
};

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

// Starts the tool with a command line it must ignore and finds its window.
bool startTool(Tool* tool) {
  std::string commandLine = "\"" + toolPath() + "\" --port 7 /x";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &tool->process)) {
    return false;
  }
  tool->window = findWindow("kv7fpt", "Vantrel K4471", tool->process.dwProcessId, 0, 15000);
  tool->statusBar = FindWindowExA(tool->window, nullptr, STATUSCLASSNAMEA, nullptr);
  return tool->window != nullptr;
}

// Alt+p, the file typed into the open-file dialog and Enter; the success box
// read and closed with Enter; the target's flash then holds the image.
void programAsAUser(const Tool& tool, const char* name, uint32_t address,
                    const std::vector<uint8_t>& image) {
  const std::string file = writeHexFile(name, address, image);
  const DWORD id = tool.process.dwProcessId;
  typeInto(tool.window, 'P');
  HWND openDialog = findWindow("#32770", "Open Hex File", id, 0, 15000);
  ASSERT_NE(openDialog, nullptr) << "Alt+p did not open the open-file dialog";
  typeInto(openDialog, 0, file);

  HWND box = findWindow("#32770", "Programming Operation Complete", id, 0, 20000);
  ASSERT_NE(box, nullptr) << "no success box; an error box: "
                          << (findWindow("#32770", "Error", id) != nullptr);
  EXPECT_EQ(windowText(GetDlgItem(box, 0xFFFF)), "Target Flash has been successfully programmed.");
  // Still open behind the box: the progress dialog.
  EXPECT_NE(findWindow("#32770", "Programming Application", id), nullptr);
  typeInto(box, 0);
  EXPECT_TRUE(pumpMessagesUntil([box] { return !IsWindow(box); }, 5000));
  EXPECT_TRUE(waitForSimFlash(1, address, image, 1000))
      << "the target's flash differs from the file";
  Sleep(300);  // the progress dialog is gone and the main window takes keys again
}

// Chooses a port in the port dialog, by messages that the tool may leave
// unanswered.
void choosePort(const Tool& tool, int port) {
  PostMessageA(tool.window, WM_COMMAND, CMD_PORT_SETUP, 0);
  HWND dialog = findWindow("#32770", "COM Port Selection", tool.process.dwProcessId, 0, 5000);
  ASSERT_NE(dialog, nullptr);
  const int box = port == 1 ? CTL_COM1 : CTL_COM2;
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(box, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, box)));
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
}

constexpr uint32_t ApplicationBase = 0x4000;

// Lines as they are in the field, in one run of the tool: calls queued before
// the port opens, an adapter pulled out and plugged in again while the tool
// waits, a board that prints text while the port changes and while the tool
// exits.
TEST(ShippedTool, StaleCallsAnUnpluggedPortAndAChatteringLineNeverWedgeIt) {
  Tool tool;
  ASSERT_TRUE(startTool(&tool)) << toolPath();
  const DWORD id = tool.process.dwProcessId;
  ASSERT_TRUE(tool.showsStatus("CONNECTED COM1", "115200 8-N-1")) << tool.status();

  // Calls queued back to back before Connect opens the port; the next call
  // comes a second later.
  uint32_t seed = 20;
  for (int stale : {1, 3, 10}) {
    typeInto(tool.window, 'L');
    ASSERT_TRUE(tool.showsStatus("NOT CONNECTED", "                        ", 5000));
    ASSERT_TRUE(simCommand(1, ("set stale-calls " + std::to_string(stale)).c_str()));
    ASSERT_TRUE(resetSim(1, 1000));
    typeInto(tool.window, 'C');
    ASSERT_TRUE(tool.showsStatus("CONNECTED COM1", "115200 8-N-1", 5000))
        << stale << " stale calls: " << tool.status();
    programAsAUser(tool, "stale.hex", ApplicationBase, patternBytes(1021, ++seed));
  }

  // Pulled out while the tool waits for the call: the port fails, is
  // reported, and is tried again until the board is back.
  typeInto(tool.window, 'L');
  typeInto(tool.window, 'C');
  ASSERT_TRUE(tool.showsStatus("NOT CONNECTED", "Please Reset Target.", 5000));
  Sleep(300);  // the connection thread has opened the port
  ASSERT_TRUE(simCommand(1, "unplug"));
  HWND box = findWindow("#32770", "COM Port Error", id, 0, 5000);
  ASSERT_NE(box, nullptr) << "the unplugged port went unnoticed";
  EXPECT_EQ(windowText(GetDlgItem(box, 0xFFFF)), "Cannot Connect to COM 1");
  typeInto(box, 0);
  Sleep(500);                      // retries of a port that is not there
  ASSERT_TRUE(resetSim(1, 1000));  // back with ten calls queued
  ASSERT_TRUE(tool.showsStatus("CONNECTED COM1", "115200 8-N-1", 5000)) << tool.status();
  programAsAUser(tool, "replugged.hex", ApplicationBase, patternBytes(1021, ++seed));

  // A board that prints text on COM1 while the tool waits there: the port
  // change to COM2 connects there.
  typeInto(tool.window, 'L');
  ASSERT_TRUE(simCommand(1, "set stale-calls 0"));
  ASSERT_TRUE(simCommand(1, "set chatter-ms 2"));
  ASSERT_TRUE(resetSim(1, 0));
  typeInto(tool.window, 'C');
  Sleep(300);
  ASSERT_TRUE(resetSim(2, 50));
  choosePort(tool, 2);
  ASSERT_TRUE(tool.showsStatus("CONNECTED COM2", "115200 8-N-1", 5000)) << tool.status();
  EXPECT_EQ(findWindow("#32770", "COM Port Error", id), nullptr) << "the wait was stopped by force";

  // Back to the chattering COM1, and Exit while the tool waits there.
  choosePort(tool, 1);
  ASSERT_TRUE(tool.showsStatus("NOT CONNECTED", "Please Reset Target.", 5000)) << tool.status();
  Sleep(300);
  typeInto(tool.window, 'X');
  EXPECT_EQ(WaitForSingleObject(tool.process.hProcess, 2000), WAIT_OBJECT_0);
  DWORD exitCode = STILL_ACTIVE;
  GetExitCodeProcess(tool.process.hProcess, &exitCode);
  EXPECT_EQ(exitCode, 0u);
}

// Also shows that COM1 opens again after a tool that exited while it
// chattered, and that three calls queued before the tool starts do no harm.
TEST(ShippedTool, ProgramsTheTargetAsAUserWouldAndEndsWithZero) {
  ASSERT_TRUE(simCommand(1, "set stale-calls 3"));
  ASSERT_TRUE(simCommand(1, "set chatter-ms 0"));
  ASSERT_TRUE(resetSim(1, 2000));
  Tool tool;
  ASSERT_TRUE(startTool(&tool)) << toolPath();
  EXPECT_TRUE(tool.showsStatus("CONNECTED COM1", "115200 8-N-1")) << tool.status();
  // No port warning holds the window disabled.
  EXPECT_TRUE(IsWindowEnabled(tool.window));

  // Program, Launch, Connect and Help show their whole pictures; Erase is hidden.
  const Picture shot = captureScreen(tool.window);
  const Picture strip = toolbarStrip();
  ASSERT_EQ(strip.width, 100);
  for (int cell : {0, 2, 3, 4}) EXPECT_TRUE(showsWholePicture(shot, strip, cell)) << cell;
  EXPECT_FALSE(showsWholePicture(shot, strip, 1));

  programAsAUser(tool, "blink.hex", ApplicationBase, patternBytes(1021, 5));

  // An Intel HEX file, chosen the same way, is programmed by its content.
  EXPECT_TRUE(programsIntelHexFile(tool.window, tool.process.dwProcessId));
  Sleep(300);  // the progress dialog is gone and the main window takes keys again

  // Alt+x while connected: the target is launched, the tool ends with 0.
  const size_t logStart = simLog(1).size();
  typeInto(tool.window, 'X');
  EXPECT_EQ(WaitForSingleObject(tool.process.hProcess, 10000), WAIT_OBJECT_0);
  DWORD exitCode = STILL_ACTIVE;
  GetExitCodeProcess(tool.process.hProcess, &exitCode);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_TRUE(waitForSimLogLine(1, "9C BB FD DA", logStart, 3000));
}

}  // namespace
