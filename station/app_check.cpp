// The launched application's answer (station/app_check.h): the line it prints, waited for.
#include "station/app_check.h"

#include <cstdio>

#include "operations/exit_codes.h"
#include "link/bootloader.h"

namespace {

// The longest part of a line a message shows.
constexpr size_t ShownLineLength = 200;

const char* const NotAnsweredText = "the application did not answer as expected";

int failCheck(BoardReport* board, int code, const std::string& text) {
  fprintf(stderr, "error: %s\n", text.c_str());
  board->failedStep = "app-check";
  board->message = text;
  return code;
}

std::string lastLineText(const std::string& lastLine) {
  if (lastLine.empty()) return "; it printed nothing";
  return "; the last line it printed: \"" + printableLine(lastLine) + "\"";
}

// Waits for the answer on the port kept open after the launch frame.
int awaitAnswer(const Options& options, Progress* progress, BoardReport* board) {
  std::string text;
  if (!expectedText(options.expect, board->serial, &text)) {
    return failCheck(board, ExitAppCheckFailed,
                     std::string(NotAnsweredText) + ": --expect names " + SerialPlaceholder +
                         " but the board has no serial number");
  }
  const std::string seconds = std::to_string(options.expectTimeoutSeconds);
  std::string note =
      "Waiting up to " + seconds + " s for the application to print \"" + text + "\".";
  progressNote(progress, note.c_str());
  std::string lastLine;
  switch (awaitApplicationText(text, options.expectTimeoutSeconds * 1000, &lastLine)) {
    case AppAnswer::Found:
      note = "The application answered: \"" + printableLine(lastLine) + "\"";
      progressNote(progress, note.c_str());
      return ExitOk;
    case AppAnswer::Aborted:
      return failCheck(board, ExitInterrupted,
                       "Interrupted while waiting for the application's answer: the board is "
                       "programmed, its application unchecked.");
    case AppAnswer::LineFailed:
      return failCheck(board, ExitAppCheckFailed,
                       std::string(NotAnsweredText) +
                           ": the line to the target failed (unplugged?)" + lastLineText(lastLine));
    case AppAnswer::TimeLimit:
      break;
  }
  return failCheck(board, ExitAppCheckFailed,
                   std::string(NotAnsweredText) + ": no line containing \"" + text + "\" within " +
                       seconds + " s" + lastLineText(lastLine));
}

}  // namespace

bool expectedText(const std::string& pattern, const std::optional<uint64_t>& serial,
                  std::string* text) {
  const std::string placeholder = SerialPlaceholder;
  text->clear();
  size_t from = 0;
  for (size_t at = pattern.find(placeholder); at != std::string::npos;
       at = pattern.find(placeholder, from)) {
    if (!serial) return false;
    *text += pattern.substr(from, at - from) + std::to_string(*serial);
    from = at + placeholder.size();
  }
  *text += pattern.substr(from);
  return true;
}

std::string printableLine(const std::string& line) {
  std::string shown =
      line.size() > ShownLineLength ? "..." + line.substr(line.size() - ShownLineLength) : line;
  for (char& c : shown) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return shown;
}

int launchAndCheck(const Options& options, Progress* progress, BoardReport* board) {
  if (options.expect.empty()) {
    launchTarget();
    progressNote(progress, "Target application launched.");
    return ExitOk;
  }
  // No close and no purge between the launch and the reading: the
  // application may speak at once.
  launchTargetKeepOpen();
  progressNote(progress, "Target application launched.");
  const int code = awaitAnswer(options, progress, board);
  closeTargetPort();
  return code;
}
