#include "operations/run_logic.h"

#include <cstdio>

#include "image/hex_token_reader.h"
#include "link/bootloader.h"

const char* const CommunicationErrorText =
    "Communication Error with Target.\nTerminating programmming procedure.\nFurther "
    "communication with the target will be terminated.";
const char* const EraseAllWarningText =
    "About to Erase ALL of the target flash (incl. Bootloader).\nPlease ensure that a new "
    "Bootloader is programmed before \nterminating communication with the target. Failure to do "
    "so \nwill prevent future communication with the target.";
const char* const EraseErrorFormat =
    "Unexpected Error encountered erasing Block: %d.\nTerminating operation.";

namespace {

constexpr int EraseBarSteps = 20;

struct ProgramVariant {
  int32_t (*start)();
  int32_t eraseEndReply;
  const char* openErrorText;
  const char* closeErrorText;
};

const ProgramVariant applicationVariant = {startProgramApplication, ReplyAppAck,
                                           "Error opening selected HEX file.",
                                           "Cannot Close Flash.hex."};
const ProgramVariant bootloaderVariant = {startProgramBootloader, ReplyBootAck,
                                          "Error opening selected hex file.",
                                          "Cannot selected HEX file."};

void show(const RunReport& report, const char* text, const char* caption, unsigned icon,
          MessageOwner owner = MessageOwner::Dialog) {
  report.showMessage(report.context, text, caption, icon, owner);
}

void showEraseError(const RunReport& report, int erasedCount) {
  char text[128];
  snprintf(text, sizeof text, EraseErrorFormat, erasedCount + 1);
  show(report, text, "Erase Error", IconError);
}

RunOutcome communicationError(const RunReport& report) {
  show(report, CommunicationErrorText, "Error", IconError);
  report.linkLost(report.context);
  return RunCommunicationError;
}

// Reads progress replies until the one that ends the erase. Each block-erased
// reply steps the erase bar. Returns the outcome of the erase phase: success,
// an erase error (shown here), or a lost link when the wait was abandoned.
RunOutcome erasePhase(int32_t endReply, const RunReport& report, int* erasedCount) {
  for (;;) {
    int32_t reply = readProgressReply();
    if (reply == ReplyBlockErased) {
      report.stepErase(report.context);
      ++*erasedCount;
    } else if (reply == endReply) {
      return RunSucceeded;
    } else if (linkAbortRequested() || lastReadEnd() != ReadEnd::Frame) {
      // No reply at all: the user gave up waiting, the line failed, or the
      // target fell silent for longer than a front end allows.
      return RunCommunicationError;
    } else {
      showEraseError(report, *erasedCount);
      return RunEraseError;
    }
  }
}

// Fills the erase bar when the target reported fewer than twenty blocks.
void fillEraseBar(const RunReport& report, int erasedCount) {
  for (; erasedCount < EraseBarSteps; ++erasedCount) report.stepErase(report.context);
}

// Sends the file block by block and ends programming. Steps the programming
// bar by the share of the file read before each block.
bool programmingPhase(FILE* file, unsigned long sizeKiB, const RunReport& report) {
  const double scale = sizeKiB == 0 ? 0.0 : 100.0 / static_cast<double>(sizeKiB);
  double previous = 0.0;
  int tokenSeen = 0;
  BlockRecord record;
  for (;;) {
    double progress = static_cast<double>(static_cast<unsigned long>(ftell(file)) / 1024) * scale;
    int steps = static_cast<int>(progress) - static_cast<int>(previous);
    for (int i = 0; i < steps; ++i) report.stepProgram(report.context);
    previous = progress;

    if (readNextBlock(&record, &tokenSeen, file) == 1) {
      if (tokenSeen && sendBlock(record) != LinkOk) return false;
      return endProgramming() == LinkOk;
    }
    if (sendBlock(record) != LinkOk) return false;
  }
}

}  // namespace

const char* fileOpenErrorText(ProgramTarget target) {
  return target == ProgramTarget::Bootloader ? bootloaderVariant.openErrorText
                                             : applicationVariant.openErrorText;
}

RunOutcome runProgramming(ProgramTarget target, const char* path, const RunReport& report) {
  const ProgramVariant& variant =
      target == ProgramTarget::Bootloader ? bootloaderVariant : applicationVariant;
  FILE* file = fopen(path, "rb");
  if (!file) {
    show(report, variant.openErrorText, "File Error", IconError);
    return RunFileError;
  }

  RunOutcome outcome;
  HexFileFault fault;
  if (!checkHexTokenFile(file, &fault)) {
    // Nothing is sent for a file that would not be programmed as written.
    char text[320];
    snprintf(text, sizeof text,
             "The selected HEX file cannot be programmed.\nLine %d: %s.\nThe target has not been "
             "changed.",
             fault.line, fault.message);
    show(report, text, "File Error", IconError);
    outcome = RunFileError;
  } else {
    fseek(file, 0, SEEK_END);
    unsigned long sizeKiB = static_cast<unsigned long>(ftell(file)) >> 10;
    fseek(file, 0, SEEK_SET);

    int erasedCount = 0;
    if (variant.start() != LinkOk) {
      outcome = communicationError(report);
    } else {
      outcome = erasePhase(variant.eraseEndReply, report, &erasedCount);
      if (outcome == RunSucceeded) {
        fillEraseBar(report, erasedCount);
        if (!programmingPhase(file, sizeKiB, report)) outcome = RunCommunicationError;
      }
      if (outcome == RunCommunicationError) {
        communicationError(report);
      } else if (outcome == RunSucceeded) {
        show(report, "Target Flash has been successfully programmed.",
             "Programming Operation Complete", IconInformation);
      }
    }
  }
  if (fclose(file) != 0) show(report, variant.closeErrorText, "File Error", IconError);
  return outcome;
}

RunOutcome runErase(EraseMode mode, const RunReport& report) {
  const bool entire = mode == EraseMode::EntireFlash;
  if ((entire ? startEraseAll() : startErase()) != LinkOk) return communicationError(report);

  int erasedCount = 0;
  RunOutcome outcome = erasePhase(ReplyComplete, report, &erasedCount);
  if (outcome == RunCommunicationError) return communicationError(report);
  if (outcome != RunSucceeded) return outcome;

  fillEraseBar(report, erasedCount);
  if (entire) {
    show(report,
         "Target Flash has been successfully erased including the bootloader.\nPlease ensure "
         "that a new bootloader is programmed before terminating\ncommunications with the "
         "target.",
         "Erase Operation Complete", IconWarning, MessageOwner::MainWindow);
  } else {
    show(report, "Target Flash has been successfully erased.", "Erase Operation Complete",
         IconInformation, MessageOwner::MainWindow);
  }
  return RunSucceeded;
}
