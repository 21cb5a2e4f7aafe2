// A gang's worker processes on Windows: CreateProcess with pipes for its streams.
#include <windows.h>

#include <string>

#include "station/worker_process.h"

namespace {
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

bool sendWorkerInput(WorkerProcess* worker, const uint8_t* bytes, size_t size) {
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
  return ok;
}

void closeWorkerInput(WorkerProcess* worker) {
  if (!worker->inputHandle) return;
  CloseHandle(worker->inputHandle);
  worker->inputHandle = nullptr;
}

bool writeWorkerInput(WorkerProcess* worker, const uint8_t* bytes, size_t size) {
  const bool ok = sendWorkerInput(worker, bytes, size);
  closeWorkerInput(worker);
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

void endWithParent() {
  // Console interrupts reach every process of the console; a worker whose
  // parent is gone finds its output pipe closed.
}

void forwardInterruptsTo(const WorkerProcess&) {}

// Windows passes console interrupts to every process of the console itself.
void passSignalToWorkers(int) {}
