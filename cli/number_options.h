// Checks of the options that take a number or a text: a value that is no
// number is told as such, one out of bounds with its bounds.
#pragma once

#include <cstdint>

namespace CLI {
class Option;
class Validator;
}  // namespace CLI

// The option takes a whole number (decimal digits, no sign) from low to high.
void checkWholeNumber(CLI::Option* option, int64_t low, int64_t high);
// The option takes a number (decimal digits with an optional fraction, no
// sign) from low to high.
void checkNumber(CLI::Option* option, double low, double high);
// Whole seconds from 0 to LongestWaitSeconds (one year): larger values are
// refused rather than wrapped into a short wait.
CLI::Validator secondsUpToAYear();
// A text to look for: not empty, and within one line.
CLI::Validator oneLineText();
