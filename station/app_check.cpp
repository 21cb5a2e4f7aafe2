// The launched application's answer (station/app_check.h): the lines it prints, waited for.
#include "station/app_check.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "link/bootloader.h"
#include "operations/exit_codes.h"
#include "station/board_image.h"

namespace {

// The longest part of a line a message shows.
constexpr size_t ShownLineLength = 200;

const char* const NotAnsweredText = "the application did not answer as expected";

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isHexDigit(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// Where a placeholder `{NAME:` starts at `at`: the end of its name, else 0.
size_t placeholderName(const std::string& text, size_t at) {
  size_t end = at + 1;
  while (end < text.size() && std::isalnum(static_cast<unsigned char>(text[end]))) ++end;
  return end > at + 1 && end < text.size() && text[end] == ':' ? end : 0;
}

// Whether c would continue the slot's value.
bool continues(const ExpectSlot& slot, char c) {
  return slot.serial ? isDigit(c) : isHexDigit(c);
}

// Whether a value can stand in its place: nothing that would continue it
// right before or after, and no other value beside it.
bool slotsCanMatch(const ExpectParts& parts, std::string* why) {
  for (size_t i = 0; i < parts.slots.size(); ++i) {
    const ExpectSlot& slot = parts.slots[i];
    const std::string& before = parts.texts[i];
    const std::string& after = parts.texts[i + 1];
    const bool touches = (!before.empty() && continues(slot, before.back())) ||
                         (!after.empty() && continues(slot, after.front()));
    const bool beside = after.empty() && i + 1 < parts.slots.size();
    if (!touches && !beside) continue;
    *why = slot.serial ? std::string(SerialPlaceholder) +
                             " stands for a whole run of digits: it cannot touch a digit or "
                             "another placeholder"
                       : slot.proof.given +
                             " stands for a whole run of hexadecimal digits: it cannot touch "
                             "one or another placeholder";
    return false;
  }
  return true;
}

int failCheck(BoardReport* board, int code, const std::string& text) {
  fprintf(stderr, "error: %s\n", text.c_str());
  board->failedStep = "app-check";
  board->message = text;
  return code;
}

std::string lastLineText(const AppLastLine& lastLine) {
  if (lastLine.text.empty()) return "; it printed nothing";
  const char* cut = lastLine.ended ? "" : " (cut off before its end)";
  return "; the last line it printed" + std::string(cut) + ": \"" + printableLine(lastLine.text) +
         "\"";
}

// "; expected: crc32 of ... = ..., sha256 of ... = ..." when there are digests.
std::string expectedValues(const BoardReport& board) {
  std::string text;
  for (const ProofRange& range : board.proof) {
    text += (text.empty() ? "; expected: " : ", ") + proofText(range);
  }
  return text;
}

// The patterns of the --expect texts for this board, and the texts shown.
bool boardAnswers(const Options& options, const BoardReport& board,
                  std::vector<AppAnswerPattern>* answers, std::vector<std::string>* shown) {
  size_t next = 0;
  for (const std::string& expect : options.expect) {
    ExpectParts parts;
    std::string why, text;
    AppAnswerPattern answer;
    if (!parseExpect(expect, &parts, &why) ||
        !expectedAnswer(parts, board.serial, board.proof, &next, &answer, &text)) {
      return false;
    }
    answers->push_back(answer);
    shown->push_back(text);
  }
  return true;
}

// "\"A\"" or "\"A\" and \"B\"": the shown texts with found[i] == want.
std::string quoted(const std::vector<std::string>& shown, const std::vector<bool>& found,
                   bool want) {
  std::string text;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (i < found.size() && found[i] != want) continue;
    text += (text.empty() ? "\"" : "\" and \"") + shown[i];
  }
  return text + "\"";
}

// Waits for the answer on the port kept open after the launch frame.
int awaitAnswer(const Options& options, Progress* progress, BoardReport* board) {
  std::vector<AppAnswerPattern> answers;
  std::vector<std::string> shown;
  if (!boardAnswers(options, *board, &answers, &shown)) {
    return failCheck(board, ExitAppCheckFailed,
                     std::string(NotAnsweredText) + ": --expect names " + SerialPlaceholder +
                         " but the board has no serial number, or a digest not computed");
  }
  const std::string seconds = std::to_string(options.expectTimeoutSeconds);
  std::string note = "Waiting up to " + seconds + " s for the application to print " +
                     quoted(shown, {}, true) + ".";
  progressNote(progress, note.c_str());
  AppLastLine lastLine;
  std::vector<bool> found;
  switch (awaitApplicationText(answers, options.expectTimeoutSeconds * 1000, &lastLine, &found)) {
    case AppAnswer::Found:
      note = "The application answered: \"" + printableLine(lastLine.text) + "\"";
      progressNote(progress, note.c_str());
      board->proved = !board->proof.empty() && board->proofCovers;
      return ExitOk;
    case AppAnswer::Aborted:
      return failCheck(board, ExitInterrupted,
                       "Interrupted while waiting for the application's answer: the board is "
                       "programmed, its application unchecked.");
    case AppAnswer::LineFailed:
      return failCheck(board, ExitAppCheckFailed,
                       std::string(NotAnsweredText) +
                           ": the line to the target failed (unplugged?)" + expectedValues(*board) +
                           lastLineText(lastLine));
    case AppAnswer::TimeLimit:
      break;
  }
  return failCheck(board, ExitAppCheckFailed,
                   std::string(NotAnsweredText) + ": no line containing " +
                       quoted(shown, found, false) + " within " + seconds + " s" +
                       expectedValues(*board) + lastLineText(lastLine));
}

// The digests of one text: refused for a command without an image, or where
// the map does not allow them.
bool proofUsable(const Options& options, TargetCommand command, const ExpectSlot& slot,
                 std::string* why) {
  if (command != TargetCommand::Program || options.watch) {
    *why = slot.proof.given + " goes with program only (not launch, not --watch)";
    return false;
  }
  std::string reason;
  if (proofRangeFits(slot.proof, options.map, options.bootloader, &reason)) return true;
  *why = slot.proof.given + " " + reason;
  return false;
}

}  // namespace

bool parseExpect(const std::string& expect, ExpectParts* parts, std::string* why) {
  *parts = ExpectParts();
  parts->texts.emplace_back();
  const std::string serial = SerialPlaceholder;
  for (size_t at = 0; at < expect.size();) {
    ExpectSlot slot;
    size_t end = 0;
    if (expect.compare(at, serial.size(), serial) == 0) {
      slot.serial = true;
      end = at + serial.size();
    } else if (expect[at] == '{' && placeholderName(expect, at) > 0) {
      const size_t close = expect.find('}', at);
      if (close == std::string::npos) {
        *why = "\"" + expect.substr(at) + "\" is not closed by }";
        return false;
      }
      std::string reason;
      if (!parseProofRange(expect.substr(at + 1, close - at - 1), &slot.proof, &reason)) {
        *why = slot.proof.given + " " + reason;
        return false;
      }
      end = close + 1;
    } else {
      parts->texts.back() += expect[at++];
      continue;
    }
    parts->slots.push_back(slot);
    parts->texts.emplace_back();
    at = end;
  }
  return true;
}

bool expectedAnswer(const ExpectParts& parts, const std::optional<uint64_t>& serial,
                    const std::vector<ProofRange>& proof, size_t* next, AppAnswerPattern* answer,
                    std::string* shown) {
  answer->texts = parts.texts;
  answer->values.clear();
  *shown = parts.texts[0];
  for (size_t i = 0; i < parts.slots.size(); ++i) {
    AppAnswerValue value;
    if (parts.slots[i].serial) {
      if (!serial) return false;
      value.digits = std::to_string(*serial);
    } else {
      if (*next >= proof.size()) return false;
      value.hex = true;
      value.digits = proof[(*next)++].value;
    }
    answer->values.push_back(value);
    *shown += value.digits + parts.texts[i + 1];
  }
  return true;
}

bool checkExpectTexts(const Options& options, TargetCommand command, std::string* why) {
  for (const std::string& expect : options.expect) {
    ExpectParts parts;
    std::string reason;
    bool usable = parseExpect(expect, &parts, &reason) && slotsCanMatch(parts, &reason);
    for (size_t i = 0; usable && i < parts.slots.size(); ++i) {
      usable = parts.slots[i].serial || proofUsable(options, command, parts.slots[i], &reason);
    }
    if (!usable) {
      *why = "--expect " + expect + ": " + reason;
      return false;
    }
  }
  return true;
}

void proveBoard(const Options& options, const LoadedImage& loaded, BoardReport* board) {
  board->proof.clear();
  board->proofCovers = false;
  if (options.expect.empty()) return;
  board->proved = false;
  for (const std::string& expect : options.expect) {
    ExpectParts parts;
    std::string why;
    if (!parseExpect(expect, &parts, &why)) continue;  // refused before any board
    for (const ExpectSlot& slot : parts.slots) {
      if (!slot.serial) board->proof.push_back(slot.proof);
    }
  }
  if (board->proof.empty()) return;
  FirmwareImage image;
  std::string error;
  const uint64_t* serial = board->serial ? &*board->serial : nullptr;
  if (!boardFirmware(options, loaded, serial, &image, &error)) {
    board->proof.clear();  // the board is not programmed either
    return;
  }
  for (ProofRange& range : board->proof) computeProof(image, &range);
  board->proofCovers = proofCovers(image, board->proof);
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
  if (!board->proved) board->proved = false;
  // No close and no purge between the launch and the reading: the
  // application may speak at once.
  launchTargetKeepOpen();
  progressNote(progress, "Target application launched.");
  const int code = awaitAnswer(options, progress, board);
  if (!keepOpen) closeTargetPort();
  return code;
}
