// Keys typed on a Windows console: read as input records, which neither echo
// nor wait for a line, by a thread of their own that blocks on the console.
// Polling the console instead (_kbhit) finds nothing under Wine, whose console
// takes a terminal's input only while somebody reads. Standard input that is
// not a console (a file, a pipe, the null device) gives no keys.
#include <windows.h>

#include <atomic>

#include "cli/keys.h"

namespace {

std::atomic<bool> started{false};
bool readerRunning = false;
// The key read and not yet taken; 0: none. The reader waits for it to be
// taken before it reads the next, so none is lost or reordered.
std::atomic<int> pendingKey{0};

bool isConsole(HANDLE input) {
  DWORD mode = 0;
  return input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode) != 0;
}

// The character of a key pressed, or 0 for any other record.
int keyOf(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return 0;
  return static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
}

DWORD WINAPI readKeys(void* context) {
  HANDLE input = static_cast<HANDLE>(context);
  for (;;) {
    INPUT_RECORD record;
    DWORD read = 0;
    if (!ReadConsoleInputA(input, &record, 1, &read)) return 0;
    const int key = read == 1 ? keyOf(record) : 0;
    if (key == 0 || !started.load()) continue;
    pendingKey.store(key);
    while (pendingKey.load() != 0 && started.load()) Sleep(10);
  }
}

}  // namespace

bool startKeys() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!isConsole(input)) return false;
  pendingKey.store(0);
  started.store(true);
  // The reader stays blocked on the console once the keys end: it is never
  // started twice, and what it reads meanwhile is dropped.
  if (!readerRunning) {
    HANDLE thread = CreateThread(nullptr, 0, readKeys, input, 0, nullptr);
    if (thread == nullptr) {
      started.store(false);
      return false;
    }
    CloseHandle(thread);
    readerRunning = true;
  }
  return true;
}

int typedKey() {
  if (!started.load()) return 0;
  return pendingKey.exchange(0);
}

void endKeys() {
  started.store(false);
  pendingKey.store(0);
}
