// Message boxes caught with a CBT hook, a message pump, and the simulated
// targets that tools/wine-run puts behind the COM ports.
#include "tests/windows/wintest_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex boxesLock;
HHOOK boxHook = nullptr;
int boxAnswer = IDOK;
std::vector<CaughtMessageBox> boxes;
std::vector<HWND> boxesOpen;  // caught and not yet destroyed: one record each

std::string windowText(HWND window) {
  char text[1024];
  int length = GetWindowTextA(window, text, sizeof text);
  return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}

std::string className(HWND window) {
  char name[64];
  int length = GetClassNameA(window, name, sizeof name);
  return std::string(name, length > 0 ? static_cast<size_t>(length) : 0);
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
  if (kind == "Static") {
    if ((style & SS_TYPEMASK) == SS_ICON) {
      parts->icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
    } else if (id == 0xFFFF) {
      parts->hasText = true;
    }
  } else if (kind == "Button" && id >= IDOK && id <= IDCONTINUE) {
    if (style & WS_VISIBLE) parts->button[id] = true;
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
  if (icon == LoadIcon(nullptr, IDI_ASTERISK)) return MB_ICONINFORMATION;
  return 0;
}

unsigned buttonStyle(const BoxParts& parts) {
  const bool* b = parts.button;
  if (b[IDCANCEL] && b[IDTRYAGAIN] && b[IDCONTINUE]) return MB_CANCELTRYCONTINUE;
  if (b[IDABORT] && b[IDRETRY] && b[IDIGNORE]) return MB_ABORTRETRYIGNORE;
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
  if (std::find(boxesOpen.begin(), boxesOpen.end(), box) != boxesOpen.end()) return;
  boxesOpen.push_back(box);

  int answer = boxAnswer;
  if (answer < IDOK || answer > IDCONTINUE || !parts.button[answer]) answer = IDOK;
  if (!parts.button[answer]) {
    for (int id = IDOK; id <= IDCONTINUE; ++id) {
      if (parts.button[id]) {
        answer = id;
        break;
      }
    }
  }
  CaughtMessageBox caught;
  caught.caption = windowText(box);
  caught.text = windowText(GetDlgItem(box, 0xFFFF));
  caught.icon = iconStyle(parts.icon);
  caught.buttons = buttonStyle(parts);
  caught.owner = GetWindow(box, GW_OWNER);
  caught.threadId = GetCurrentThreadId();
  caught.answer = answer;
  boxes.push_back(caught);
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

std::string environmentPath(const char* what, int port) {
  char name[64];
  snprintf(name, sizeof name, "K4471_COM%d_%s", port, what);
  const char* value = getenv(name);
  return value ? value : "";
}

std::vector<uint8_t> fileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (path.empty()) return bytes;
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return bytes;
  uint8_t chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + got);
  fclose(file);
  return bytes;
}

}  // namespace

bool startCatchingMessageBoxes() {
  std::lock_guard<std::mutex> hold(boxesLock);
  if (boxHook) return true;
  // Thread 0 with the program's own module: every thread of this process.
  boxHook = SetWindowsHookExA(WH_CBT, watchDialogs, GetModuleHandleA(nullptr), 0);
  return boxHook != nullptr;
}

void stopCatchingMessageBoxes() {
  std::lock_guard<std::mutex> hold(boxesLock);
  if (boxHook) UnhookWindowsHookEx(boxHook);
  boxHook = nullptr;
  boxesOpen.clear();
}

void answerMessageBoxesWith(int buttonId) {
  std::lock_guard<std::mutex> hold(boxesLock);
  boxAnswer = buttonId;
}

std::vector<CaughtMessageBox> caughtMessageBoxes() {
  std::lock_guard<std::mutex> hold(boxesLock);
  return boxes;
}

void clearCaughtMessageBoxes() {
  std::lock_guard<std::mutex> hold(boxesLock);
  boxes.clear();
}

bool pumpMessagesOnce(int waitMs) {
  MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(waitMs), QS_ALLINPUT);
  bool any = false;
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
    any = true;
  }
  return any;
}

bool pumpMessagesUntil(const std::function<bool()>& done, int timeoutMs) {
  DWORD start = GetTickCount();
  while (!done()) {
    DWORD spent = GetTickCount() - start;
    if (spent >= static_cast<DWORD>(timeoutMs)) return done();
    DWORD left = static_cast<DWORD>(timeoutMs) - spent;
    pumpMessagesOnce(static_cast<int>(std::min<DWORD>(left, 20)));
  }
  return true;
}

bool waitForMessageBoxes(size_t count, int timeoutMs) {
  return pumpMessagesUntil([count] { return caughtMessageBoxes().size() >= count; }, timeoutMs);
}

std::string simControlPath(int port) {
  return environmentPath("CONTROL", port);
}
std::string simMemoryPath(int port) {
  return environmentPath("MEMORY", port);
}
std::string simLogPath(int port) {
  return environmentPath("LOG", port);
}

bool simCommand(int port, const char* line) {
  std::string path = simControlPath(port);
  if (path.empty()) return false;
  // The sim holds the FIFO open for reading, so this open does not wait.
  HANDLE fifo = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (fifo == INVALID_HANDLE_VALUE) return false;
  std::string text = std::string(line) + "\n";
  DWORD written = 0;
  BOOL ok = WriteFile(fifo, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(fifo);
  return ok && written == text.size();
}

bool simResetAndWait(int port, int timeoutMs) {
  auto resets = [port] {
    std::vector<std::string> lines = simLog(port);
    return std::count(lines.begin(), lines.end(), std::string("reset"));
  };
  auto before = resets();
  if (!simCommand(port, "reset")) return false;
  return pumpMessagesUntil([&] { return resets() > before; }, timeoutMs);
}

std::vector<uint8_t> simMemory(int port) {
  return fileBytes(simMemoryPath(port));
}

std::vector<std::string> simLog(int port) {
  std::vector<std::string> lines;
  std::string line;
  for (uint8_t byte : fileBytes(simLogPath(port))) {
    if (byte == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (byte != '\r') {
      line.push_back(static_cast<char>(byte));
    }
  }
  return lines;
}

bool waitForSimLogLine(int port, const std::string& line, size_t from, int timeoutMs) {
  return pumpMessagesUntil(
      [&] {
        std::vector<std::string> lines = simLog(port);
        return lines.size() > from &&
               std::find(lines.begin() + from, lines.end(), line) != lines.end();
      },
      timeoutMs);
}
