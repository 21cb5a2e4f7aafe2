// The programming run and the erase run, written once for every front end: the
// desktop tool's progress dialogs, the command line and the tests. A run
// drives the link on the calling thread and tells its front end what to show
// through a table of callbacks.
#pragma once

#include <string>

#include "image/hex_token_reader.h"
#include "image/image_snapshot.h"
#include "operations/app_state.h"

// Message box icons, with the platform's values.
constexpr unsigned IconError = 0x10;
constexpr unsigned IconWarning = 0x30;
constexpr unsigned IconInformation = 0x40;

// Who owns a message: the run's progress dialog, or the main window.
enum class MessageOwner { Dialog, MainWindow };

// The ranges of the bars a run steps, for every front: the erase bar runs
// from 0 to EraseBarSteps, the programming bar from 0 to ProgramBarSteps.
constexpr int EraseBarSteps = 20;
constexpr int ProgramBarSteps = 100;

struct RunReport {
  void* context;
  // One step of the erase bar or of the programming bar.
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
  RunInterrupted = 4,         // stopped on request between blocks; nothing is shown
  RunStoppedBeforeStart = 5,  // stopped on request before the target was addressed: nothing
                              // was sent and nothing is shown
};

// What a programming run got done, for reports: the bytes and block records
// acknowledged, and the step it failed at ("file", "start", "erase",
// "programming", "end"; empty when it did not fail).
struct ProgramTally {
  unsigned long long bytes = 0;
  unsigned long blocks = 0;
  std::string failedStep;
};

// The texts of the runs.
extern const char* const CommunicationErrorText;
extern const char* const EraseErrorFormat;
// Asked before the entire flash is erased.
extern const char* const EraseAllWarningText;
// Told when the chosen file does not open.
const char* fileOpenErrorText(ProgramTarget target);
// Told when the chosen file, read whole, did not close.
const char* fileCloseErrorText(ProgramTarget target);
// Shows the close error when the image's file did not close; a front shows
// it after the run's outcome.
void reportImageClose(ProgramTarget target, const ImageSnapshot& image, const RunReport& report);

// The text of the file error for a file that cannot be programmed as it
// stands: the fault with its line, if it has one.
std::string fileFaultText(const HexFileFault& fault);

// Reads the image file at path whole and makes it what the run reads: a file
// in another format than hex token (recognised by its content) is turned into
// hex token text. On failure shows the file error (the open error text of the
// target, or the fault with its line) and returns false; the target is not
// addressed.
bool loadImageForRun(ProgramTarget target, const char* path, ImageSnapshot* image,
                     const RunReport& report);
// Programs the image into the connected target. The image is checked first,
// from the reader's cursors as they stand (or, for an image made from another
// format, from its start address, where the cursors are then set): a file
// outside the format, or one without data, is refused before the target is
// addressed.
RunOutcome runProgramming(ProgramTarget target, const ImageSnapshot& image, const RunReport& report,
                          ProgramTally* tally = nullptr);
// Erases the connected target's flash.
RunOutcome runErase(EraseMode mode, const RunReport& report);

// A request to stop a run between two blocks (a signal to the command line).
// A run that sees it, or whose wait it ended, returns RunInterrupted without a
// message; the target then holds part of the image. Seen before the start
// exchange, it ends the run with RunStoppedBeforeStart and nothing is sent.
// (An abandon, the link's abort request, seen there ends the run as the
// communication error, again without a byte sent.) The request stays until
// it is cleared. Safe to call from a signal handler.
void requestRunStop();
void clearRunStop();
bool runStopRequested();
