#include "ui/help_win32.h"

#include <objbase.h>
#include <shellapi.h>

#include "ui/main_window_win32.h"
#include "ui/resource_ids.h"

HelpFunction openHelp = WinHelpA;
ShellOpenFunction shellOpen = ShellExecuteA;

namespace {

bool helpFilePresent() {
  const DWORD attributes = GetFileAttributesA(besideProgram(HelpFileName).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// ShellExecuteA reports success with a value above 32. The shell may hand the
// file to an extension that needs COM on this thread, so COM is started first
// (once, for the life of the process).
bool openManual(HWND window, const std::string& manual) {
  static const HRESULT com =
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  (void)com;
  HINSTANCE result = shellOpen(window, "open", manual.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace

std::string besideProgram(const char* name) {
  char path[MAX_PATH] = {0};
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder = length > 0 && length < sizeof path ? std::string(path, length) : "";
  const size_t slash = folder.find_last_of("\\/");
  folder = slash == std::string::npos ? "" : folder.substr(0, slash + 1);
  return folder + name;
}

void showHelpContents(HWND window) {
  if (helpFilePresent()) {
    openHelp(window, HelpFileName, HELP_FORCEFILE, 0);
    return;
  }
  const std::string manual = besideProgram(ManualFileName);
  if (openManual(window, manual)) return;
  const std::string text =
      "The manual could not be opened in a browser. Open it by hand:\n\n" + manual;
  MessageBoxA(window, text.c_str(), "Flash Programming Tool Help", MB_OK | MB_ICONWARNING);
}

std::string aboutText() {
  return std::string(MainWindowTitle) +
         " flash programmer\nVersion " K4471_VERSION "\nCopyright " K4471_YEAR "\n\nManual: " +
         besideProgram(ManualFileName);
}

void showAbout(HWND window) {
  if (helpFilePresent()) {
    openHelp(window, HelpFileName, HELP_KEY, reinterpret_cast<ULONG_PTR>("About..."));
    return;
  }
  const std::string text = aboutText();
  const std::string caption = std::string("About ") + MainWindowTitle;
  MSGBOXPARAMSA box = {};
  box.cbSize = sizeof box;
  box.hwndOwner = window;
  box.hInstance = GetModuleHandleA(nullptr);
  box.lpszText = text.c_str();
  box.lpszCaption = caption.c_str();
  box.dwStyle = MB_OK | MB_USERICON;
  box.lpszIcon = APP_ICON_NAME;
  MessageBoxIndirectA(&box);
}
