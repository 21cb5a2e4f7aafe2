// Message boxes caught with a CBT hook, windows found, and the simulated
// targets that tools/wine-run puts behind the COM ports.
#include "tests/windows/wintest_support.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "tests/waits.h"

namespace {

std::mutex boxesLock;
HHOOK boxHook = nullptr;
int boxAnswer = IDOK;
std::vector<CaughtMessageBox> boxes;
std::vector<HWND> boxesOpen;  // caught and not yet destroyed: one record each

std::string className(HWND window) {
  char name[64] = {};
  return GetClassNameA(window, name, sizeof name) ? name : "";
}

// What the children of a dialog tell about it.
struct BoxParts {
  bool onlyBoxControls;  // statics and standard buttons, nothing else
  bool hasText;          // the static that message boxes give id 0xFFFF
  HICON icon;
  bool button[IDCONTINUE + 1];
};

BOOL CALLBACK noteBoxPart(HWND child, LPARAM context) {
  BoxParts* parts = reinterpret_cast<BoxParts*>(context);
  int id = GetDlgCtrlID(child);
  std::string kind = className(child);
  LONG style = GetWindowLongA(child, GWL_STYLE);
  if (kind == "Static" && (style & SS_TYPEMASK) == SS_ICON) {
    parts->icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
  } else if (kind == "Static") {
    parts->hasText = parts->hasText || id == 0xFFFF;
  } else if (kind == "Button" && id >= IDOK && id <= IDCONTINUE) {
    parts->button[id] = (style & WS_VISIBLE) != 0;
  } else {
    parts->onlyBoxControls = false;
  }
  return TRUE;
}

unsigned iconStyle(HICON icon) {
  if (!icon) return 0;
  if (icon == LoadIcon(nullptr, IDI_HAND)) return MB_ICONERROR;
  if (icon == LoadIcon(nullptr, IDI_QUESTION)) return MB_ICONQUESTION;
  if (icon == LoadIcon(nullptr, IDI_EXCLAMATION)) return MB_ICONWARNING;
  return icon == LoadIcon(nullptr, IDI_ASTERISK) ? MB_ICONINFORMATION : 0;
}

unsigned buttonStyle(const BoxParts& parts) {
  const bool* b = parts.button;
  if (b[IDYES] && b[IDNO]) return b[IDCANCEL] ? MB_YESNOCANCEL : MB_YESNO;
  if (b[IDRETRY] && b[IDCANCEL]) return MB_RETRYCANCEL;
  if (b[IDOK] && b[IDCANCEL]) return MB_OKCANCEL;
  return MB_OK;
}

void catchBox(HWND box) {
  BoxParts parts = {};
  parts.onlyBoxControls = true;
  EnumChildWindows(box, noteBoxPart, reinterpret_cast<LPARAM>(&parts));
  if (!parts.onlyBoxControls || !parts.hasText) return;  // some other dialog

  std::lock_guard<std::mutex> hold(boxesLock);
  if (!boxAnswer || std::find(boxesOpen.begin(), boxesOpen.end(), box) != boxesOpen.end()) return;
  boxesOpen.push_back(box);

  int answer = boxAnswer;
  if (answer < IDOK || answer > IDCONTINUE || !parts.button[answer]) answer = IDOK;
  for (int id = IDOK; !parts.button[answer] && id <= IDCONTINUE; ++id) answer = id;
  boxes.push_back({windowText(box), windowText(GetDlgItem(box, 0xFFFF)), iconStyle(parts.icon),
                   buttonStyle(parts), GetWindow(box, GW_OWNER), GetCurrentThreadId(), answer});
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
}

LRESULT CALLBACK watchDialogs(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE) {
    HWND window = reinterpret_cast<HWND>(wParam);
    if (className(window) == "#32770") catchBox(window);
  } else if (code == HCBT_DESTROYWND) {
    HWND window = reinterpret_cast<HWND>(wParam);
    std::lock_guard<std::mutex> hold(boxesLock);
    boxesOpen.erase(std::remove(boxesOpen.begin(), boxesOpen.end(), window), boxesOpen.end());
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

std::string environmentValue(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
}

// A file of the sim behind a COM port, as tools/wine-run names it.
std::string simPath(const char* what, int port) {
  return environmentValue("K4471_COM" + std::to_string(port) + "_" + what);
}

int countSimLogLines(int port, const std::string& line, size_t from) {
  const std::vector<std::string> lines = simLog(port);
  return lines.size() <= from
             ? 0
             : static_cast<int>(std::count(lines.begin() + from, lines.end(), line));
}

struct WindowQuery {
  const char* windowClass;
  const char* caption;
  DWORD processId, threadId;
  HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM context) {
  auto* query = reinterpret_cast<WindowQuery*>(context);
  DWORD processId = 0;
  DWORD threadId = GetWindowThreadProcessId(window, &processId);
  if (processId != query->processId || (query->threadId && threadId != query->threadId) ||
      !IsWindowVisible(window) || className(window) != query->windowClass ||
      (query->caption && windowText(window) != query->caption)) {
    return TRUE;
  }
  query->found = window;
  return FALSE;
}

}  // namespace

bool startCatchingMessageBoxes() {
  std::lock_guard<std::mutex> hold(boxesLock);
  if (boxHook) return true;
  // Thread 0 with the program's own module: every thread of this process.
  boxHook = SetWindowsHookExA(WH_CBT, watchDialogs, GetModuleHandleA(nullptr), 0);
  return boxHook != nullptr;
}

void answerMessageBoxesWith(int buttonId) {
  std::lock_guard<std::mutex> hold(boxesLock);
  boxAnswer = buttonId;
}

std::vector<CaughtMessageBox> takeCaughtMessageBoxes() {
  std::lock_guard<std::mutex> hold(boxesLock);
  std::vector<CaughtMessageBox> taken;
  taken.swap(boxes);
  return taken;
}

bool pumpMessagesUntil(const std::function<bool()>& done, int timeoutMs) {
  const DWORD start = GetTickCount();
  while (!done()) {
    const DWORD spent = GetTickCount() - start;
    if (spent >= static_cast<DWORD>(timeoutMs)) return done();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(timeoutMs - spent, 20),
                              QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  return true;
}

void pause(int ms) {
  pumpMessagesUntil([] { return false; }, ms);
}

bool waitForMessageBoxes(size_t count, int timeoutMs) {
  return pumpMessagesUntil(
      [count] {
        std::lock_guard<std::mutex> hold(boxesLock);
        return boxes.size() >= count;
      },
      timeoutMs);
}

std::string windowText(HWND window) {
  char text[1024] = {};
  return GetWindowTextA(window, text, sizeof text) ? text : "";
}

HWND findWindow(const char* className, const char* caption, DWORD processId, DWORD threadId,
                int waitMs) {
  WindowQuery query = {className, caption, processId, threadId, nullptr};
  pumpMessagesUntil(
      [&] {
        EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&query));
        return query.found != nullptr;
      },
      waitMs);
  return query.found;
}

std::string statusText(HWND bar, int part, HANDLE process) {
  char text[256] = {};
  void* remote = VirtualAllocEx(process, nullptr, sizeof text, MEM_COMMIT, PAGE_READWRITE);
  if (!remote) return "";
  // A window that no longer answers (a hung tool) reads as no text.
  DWORD_PTR length = 0;
  if (SendMessageTimeoutA(bar, SB_GETTEXTLENGTHA, part, 0, SMTO_NORMAL, 1000, &length) &&
      LOWORD(length) < sizeof text &&
      SendMessageTimeoutA(bar, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(remote), SMTO_NORMAL,
                          1000, &length)) {
    ReadProcessMemory(process, remote, text, sizeof text - 1, nullptr);
  }
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return text;
}

bool waitForStatus(HWND bar, const std::string& part0, const std::string& part1, int timeoutMs,
                   HANDLE process) {
  return pumpMessagesUntil(
      [&] { return statusText(bar, 0, process) == part0 && statusText(bar, 1, process) == part1; },
      timeoutMs);
}

bool simCommand(int port, const char* line) {
  const std::string path = simPath("CONTROL", port);
  // The sim holds the FIFO open for reading, so this open does not wait.
  HANDLE fifo = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (fifo == INVALID_HANDLE_VALUE) return false;
  const std::string text = std::string(line) + "\n";
  DWORD written = 0;
  BOOL ok = WriteFile(fifo, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(fifo);
  return ok && written == text.size();
}

bool resetSim(int port, int callMs) {
  const int resets = countSimLogLines(port, "reset", 0);
  if (!simCommand(port, "set call-ms 0") || !simCommand(port, "reset")) return false;
  return pumpMessagesUntil([&] { return countSimLogLines(port, "reset", 0) > resets; },
                           WaitLimitMs) &&
         (callMs == 0 || simCommand(port, ("set call-ms " + std::to_string(callMs)).c_str()));
}

bool waitForSimFlash(int port, uint32_t address, const std::vector<uint8_t>& data, int timeoutMs) {
  return pumpMessagesUntil(
      [&] {
        std::ifstream file(simPath("MEMORY", port), std::ios::binary);
        const std::vector<uint8_t> flash(std::istreambuf_iterator<char>(file), {});
        return flash.size() >= address + data.size() &&
               std::memcmp(flash.data() + address, data.data(), data.size()) == 0;
      },
      timeoutMs);
}

std::vector<std::string> simLog(int port) {
  std::ifstream file(simPath("LOG", port), std::ios::binary);
  std::vector<std::string> lines;
  // A last line without its end is still being written.
  for (std::string line; std::getline(file, line) && !file.eof();) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool waitForSimLogLine(int port, const std::string& line, size_t from, int timeoutMs) {
  return pumpMessagesUntil([&] { return countSimLogLines(port, line, from) > 0; }, timeoutMs);
}

std::string writeTextFile(const char* name, const std::string& text) {
  const std::string path = environmentValue("K4471_TEST_DIR") + "\\" + name;
  std::ofstream file(path, std::ios::binary);
  file << text;
  return file ? path : "";
}

std::string writeHexFile(const char* name, uint32_t address, const std::vector<uint8_t>& data) {
  char token[16];
  std::snprintf(token, sizeof token, "%08X", static_cast<unsigned>(address));
  std::string text = token;
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(token, sizeof token, "%c%02X", i % 16 ? ' ' : '\n', data[i]);
    text += token;
  }
  return writeTextFile(name, text + "\n");
}

std::vector<uint8_t> patternBytes(size_t count, uint32_t seed) {
  std::vector<uint8_t> bytes(count);
  for (uint8_t& byte : bytes)
    byte = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  return bytes;
}
