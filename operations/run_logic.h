// The programming run and the erase run, written once for every front end: the
// desktop tool's progress dialogs, the command line and the tests. A run
// drives the link on the calling thread and tells its front end what to show
// through a table of callbacks.
#pragma once

#include "operations/app_state.h"

// Message box icons, with the platform's values.
constexpr unsigned IconError = 0x10;
constexpr unsigned IconWarning = 0x30;
constexpr unsigned IconInformation = 0x40;

// Who owns a message: the run's progress dialog, or the main window.
enum class MessageOwner { Dialog, MainWindow };

struct RunReport {
  void* context;
  // One step of the erase bar (0 to 20) or of the programming bar (0 to 100).
  void (*stepErase)(void* context);
  void (*stepProgram)(void* context);
  // A message for the user; returns once the user has taken note of it.
  void (*showMessage)(void* context, const char* text, const char* caption, unsigned icon,
                      MessageOwner owner);
  // The link to the target is lost: the front end closes it and reconnects.
  void (*linkLost)(void* context);
};

enum RunOutcome {
  RunSucceeded = 0,
  RunFileError = 1,           // the file did not open or lies outside the format
  RunEraseError = 2,          // the target reported something else while erasing
  RunCommunicationError = 3,  // the target did not answer as it should; the link is lost
};

// The texts of the runs.
extern const char* const CommunicationErrorText;
extern const char* const EraseErrorFormat;
// Asked before the entire flash is erased.
extern const char* const EraseAllWarningText;
// Told when the chosen file does not open.
const char* fileOpenErrorText(ProgramTarget target);

// Programs the hex token file at path into the connected target.
RunOutcome runProgramming(ProgramTarget target, const char* path, const RunReport& report);
// Erases the connected target's flash.
RunOutcome runErase(EraseMode mode, const RunReport& report);
