#include "tests/windows/ops_support.h"

#include <commctrl.h>
#include <dlgs.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "operations/app_state_win32.h"
#include "operations/connection_manager.h"
#include "tests/windows/wintest_support.h"
#include "ui/startup_win32.h"

namespace {

std::string windowText(HWND window) {
  char text[512] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string className(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

// --- Bar steps and dialogs ---------------------------------------------------------------

HHOOK barHook = nullptr;
std::vector<BarStep> steps;
std::vector<DialogSeen> dialogs;

LRESULT CALLBACK noteBarStep(int code, WPARAM wParam, LPARAM lParam) {
  const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
  if (code == HC_ACTION && call->message == PBM_STEPIT) {
    HWND bar = call->hwnd;
    HWND dialog = GetParent(bar);
    BarStep step;
    step.bar = windowText(bar);
    step.dialogWindow = dialog;
    step.position = static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0));
    step.maximum = static_cast<int>(SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
    step.style = GetWindowLongA(bar, GWL_STYLE);
    steps.push_back(step);
  } else if (code == HC_ACTION && call->message == WM_INITDIALOG) {
    dialogs.push_back(DialogSeen{call->hwnd, windowText(call->hwnd)});
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// --- Dialogs of this thread --------------------------------------------------

struct DialogSearch {
  const char* const* captions;
  HWND found;
};

BOOL CALLBACK findDialog(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<DialogSearch*>(context);
  if (className(window) != "#32770" || !IsWindowVisible(window)) return TRUE;
  const std::string caption = windowText(window);
  for (const char* const* wanted = search->captions; *wanted; ++wanted) {
    if (caption == *wanted) {
      search->found = window;
      return FALSE;
    }
  }
  return TRUE;
}

HWND visibleDialogOfThisThread(const char* const* captions) {
  DialogSearch search = {captions, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), findDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// --- Open-file dialog --------------------------------------------------------

std::string fileToChoose;
std::string* fileShown = nullptr;
bool fileDialogAnswered = false;
UINT_PTR fileTimer = 0;

void CALLBACK answerFileDialog(HWND, UINT, UINT_PTR, DWORD) {
  static const char* const captions[] = {"Open Hex File", nullptr};
  HWND dialog = visibleDialogOfThisThread(captions);
  if (!dialog) return;
  KillTimer(nullptr, fileTimer);
  fileTimer = 0;
  // The file name box: a combo box with an edit in newer layouts, an edit in
  // older ones.
  HWND name = GetDlgItem(dialog, cmb13);
  if (!name) name = GetDlgItem(dialog, edt1);
  if (fileShown) *fileShown = windowText(name);
  int button = IDCANCEL;
  if (!fileToChoose.empty()) {
    SetWindowTextA(name, fileToChoose.c_str());
    button = IDOK;
  }
  fileDialogAnswered = true;
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
}

// --- Esc in a progress dialog ------------------------------------------------

std::vector<int> escapeAnswers;
size_t escapesDone = 0;
int escapeIntervalMs = 0;
DWORD escapeDueAt = 0;
bool escapeDialogSeen = false;
UINT_PTR escapeTimer = 0;

void CALLBACK pressEscape(HWND, UINT, UINT_PTR, DWORD) {
  static const char* const captions[] = {"Programming Application", "Programming Bootloader",
                                         "Erasing Target Flash", "Erasing ALL of Target Flash",
                                         nullptr};
  HWND dialog = visibleDialogOfThisThread(captions);
  if (!dialog) return;
  if (!escapeDialogSeen) {
    escapeDialogSeen = true;
    escapeDueAt = GetTickCount() + escapeIntervalMs;
    return;
  }
  if (static_cast<LONG>(GetTickCount() - escapeDueAt) < 0) return;
  answerMessageBoxesWith(escapeAnswers[escapesDone]);
  PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageA(dialog, WM_KEYUP, VK_ESCAPE, 0xC0000001);
  ++escapesDone;
  escapeDueAt = GetTickCount() + escapeIntervalMs;
  if (escapesDone == escapeAnswers.size()) {
    KillTimer(nullptr, escapeTimer);
    escapeTimer = 0;
  }
}

std::string scratchPath(const char* name) {
  const char* dir = std::getenv("K4471_TEST_DIR");
  return std::string(dir ? dir : ".") + "\\" + name;
}

}  // namespace

void startMainWindowOnce() {
  static bool started = false;
  if (started) return;
  started = true;
  HACCEL accelerators = nullptr;
  startUp(GetModuleHandleA(nullptr), SW_SHOWNORMAL, &accelerators);
}

std::string statusText(int part) {
  char text[256] = {};
  LRESULT length = SendMessageA(statusBar, SB_GETTEXTLENGTHA, part, 0);
  if (LOWORD(length) >= sizeof text) return "(too long)";
  SendMessageA(statusBar, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(text));
  return text;
}

bool waitForStatus(const char* part0, const char* part1, int timeoutMs) {
  return pumpMessagesUntil([&] { return statusText(0) == part0 && statusText(1) == part1; },
                           timeoutMs);
}

bool connectionThreadRunning() {
  return connectionThreadHandle && WaitForSingleObject(connectionThreadHandle, 0) == WAIT_TIMEOUT;
}

void startRecordingDialogs() {
  if (!barHook) {
    barHook = SetWindowsHookExA(WH_CALLWNDPROCRET, noteBarStep, nullptr, GetCurrentThreadId());
  }
}

std::vector<BarStep> barSteps() {
  return steps;
}

HWND dialogSeen(const char* caption) {
  HWND found = nullptr;
  for (const DialogSeen& dialog : dialogs) {
    if (dialog.caption == caption) found = dialog.window;
  }
  return found;
}

void clearRecordedDialogs() {
  steps.clear();
  dialogs.clear();
}

int stepsOf(const std::vector<BarStep>& all, const std::string& bar) {
  int count = 0;
  for (const BarStep& step : all) count += step.bar == bar ? 1 : 0;
  return count;
}

int lastPosition(const std::vector<BarStep>& all, const std::string& bar) {
  int position = -1;
  for (const BarStep& step : all) {
    if (step.bar == bar) position = step.position;
  }
  return position;
}

void answerOpenFileDialog(const std::string& path, std::string* shownPath) {
  fileToChoose = path;
  fileShown = shownPath;
  fileDialogAnswered = false;
  if (!fileTimer) fileTimer = SetTimer(nullptr, 0, 50, answerFileDialog);
}

bool openFileDialogAnswered() {
  return fileDialogAnswered;
}

void pressEscapeInProgressDialog(const std::vector<int>& answers, int intervalMs) {
  escapeAnswers = answers;
  escapesDone = 0;
  escapeIntervalMs = intervalMs;
  escapeDialogSeen = false;
  if (!escapeTimer && !answers.empty()) escapeTimer = SetTimer(nullptr, 0, 50, pressEscape);
}

bool resetTargetSilent(int port) {
  return simCommand(port, "set call-ms 0") && simCommand(port, "reset");
}

bool resetTargetCalling(int port) {
  return resetTargetSilent(port) && simCommand(port, "set call-ms 50");
}

std::string writeHexFile(const char* name, uint32_t address, const std::vector<uint8_t>& data) {
  std::string text;
  char token[16];
  snprintf(token, sizeof token, "%08X\n", static_cast<unsigned>(address));
  text += token;
  for (size_t i = 0; i < data.size(); ++i) {
    snprintf(token, sizeof token, "%02X%c", data[i],
             (i % 16 == 15 || i + 1 == data.size()) ? '\n' : ' ');
    text += token;
  }
  return writeTextFile(name, text);
}

std::string writeTextFile(const char* name, const std::string& text) {
  std::string path = scratchPath(name);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return "";
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
  return path;
}

long fileSize(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return -1;
  std::fseek(file, 0, SEEK_END);
  long size = std::ftell(file);
  std::fclose(file);
  return size;
}

std::vector<uint8_t> patternBytes(size_t count, uint32_t seed) {
  std::vector<uint8_t> bytes(count);
  uint32_t state = seed;
  for (uint8_t& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

bool waitForSimFlash(int port, uint32_t address, const std::vector<uint8_t>& data, int timeoutMs) {
  return pumpMessagesUntil(
      [&] {
        std::vector<uint8_t> flash = simMemory(port);
        return flash.size() >= address + data.size() &&
               std::memcmp(flash.data() + address, data.data(), data.size()) == 0;
      },
      timeoutMs);
}

bool waitForErasedSimFlash(int port, uint32_t from, uint32_t to, int timeoutMs) {
  return pumpMessagesUntil(
      [&] {
        std::vector<uint8_t> flash = simMemory(port);
        if (flash.size() < to) return false;
        for (uint32_t i = from; i < to; ++i) {
          if (flash[i] != 0xFF) return false;
        }
        return true;
      },
      timeoutMs);
}
