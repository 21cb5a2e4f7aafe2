// What a launched application's line is searched for: a text that may hold
// values in places (a decimal number, a run of hexadecimal digits), judged as
// the line's bytes come. Portable.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A value in the line: a run of decimal digits whose value is `digits`
// (written without leading zeros; leading zeros allowed in the line) with no
// digit right before or after it; or, `hex`, exactly `digits` (lower-case
// hexadecimal; either case in the line) with no hexadecimal digit right
// before or after it.
struct AppAnswerValue {
  bool hex = false;
  std::string digits;
};

// texts[0] values[0] texts[1] values[1] ... texts.back(): one value fewer
// than texts. One text and no value: that text, byte for byte.
struct AppAnswerPattern {
  std::vector<std::string> texts;
  std::vector<AppAnswerValue> values;
};

// A pattern without a value.
AppAnswerPattern plainAnswer(const std::string& text);

// The fewest bytes a line holding the pattern has.
size_t answerLength(const AppAnswerPattern& pattern);

// Whether the pattern ends in a value, which is judged only once the
// character after it has come or the line has ended.
bool endsInValue(const AppAnswerPattern& pattern);

// Whether `line` (the line so far, without its end; `whole` false when its
// start was dropped) holds the pattern ending with its last byte, or, for a
// pattern that ends in a value, ending with the line (`ended`: its end has
// come) or right before its last byte, which cannot continue the value.
// Asked at each byte and at the line's end, it sees every place once it can
// be judged.
bool lineHoldsAnswer(const AppAnswerPattern& pattern, const std::string& line, bool ended,
                     bool whole);
