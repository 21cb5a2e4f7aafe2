// Serial port backend for Windows: CreateFileA, the line state (DCB), the read
// timeouts, ReadFile and WriteFile.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "link/serial_backend.h"

namespace {

HANDLE handleOf(SerialPort port) {
  return reinterpret_cast<HANDLE>(port);
}

// What an open that failed with the error means.
PortOpenFault faultOf(DWORD error) {
  const int code = static_cast<int>(error);
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return {PortOpenStatus::Busy, code};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
      return {PortOpenStatus::Absent, code};
    default:
      return {PortOpenStatus::Failed, code};
  }
}

}  // namespace

std::string systemErrorText(int systemError) {
  if (systemError == 0) return std::string();
  char reason[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(systemError), 0, reason, sizeof reason, nullptr);
  std::string text = reason;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

bool backendOpen(SerialPort* port, const SerialSettings& settings, PortOpenFault* fault) {
  // The device namespace prefix lets COM10 and above open as well as COM1 to
  // COM9. A front end may name the port ("COM42") instead of its number.
  char name[32];
  const std::string path = portDevicePath(settings.portNumber);
  if (path.empty()) {
    snprintf(name, sizeof name, "\\\\.\\COM%d", static_cast<int>(settings.portNumber));
  } else {
    snprintf(name, sizeof name, "\\\\.\\%s", path.c_str());
  }
  HANDLE handle =
      CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *fault = faultOf(GetLastError());
    return false;
  }
  *port = reinterpret_cast<SerialPort>(handle);

  DCB lineState;
  ZeroMemory(&lineState, sizeof lineState);
  lineState.DCBlength = sizeof lineState;
  if (GetCommState(handle, &lineState)) {
    LineState wanted = lineStateFor(settings);
    lineState.BaudRate = wanted.baudRate;
    lineState.ByteSize = wanted.byteSize;
    lineState.Parity = wanted.parity;      // same numbering as NOPARITY/ODDPARITY/EVENPARITY
    lineState.StopBits = wanted.stopBits;  // same numbering as ONESTOPBIT/ONE5STOPBITS/TWOSTOPBITS
    SetCommState(handle, &lineState);
  }
  return true;
}

bool backendSetReadSlice(SerialPort port) {
  // Returns at once when a byte arrives, or after one slice with none.
  COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, BlockingSliceMilliseconds, 0, 0};
  return SetCommTimeouts(handleOf(port), &timeouts) != 0;
}

int backendReadByte(SerialPort port, uint8_t* byte) {
  DWORD got = 0;
  if (!ReadFile(handleOf(port), byte, 1, &got, nullptr)) return -1;  // the device is gone
  if (got == 1) return 1;
  // A slice with no byte: a silent line, or one that has ended. An unplugged
  // adapter or a hung-up line no longer reports its state.
  DWORD errors = 0;
  COMSTAT status;
  return ClearCommError(handleOf(port), &errors, &status) ? 0 : -1;
}

void backendPurgeInput(SerialPort port) {
  PurgeComm(handleOf(port), PURGE_RXCLEAR);
}

bool backendWrite(SerialPort port, const void* bytes, size_t count) {
  DWORD put = 0;
  return WriteFile(handleOf(port), bytes, static_cast<DWORD>(count), &put, nullptr) != 0;
}

void backendClose(SerialPort port) {
  CloseHandle(handleOf(port));
}

int backendSetControlLine(SerialPort port, ControlLine line, bool asserted) {
  HANDLE handle = handleOf(port);
  DWORD function =
      line == ControlLine::Dtr ? (asserted ? SETDTR : CLRDTR) : (asserted ? SETRTS : CLRRTS);
  if (!EscapeCommFunction(handle, function)) return static_cast<int>(GetLastError());
  // The line state keeps the level too, for what the driver does on its own
  // (at a later SetCommState, at close).
  DCB lineState;
  ZeroMemory(&lineState, sizeof lineState);
  lineState.DCBlength = sizeof lineState;
  if (!GetCommState(handle, &lineState)) return static_cast<int>(GetLastError());
  if (line == ControlLine::Dtr) {
    lineState.fDtrControl = asserted ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  } else {
    lineState.fRtsControl = asserted ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  }
  return SetCommState(handle, &lineState) ? 0 : static_cast<int>(GetLastError());
}

// Nothing to keep: the line state set with each line holds until the last
// close, and what the lines do then is the driver's choice (the common ones
// lower DTR and RTS).
int backendKeepControlLinesAtClose(SerialPort) {
  return 0;
}
