// A launched application's answer, searched for in its line.
#include "link/app_answer.h"

namespace {

constexpr size_t NotHere = std::string::npos;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isHexDigit(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether c would continue the value.
bool continues(const AppAnswerValue& value, char c) {
  return value.hex ? isHexDigit(c) : isDigit(c);
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

bool sameHex(const std::string& line, size_t from, const std::string& digits) {
  for (size_t i = 0; i < digits.size(); ++i) {
    char c = line[from + i];
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (c != digits[i]) return false;
  }
  return true;
}

// Where the value that ends at `to` starts, or NotHere.
size_t valueStart(const AppAnswerValue& value, const std::string& line, size_t to, bool whole) {
  if (to < line.size() && continues(value, line[to])) return NotHere;
  if (!value.hex) {
    const size_t from = digitRunStart(line, to, whole);
    return from != to && sameNumber(line, from, to, value.digits) ? from : NotHere;
  }
  if (to < value.digits.size()) return NotHere;
  const size_t from = to - value.digits.size();
  // A value at the start of a line whose start was dropped cannot be judged.
  if (from == 0 ? !whole : isHexDigit(line[from - 1])) return NotHere;
  return sameHex(line, from, value.digits) ? from : NotHere;
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
  for (const AppAnswerValue& value : pattern.values) length += value.digits.size();
  return length;
}

bool endsInValue(const AppAnswerPattern& pattern) {
  return !pattern.values.empty() && !pattern.texts.empty() && pattern.texts.back().empty();
}

bool lineHoldsAnswer(const AppAnswerPattern& pattern, const std::string& line, bool ended,
                     bool whole) {
  if (pattern.texts.empty() || pattern.values.size() + 1 != pattern.texts.size()) return false;
  size_t at = line.size();  // where the place looked at ends
  if (endsInValue(pattern) && !ended) {
    if (at == 0 || continues(pattern.values.back(), line[at - 1])) return false;
    --at;
  }
  // From the end backwards: a text, then (but for the first) a value before it.
  for (size_t i = pattern.texts.size(); i-- > 0;) {
    const std::string& text = pattern.texts[i];
    if (at < text.size() || line.compare(at - text.size(), text.size(), text) != 0) return false;
    at -= text.size();
    if (i == 0) break;
    at = valueStart(pattern.values[i - 1], line, at, whole);
    if (at == NotHere) return false;
  }
  return true;
}
