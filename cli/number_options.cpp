// Checks of the options that take a number or a text.
#include "cli/number_options.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <cstring>
#include <string>

#include "station/plan.h"

namespace {

// Enough digits for every bound the options have, few enough for 64 bits.
constexpr size_t MostWholeDigits = 18;

std::string notANumber(const std::string& text, const char* kind, const std::string& bounds) {
  return "\"" + text + "\" is not " + kind + " (it takes " + bounds + ")";
}

// Decimal digits with at most one '.', at least one digit.
bool isDecimal(const std::string& text) {
  const size_t whole = strspn(text.c_str(), "0123456789");
  if (whole == text.size()) return whole > 0;
  if (text[whole] != '.') return false;
  const size_t fraction = strspn(text.c_str() + whole + 1, "0123456789");
  return whole + 1 + fraction == text.size() && whole + fraction > 0;
}

std::string shown(double value) {
  std::string text = std::to_string(value);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

void checkWholeNumber(CLI::Option* option, int64_t low, int64_t high) {
  const std::string bounds = std::to_string(low) + " to " + std::to_string(high);
  option->check(CLI::Validator(
      [low, high, bounds](std::string& text) -> std::string {
        const size_t digits = strspn(text.c_str(), "0123456789");
        if (digits == 0 || digits != text.size()) {
          return notANumber(text, "a whole number", bounds);
        }
        const size_t first = text.find_first_not_of('0');
        const bool tooLong = first != std::string::npos && text.size() - first > MostWholeDigits;
        if (tooLong || std::stoll(text) < low || std::stoll(text) > high) {
          return text + " is out of bounds: it takes " + bounds;
        }
        return std::string();
      },
      "INT in [" + std::to_string(low) + " - " + std::to_string(high) + "]"));
}

void checkNumber(CLI::Option* option, double low, double high) {
  const std::string bounds = shown(low) + " to " + shown(high);
  option->check(CLI::Validator(
      [low, high, bounds](std::string& text) -> std::string {
        if (!isDecimal(text)) return notANumber(text, "a number", bounds);
        const double value = strtod(text.c_str(), nullptr);
        if (value < low || value > high) return text + " is out of bounds: it takes " + bounds;
        return std::string();
      },
      "NUMBER in [" + shown(low) + " - " + shown(high) + "]"));
}

// Whole seconds from 0 to LongestWaitSeconds: larger values are refused
// rather than wrapped into a short wait.
CLI::Validator secondsUpToAYear() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const char* digits = text.c_str();
        size_t count = strspn(digits, "0123456789");
        if (count == 0 || digits[count] != '\0') return "takes whole seconds, not \"" + text + "\"";
        if (count > 9 || std::stoll(text) > LongestWaitSeconds) {
          return "takes at most " + std::to_string(LongestWaitSeconds) +
                 " seconds (one year), not " + text;
        }
        return std::string();
      },
      "");
}

// An expected text: not empty, and within one line.
CLI::Validator oneLineText() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (text.empty()) return "takes a text to look for, not an empty one";
        if (text.find_first_of("\r\n") != std::string::npos)
          return "takes a text without line ends";
        return std::string();
      },
      "");
}
