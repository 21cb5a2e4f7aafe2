// A launched application's answer, searched for in its line.
#include "link/app_answer.h"

namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Digits, leading zeros allowed, whose value is `number`.
bool sameNumber(const std::string& line, size_t from, size_t to, const std::string& number) {
  while (from < to && line[from] == '0') ++from;
  if (from == to) return number == "0";
  return line.compare(from, to - from, number) == 0;
}

// The run of digits that ends at `to`: its start, or `to` when there is none
// or it may have begun in the part of the line that was dropped.
size_t digitRunStart(const std::string& line, size_t to, bool whole) {
  size_t from = to;
  while (from > 0 && isDigit(line[from - 1])) --from;
  return from == 0 && !whole ? to : from;
}

}  // namespace

AppAnswerPattern plainAnswer(const std::string& text) {
  AppAnswerPattern pattern;
  pattern.texts.push_back(text);
  return pattern;
}

size_t answerLength(const AppAnswerPattern& pattern) {
  size_t length = 0;
  for (const std::string& text : pattern.texts) length += text.size();
  return length + (pattern.texts.size() - 1) * pattern.number.size();
}

bool lineHoldsAnswer(const AppAnswerPattern& pattern, const std::string& line, bool ended,
                     bool whole) {
  if (pattern.texts.empty()) return false;
  size_t at = line.size();  // where the place looked at ends
  if (pattern.texts.back().empty() && !ended) {
    if (at == 0 || isDigit(line[at - 1])) return false;
    --at;
  }
  // From the end backwards: a text, then (but for the first) a number before it.
  for (size_t i = pattern.texts.size(); i-- > 0;) {
    const std::string& text = pattern.texts[i];
    if (at < text.size() || line.compare(at - text.size(), text.size(), text) != 0) return false;
    at -= text.size();
    if (i == 0) break;
    if (at < line.size() && isDigit(line[at])) return false;
    const size_t from = digitRunStart(line, at, whole);
    if (from == at || !sameNumber(line, from, at, pattern.number)) return false;
    at = from;
  }
  return true;
}
