#include "operations/run_logic.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>

#include "image/firmware_image.h"
#include "image/hex_token_reader.h"
#include "image/prepared_image.h"
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

std::atomic<int> stopRequested{0};

struct ProgramVariant {
  LinkResult (*start)();
  ProgressReply eraseEndReply;
  const char* openErrorText;
  const char* closeErrorText;
};

const ProgramVariant applicationVariant = {startProgramApplication, ProgressReply::AppAck,
                                           "Error opening selected HEX file.",
                                           "Cannot Close Flash.hex."};
const ProgramVariant bootloaderVariant = {startProgramBootloader, ProgressReply::BootAck,
                                          "Error opening selected hex file.",
                                          "Cannot selected HEX file."};

const ProgramVariant& variantOf(ProgramTarget target) {
  return target == ProgramTarget::Bootloader ? bootloaderVariant : applicationVariant;
}

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

// A run abandoned or stopped before its start exchange sends nothing at all.
// RunSucceeded when the run may address the target.
RunOutcome beforeStart(const RunReport& report) {
  if (runStopRequested()) return RunStoppedBeforeStart;
  // An abandon ends the run as one during the start exchange would.
  if (linkAbortRequested()) return communicationError(report);
  return RunSucceeded;
}

// Reads progress replies until the one that ends the erase. Each block-erased
// reply steps the erase bar. Returns the outcome of the erase phase: success,
// an erase error (shown here), or a lost link when the wait was abandoned.
RunOutcome erasePhase(ProgressReply endReply, const RunReport& report, int* erasedCount) {
  for (;;) {
    if (runStopRequested()) return RunInterrupted;
    const ProgressReply reply = readProgressReply();
    if (reply == ProgressReply::BlockErased) {
      report.stepErase(report.context);
      ++*erasedCount;
    } else if (reply == endReply) {
      return RunSucceeded;
    } else if (runStopRequested()) {
      return RunInterrupted;
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

// Fills the erase bar when the target reported fewer blocks than it has steps.
void fillEraseBar(const RunReport& report, int erasedCount) {
  for (; erasedCount < EraseBarSteps; ++erasedCount) report.stepErase(report.context);
}

// Sends one record and counts it once acknowledged.
bool sendCounted(const BlockRecord& record, ProgramTally* tally) {
  if (sendBlock(record) != LinkOk) return false;
  tally->bytes += record.byteCount;
  ++tally->blocks;
  return true;
}

// Sends the image block by block and ends programming. Steps the programming
// bar by the share of the image read before each block. A stop request ends
// the phase between two blocks.
RunOutcome programmingPhase(const ImageSnapshot& image, const RunReport& report,
                            ProgramTally* tally) {
  const unsigned long sizeKiB = static_cast<unsigned long>(image.bytes.size() >> 10);
  const double scale = sizeKiB == 0 ? 0.0 : ProgramBarSteps / static_cast<double>(sizeKiB);
  double previous = 0.0;
  int tokenSeen = 0;
  BlockRecord record;
  ImageSource source = imageSource(image);
  tally->failedStep = "programming";
  for (;;) {
    double progress = static_cast<double>(source.position / 1024) * scale;
    int steps = static_cast<int>(progress) - static_cast<int>(previous);
    for (int i = 0; i < steps; ++i) report.stepProgram(report.context);
    previous = progress;

    if (runStopRequested()) return RunInterrupted;
    if (readNextBlock(&record, &tokenSeen, &source) == 1) {
      if (tokenSeen && !sendCounted(record, tally)) return RunCommunicationError;
      if (runStopRequested()) return RunInterrupted;
      tally->failedStep = "end";
      if (endProgramming() != LinkOk) return RunCommunicationError;
      tally->failedStep.clear();
      return RunSucceeded;
    }
    if (!sendCounted(record, tally)) return RunCommunicationError;
  }
}

}  // namespace

const char* fileOpenErrorText(ProgramTarget target) {
  return variantOf(target).openErrorText;
}

const char* fileCloseErrorText(ProgramTarget target) {
  return variantOf(target).closeErrorText;
}

void reportImageClose(ProgramTarget target, const ImageSnapshot& image, const RunReport& report) {
  if (image.closeFailed) show(report, fileCloseErrorText(target), "File Error", IconError);
}

std::string fileFaultText(const HexFileFault& fault) {
  // The refusal of a file without data is a sentence of its own.
  if (fault.line == 0 && strcmp(fault.message, NoDataText) == 0) return fault.message;
  char text[320];
  char place[24] = "";
  if (fault.line > 0) snprintf(place, sizeof place, "Line %d: ", fault.line);
  snprintf(text, sizeof text,
           "The selected HEX file cannot be programmed.\n%s%s.\nThe target has not been changed.",
           place, fault.message);
  return text;
}

bool loadImageForRun(ProgramTarget target, const char* path, ImageSnapshot* image,
                     const RunReport& report) {
  // The format by content; the run checks the image from the cursors as they
  // stand when it starts.
  LoadedImage loaded;
  ImagePrepareFault fault;
  const bool prepared = prepareImageFile(path, ImageRequest(), &loaded, &fault);
  *image = std::move(loaded.run);
  if (prepared) return true;
  if (fault.step == ImagePrepareStep::Content) {
    show(report, fileFaultText(fault.content).c_str(), "File Error", IconError);
  } else if (fault.load.status == ImageLoadStatus::TooLarge) {
    show(report, "The selected HEX file is larger than 256 MiB and cannot be programmed.",
         "File Error", IconError);
  } else {
    show(report, fileOpenErrorText(target), "File Error", IconError);
  }
  return false;
}

RunOutcome runProgramming(ProgramTarget target, const ImageSnapshot& image, const RunReport& report,
                          ProgramTally* tally) {
  ProgramTally ownTally;
  if (!tally) tally = &ownTally;
  *tally = ProgramTally();
  const ProgramVariant& variant = variantOf(target);

  HexFileFault fault;
  const ReaderCursors start = runStartCursors(image, readerCursors());
  if (!checkHexTokenFile(image, start, &fault)) {
    // Nothing is sent for a file that would not be programmed as written.
    tally->failedStep = "file";
    show(report, fileFaultText(fault).c_str(), "File Error", IconError);
    return RunFileError;
  }
  setReaderCursors(start);

  tally->failedStep = "start";
  if (RunOutcome stopped = beforeStart(report); stopped != RunSucceeded) return stopped;
  if (variant.start() != LinkOk) {
    if (runStopRequested()) return RunInterrupted;
    return communicationError(report);
  }
  tally->failedStep = "erase";
  int erasedCount = 0;
  RunOutcome outcome = erasePhase(variant.eraseEndReply, report, &erasedCount);
  if (outcome == RunSucceeded) {
    fillEraseBar(report, erasedCount);
    outcome = programmingPhase(image, report, tally);
  }
  // A wait ended by a stop request is an interruption, not a lost target.
  if (outcome == RunCommunicationError && runStopRequested()) outcome = RunInterrupted;
  if (outcome == RunCommunicationError) {
    communicationError(report);
  } else if (outcome == RunSucceeded) {
    show(report, "Target Flash has been successfully programmed.", "Programming Operation Complete",
         IconInformation);
  }
  return outcome;
}

RunOutcome runErase(EraseMode mode, const RunReport& report) {
  const bool entire = mode == EraseMode::EntireFlash;
  if (RunOutcome stopped = beforeStart(report); stopped != RunSucceeded) return stopped;
  if ((entire ? startEraseAll() : startErase()) != LinkOk) {
    return runStopRequested() ? RunInterrupted : communicationError(report);
  }

  int erasedCount = 0;
  RunOutcome outcome = erasePhase(ProgressReply::Complete, report, &erasedCount);
  if (outcome == RunCommunicationError && runStopRequested()) outcome = RunInterrupted;
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

void requestRunStop() {
  stopRequested.store(1);
}
void clearRunStop() {
  stopRequested.store(0);
}
bool runStopRequested() {
  return stopRequested.load() != 0;
}
