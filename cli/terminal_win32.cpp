#include <windows.h>
#include <io.h>

#include <cctype>
#include <cstdio>

#include "cli/exit_codes.h"
#include "cli/terminal.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {
void (*interruptHandler)() = nullptr;
BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    if (interruptHandler) interruptHandler();
    return TRUE;
  }
  return FALSE;
}

std::string quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
      backslashes = 0;
    } else {
      out.append(backslashes, '\\');
      backslashes = 0;
    }
    if (c != '\\') out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}
}  // namespace

bool isTerminal(FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

void onInterrupt(void (*handler)()) {
  interruptHandler = handler;
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

std::vector<PortInfo> listSerialPorts() {
  std::vector<PortInfo> ports;
  for (int number = 1; number <= 256; ++number) {
    char name[16];
    char target[512];
    snprintf(name, sizeof name, "COM%d", number);
    if (QueryDosDeviceA(name, target, sizeof target) != 0) ports.push_back({name, target});
  }
  return ports;
}

bool startWorker(const std::vector<std::string>& arguments, WorkerProcess* worker, bool feedInput) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE inputRead = nullptr, inputWrite = nullptr;
  if (feedInput) {
    if (!CreatePipe(&inputRead, &inputWrite, &inherit, 0)) {
      CloseHandle(readEnd);
      CloseHandle(writeEnd);
      return false;
    }
    SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);
  }
  std::string commandLine;
  for (const std::string& argument : arguments) commandLine += quoted(argument) + " ";
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdInput = feedInput ? inputRead : GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process;
  BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (feedInput) CloseHandle(inputRead);
  if (!started) {
    CloseHandle(readEnd);
    if (feedInput) CloseHandle(inputWrite);
    return false;
  }
  worker->inputHandle = inputWrite;
  CloseHandle(process.hThread);
  worker->id = reinterpret_cast<long long>(process.hProcess);
  worker->outputHandle = readEnd;
  return true;
}

bool writeWorkerInput(WorkerProcess* worker, const uint8_t* bytes, size_t size) {
  if (!worker->inputHandle) return false;
  bool ok = true;
  while (size > 0) {
    DWORD put = 0;
    DWORD piece = size > 65536 ? 65536 : static_cast<DWORD>(size);
    if (!WriteFile(worker->inputHandle, bytes, piece, &put, nullptr) || put == 0) {
      ok = false;
      break;
    }
    bytes += put;
    size -= put;
  }
  CloseHandle(worker->inputHandle);
  worker->inputHandle = nullptr;
  return ok;
}

long readWorkerOutput(WorkerProcess* worker, char* buffer, size_t size) {
  DWORD got = 0;
  if (!ReadFile(worker->outputHandle, buffer, static_cast<DWORD>(size), &got, nullptr)) return 0;
  return static_cast<long>(got);
}

int waitWorker(WorkerProcess* worker) {
  if (worker->outputHandle) CloseHandle(worker->outputHandle);
  worker->outputHandle = nullptr;
  HANDLE process = reinterpret_cast<HANDLE>(worker->id);
  WaitForSingleObject(process, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return static_cast<int>(code);
}

std::string selfPath(const char* argv0) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return length > 0 && length < sizeof path ? std::string(path, length) : std::string(argv0);
}

void prepareStandardStreams() {
  // Windows gives a process without a standard stream no handle at all, and a
  // closed pipe fails the write without ending the process.
}

bool enableEscapeSequences(FILE* stream) {
  HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void endWithParent() {
  // Console interrupts reach every process of the console; a worker whose
  // parent is gone finds its output pipe closed.
}

void forwardInterruptsTo(const WorkerProcess&) {}

int claimPort(const std::string& device, std::string* message) {
  // A COM port opened without sharing is this process's alone: try it, say why
  // it does not open, and leave it to the link.
  std::string path = "\\\\.\\" + device;
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (port != INVALID_HANDLE_VALUE) {
    CloseHandle(port);
    return ExitOk;
  }
  DWORD error = GetLastError();
  char reason[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 reason, sizeof reason, nullptr);
  std::string text = reason;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
    *message = device + ": port busy (" + text + ")";
  } else {
    *message = "COM Port Error: Cannot Connect to " + device + ": " + text;
  }
  return ExitPortError;
}

namespace {

bool fileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(file, info) != 0;
  CloseHandle(file);
  return ok;
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION first, second;
  return fileIdentity(a, &first) && fileIdentity(b, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

// A COM port opened without sharing is this process's alone while the link
// has it open: there is no lock to take again.
int reclaimPort(const std::string&, std::string*) {
  return ExitOk;
}

std::string portOpenError(const std::string& device) {
  std::string message;
  if (claimPort(device, &message) == ExitOk) return "";
  // The system's words follow the device's name.
  const size_t colon = message.find(device + ": ");
  return colon == std::string::npos ? message : message.substr(colon + device.size() + 2);
}

bool samePort(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (toupper(static_cast<unsigned char>(a[i])) != toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}
