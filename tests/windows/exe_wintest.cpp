// The shipped k4471.exe, worked from outside as a user would, with simulated
// targets on COM1 and COM2 calling every 50 ms.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/waits.h"
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
  Picture picture = {width, height, std::vector<DWORD>(static_cast<size_t>(width) * height)};
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

// The tool's toolbar strip, its greys mapped to button colours as shown.
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

// Whether every drawn pixel (not button face) of the strip's 20 x 18 picture
// `cell` appears, in place, somewhere in the capture.
bool showsWholePicture(const Picture& screen, const Picture& strip, int cell) {
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const DWORD background = (GetRValue(face) << 16) | (GetGValue(face) << 8) | GetBValue(face);
  for (int top = 0; top + 18 <= screen.height; ++top) {
    for (int left = 0; left + 20 <= screen.width; ++left) {
      bool same = true;
      for (int i = 0, y = 0, x = 0; i < 20 * 18 && same; ++i, y = i / 20, x = i % 20) {
        const DWORD pixel = strip.pixels[y * strip.width + cell * 20 + x];
        same = pixel == background || screen.pixels[(top + y) * screen.width + left + x] == pixel;
      }
      if (same) return true;
    }
  }
  return false;
}

// Brings the window forward and types Alt+letter, or text and Enter.
void typeInto(HWND window, WORD altLetter, const std::string& text = "") {
  std::vector<INPUT> keys;
  auto add = [&keys](WORD virtualKey, WORD character, DWORD up) {
    INPUT input = {INPUT_KEYBOARD, {}};
    input.ki = {virtualKey, character, up | (character ? KEYEVENTF_UNICODE : 0u), 0, 0};
    keys.push_back(input);
  };
  if (altLetter) {
    for (WORD key : {WORD(VK_MENU), altLetter}) add(key, 0, 0);
    for (WORD key : {altLetter, WORD(VK_MENU)}) add(key, 0, KEYEVENTF_KEYUP);
  } else {
    for (unsigned char c : text) {
      for (DWORD up : {0ul, DWORD(KEYEVENTF_KEYUP)}) add(0, c, up);
    }
    for (DWORD up : {0ul, DWORD(KEYEVENTF_KEYUP)}) add(VK_RETURN, 0, up);
  }
  SetForegroundWindow(window);
  Sleep(200);
  SendInput(static_cast<UINT>(keys.size()), keys.data(), sizeof(INPUT));
  Sleep(100);
}

// A k4471.exe started for a test, ended by force if still running.
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
  // Alt+x, and the tool ends with 0 within the time.
  bool endsWithZeroOnAltX(DWORD timeoutMs) const {
    typeInto(window, 'X');
    DWORD exitCode = STILL_ACTIVE;
    return WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0 &&
           GetExitCodeProcess(process.hProcess, &exitCode) && exitCode == 0;
  }
};

// Intel HEX records, with an extended linear address at each 64 KiB boundary.
std::string intelHexText(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::string text;
  auto record = [&text](uint8_t type, uint16_t offset, const uint8_t* data, size_t count) {
    std::vector<uint8_t> all = {static_cast<uint8_t>(count), static_cast<uint8_t>(offset >> 8),
                                static_cast<uint8_t>(offset), type};
    all.insert(all.end(), data, data + count);
    uint8_t sum = 0;
    for (uint8_t byte : all) sum = static_cast<uint8_t>(sum - byte);
    all.push_back(sum);
    text += ':';
    for (uint8_t byte : all) {
      text += "0123456789ABCDEF"[byte >> 4];
      text += "0123456789ABCDEF"[byte & 15];
    }
    text += "\r\n";
  };
  for (size_t at = 0; at < bytes.size(); at += 16) {
    const uint32_t here = address + static_cast<uint32_t>(at);
    if (at == 0 || here % 0x10000 < 16) {
      const uint8_t upper[2] = {static_cast<uint8_t>(here >> 24), static_cast<uint8_t>(here >> 16)};
      record(4, 0, upper, 2);
    }
    record(0, static_cast<uint16_t>(here), &bytes[at], std::min<size_t>(16, bytes.size() - at));
  }
  record(1, 0, nullptr, 0);
  return text;
}

// Starts the tool with a command line it must ignore and finds its window.
bool startTool(Tool* tool) {
  std::string commandLine = "\"" + toolPath() + "\" --port 7 /x";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &tool->process))
    return false;
  tool->window = findWindow("kv7fpt", "Vantrel K4471", tool->process.dwProcessId, 0, 15000);
  tool->statusBar = FindWindowExA(tool->window, nullptr, STATUSCLASSNAMEA, nullptr);
  return tool->window != nullptr;
}

// Alt+p, the file typed into the open-file dialog and Enter; the success box
// read and closed with Enter; the target's flash then holds the image.
void programAsAUser(const Tool& tool, const char* name, uint32_t address,
                    const std::vector<uint8_t>& image, bool intelHex = false) {
  const std::string file = intelHex ? writeTextFile(name, intelHexText(address, image))
                                    : writeHexFile(name, address, image);
  const DWORD id = tool.process.dwProcessId;
  typeInto(tool.window, 'P');
  HWND openDialog = findWindow("#32770", "Open Hex File", id, 0, 15000);
  ASSERT_NE(openDialog, nullptr) << "Alt+p did not open the open-file dialog";
  typeInto(openDialog, 0, file);

  HWND box = findWindow("#32770", "Programming Operation Complete", id, 0, 20000);
  ASSERT_NE(box, nullptr) << "no success box; an error box: "
                          << (findWindow("#32770", "Error", id) != nullptr);
  EXPECT_EQ(windowText(GetDlgItem(box, 0xFFFF)), "Target Flash has been successfully programmed.");
  EXPECT_NE(findWindow("#32770", "Programming Application", id), nullptr);  // behind the box
  typeInto(box, 0);
  EXPECT_TRUE(pumpMessagesUntil([box] { return !IsWindow(box); }, WaitLimitMs));
  EXPECT_TRUE(waitForSimFlash(1, address, image, WaitLimitMs))
      << "the target's flash differs from the file";
  // The progress dialog is gone and the main window takes keys again.
  EXPECT_TRUE(pumpMessagesUntil(
      [&] {
        return findWindow("#32770", "Programming Application", id) == nullptr &&
               IsWindowEnabled(tool.window);
      },
      WaitLimitMs));
}

// Chooses a port in the port dialog, by messages the tool may leave unanswered.
void choosePort(const Tool& tool, int port) {
  PostMessageA(tool.window, WM_COMMAND, CMD_PORT_SETUP, 0);
  HWND dialog = findWindow("#32770", "COM Port Selection", tool.process.dwProcessId, 0, 5000);
  ASSERT_NE(dialog, nullptr);
  for (int button : {port == 1 ? CTL_COM1 : CTL_COM2, IDOK}) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
  }
}

constexpr uint32_t ApplicationBase = 0x4000;

// Lines as in the field, in one run of the tool: calls queued before the port
// opens, an adapter pulled out while the tool waits, a board that prints text.
TEST(ShippedTool, StaleCallsAnUnpluggedPortAndAChatteringLineNeverWedgeIt) {
  Tool tool;
  ASSERT_TRUE(startTool(&tool)) << toolPath();
  const DWORD id = tool.process.dwProcessId;
  ASSERT_TRUE(tool.showsStatus("CONNECTED COM1", "115200 8-N-1")) << tool.status();

  // Pulled out while the tool waits: reported, retried until back (with ten calls queued).
  ASSERT_TRUE(simCommand(1, "set stale-calls 10"));
  typeInto(tool.window, 'L');
  typeInto(tool.window, 'C');
  ASSERT_TRUE(tool.showsStatus("NOT CONNECTED", "Please Reset Target."));
  // The moment of the fault, not a wait on an outcome (nothing outside the
  // tool tells that its thread has opened the port): pulled out a little
  // later, or a little before the port opened, it is the same port gone.
  Sleep(300);
  ASSERT_TRUE(simCommand(1, "unplug"));
  HWND box = findWindow("#32770", "COM Port Error", id, 0, 5000);
  ASSERT_NE(box, nullptr) << "the unplugged port went unnoticed";
  EXPECT_EQ(windowText(GetDlgItem(box, 0xFFFF)), "Cannot Connect to COM 1");
  typeInto(box, 0);
  // The box closed, the tool retries the missing port for a while (a span of
  // the scenario, not a wait on an outcome) before it is back.
  ASSERT_TRUE(pumpMessagesUntil([box] { return !IsWindow(box); }, WaitLimitMs));
  Sleep(500);
  ASSERT_TRUE(resetSim(1, 1000));
  ASSERT_TRUE(tool.showsStatus("CONNECTED COM1", "115200 8-N-1", WaitLimitMs)) << tool.status();
  programAsAUser(tool, "replugged.hex", ApplicationBase, patternBytes(1021, 21));

  // A board prints text on COM1 while the tool waits; a change to COM2 connects.
  typeInto(tool.window, 'L');
  ASSERT_TRUE(simCommand(1, "set stale-calls 0"));
  ASSERT_TRUE(simCommand(1, "set chatter-ms 2"));
  ASSERT_TRUE(resetSim(1, 0));
  typeInto(tool.window, 'C');
  ASSERT_TRUE(tool.showsStatus("NOT CONNECTED", "Please Reset Target.")) << tool.status();
  ASSERT_TRUE(resetSim(2, 50));
  choosePort(tool, 2);
  ASSERT_TRUE(tool.showsStatus("CONNECTED COM2", "115200 8-N-1")) << tool.status();
  EXPECT_EQ(findWindow("#32770", "COM Port Error", id), nullptr) << "the wait was stopped by force";

  // Back to the chattering COM1, and Exit while the tool waits there.
  choosePort(tool, 1);
  ASSERT_TRUE(tool.showsStatus("NOT CONNECTED", "Please Reset Target.")) << tool.status();
  EXPECT_TRUE(tool.endsWithZeroOnAltX(DWORD(generousBoundMs(2000))));
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

  // Program, Launch, Connect and Help show whole pictures; Erase is hidden.
  const Picture shot = captureScreen(tool.window);
  const Picture strip = toolbarStrip();
  ASSERT_EQ(strip.width, 100);
  for (int cell : {0, 2, 3, 4}) EXPECT_TRUE(showsWholePicture(shot, strip, cell)) << cell;
  EXPECT_FALSE(showsWholePicture(shot, strip, 1));

  programAsAUser(tool, "blink.hex", ApplicationBase, patternBytes(1021, 5));

  // An Intel HEX file across a 64 KiB boundary is programmed by its content.
  programAsAUser(tool, "firmware.hex", 0xFFF0, patternBytes(600, 9), true);

  // Alt+x while connected: the target is launched, the tool ends with 0.
  const size_t logStart = simLog(1).size();
  EXPECT_TRUE(tool.endsWithZeroOnAltX(10000));
  EXPECT_TRUE(waitForSimLogLine(1, "9C BB FD DA", logStart, 3000));
}

}  // namespace
