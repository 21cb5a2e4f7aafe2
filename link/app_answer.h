// What a launched application's line is searched for: a text that may hold a
// number in places, judged as the line's bytes come. Portable.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// texts[0] N texts[1] N ... texts.back(), each N a run of decimal digits
// whose value is `number` (leading zeros allowed) with no digit right before
// or after it. One text and no number: that text, byte for byte.
struct AppAnswerPattern {
  std::vector<std::string> texts;
  std::string number;  // in decimal, without leading zeros
};

// A pattern without a number.
AppAnswerPattern plainAnswer(const std::string& text);

// The fewest bytes a line holding the pattern has.
size_t answerLength(const AppAnswerPattern& pattern);

// Whether `line` (the line so far, without its end; `whole` false when its
// start was dropped) holds the pattern ending with its last byte, or, for a
// pattern that ends in a number, ending with the line (`ended`: its end has
// come) or right before its last byte, a non-digit. Asked at each byte and
// at the line's end, it sees every place once it can be judged: a number
// only once the character after it has come or the line has ended.
bool lineHoldsAnswer(const AppAnswerPattern& pattern, const std::string& line, bool ended,
                     bool whole);
