// The launched application's answer (station/app_check.h): the line it prints, waited for.
#include "station/app_check.h"

#include <cstdio>
#include <vector>

#include "operations/exit_codes.h"
#include "station/failure.h"
#include "link/bootloader.h"

namespace {

// The longest part of a line a message shows.
constexpr size_t ShownLineLength = 200;

const char* const NotAnsweredText = "the application did not answer as expected";

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The texts between the {serial} of an --expect text: one more than there
// are of them.
std::vector<std::string> textsAround(const std::string& expect) {
  const std::string placeholder = SerialPlaceholder;
  std::vector<std::string> texts;
  size_t from = 0;
  for (size_t at = expect.find(placeholder); at != std::string::npos;
       at = expect.find(placeholder, from)) {
    texts.push_back(expect.substr(from, at - from));
    from = at + placeholder.size();
  }
  texts.push_back(expect.substr(from));
  return texts;
}

int failCheck(BoardReport* board, int code, const std::string& text) {
  return reportFailure(toldFailure(code, "app-check", text), board);
}

std::string lastLineText(const AppLastLine& lastLine) {
  if (lastLine.text.empty()) return "; it printed nothing";
  const char* cut = lastLine.ended ? "" : " (cut off before its end)";
  return "; the last line it printed" + std::string(cut) + ": \"" + printableLine(lastLine.text) +
         "\"";
}

// Waits for the answer on the port kept open after the launch frame.
int awaitAnswer(const Options& options, Progress* progress, BoardReport* board) {
  AppAnswerPattern answer;
  std::string text;
  if (!expectedAnswer(options.expect, board->serial, &answer, &text)) {
    return failCheck(board, ExitAppCheckFailed,
                     std::string(NotAnsweredText) + ": --expect names " + SerialPlaceholder +
                         " but the board has no serial number");
  }
  const std::string seconds = std::to_string(options.expectTimeoutSeconds);
  std::string note =
      "Waiting up to " + seconds + " s for the application to print \"" + text + "\".";
  progressNote(progress, note.c_str());
  AppLastLine lastLine;
  switch (awaitApplicationText(answer, options.expectTimeoutSeconds * 1000, &lastLine)) {
    case AppAnswer::Found:
      note = "The application answered: \"" + printableLine(lastLine.text) + "\"";
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

bool expectedAnswer(const std::string& expect, const std::optional<uint64_t>& serial,
                    AppAnswerPattern* answer, std::string* shown) {
  answer->texts = textsAround(expect);
  answer->number.clear();
  if (answer->texts.size() > 1) {
    if (!serial) return false;
    answer->number = std::to_string(*serial);
  }
  *shown = answer->texts[0];
  for (size_t i = 1; i < answer->texts.size(); ++i) *shown += answer->number + answer->texts[i];
  return true;
}

bool expectCanMatch(const std::string& expect, std::string* why) {
  const std::vector<std::string> texts = textsAround(expect);
  for (size_t i = 1; i < texts.size(); ++i) {
    const bool digitBefore = !texts[i - 1].empty() && isDigit(texts[i - 1].back());
    const bool digitAfter = !texts[i].empty() && isDigit(texts[i].front());
    const bool serialAfter = texts[i].empty() && i + 1 < texts.size();
    if (digitBefore || digitAfter || serialAfter) {
      *why = std::string(SerialPlaceholder) +
             " stands for a whole run of digits: it cannot touch a digit or another " +
             SerialPlaceholder;
      return false;
    }
  }
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

int launchAndCheck(const Options& options, Progress* progress, BoardReport* board, bool keepOpen) {
  if (options.expect.empty()) {
    keepOpen ? launchTargetKeepOpen() : launchTarget();
    progressNote(progress, "Target application launched.");
    return ExitOk;
  }
  // No close and no purge between the launch and the reading: the
  // application may speak at once.
  launchTargetKeepOpen();
  progressNote(progress, "Target application launched.");
  const int code = awaitAnswer(options, progress, board);
  if (!keepOpen) closeTargetPort();
  return code;
}
