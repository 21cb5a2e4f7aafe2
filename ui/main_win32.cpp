// The desktop tool's entry point. The command line is not read.
#include <windows.h>

#include "ui/startup_win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  return runApplication(instance, showCommand);
}
