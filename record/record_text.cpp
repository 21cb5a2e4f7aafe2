// The record's texts and times.
#include "record/record_text.h"

#include <cstdio>
#include <random>

namespace {

const char* const Replacement = "\xEF\xBF\xBD";

// The length of the UTF-8 sequence at text[i], 0 when it is not one (overlong forms,
// surrogates and code points past U+10FFFF included).
size_t utf8Length(const std::string& text, size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  size_t length = c < 0x80                 ? 1
                  : c >= 0xC2 && c <= 0xDF ? 2
                  : c >= 0xE0 && c <= 0xEF ? 3
                  : c >= 0xF0 && c <= 0xF4 ? 4
                                           : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  const unsigned char next = static_cast<unsigned char>(text[i + 1 < text.size() ? i + 1 : i]);
  if (c == 0xE0 && next < 0xA0) return 0;  // overlong
  if (c == 0xED && next > 0x9F) return 0;  // surrogate
  if (c == 0xF0 && next < 0x90) return 0;  // overlong
  if (c == 0xF4 && next > 0x8F) return 0;  // past U+10FFFF
  return length;
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (*m <= 2));
}

// Reads exactly `count` digits at text[*at] into *value.
bool digits(const std::string& text, size_t* at, int count, int* value) {
  *value = 0;
  for (int k = 0; k < count; ++k, ++*at) {
    if (*at >= text.size() || text[*at] < '0' || text[*at] > '9') return false;
    *value = *value * 10 + (text[*at] - '0');
  }
  return true;
}

bool accept(const std::string& text, size_t* at, char c) {
  if (*at < text.size() && text[*at] == c) return ++*at, true;
  return false;
}

// The zone at text[at]: nothing or Z (UTC), or +HH:MM / -HH:MM, into seconds east of UTC.
bool readZone(const std::string& text, size_t at, int64_t* offset) {
  *offset = 0;
  if (at == text.size() || (text[at] == 'Z' && at + 1 == text.size())) return true;
  if (text[at] != '+' && text[at] != '-') return false;
  int sign = text[at] == '-' ? -1 : 1, hours = 0, minutes = 0;
  ++at;
  if (!digits(text, &at, 2, &hours) || !accept(text, &at, ':') || !digits(text, &at, 2, &minutes))
    return false;
  *offset = sign * (hours * 3600 + minutes * 60);
  return at == text.size() && hours < 24 && minutes < 60;
}

// The clock part after the date: THH:MM[:SS[.fff]]; *at moved past it.
bool readClock(const std::string& text, size_t* at, int* h, int* mi, int* s, int* ms) {
  *h = *mi = *s = *ms = 0;
  if (*at == text.size() || text[*at] == 'Z') return true;
  if (!accept(text, at, 'T') && !accept(text, at, ' ')) return false;
  if (!digits(text, at, 2, h) || !accept(text, at, ':') || !digits(text, at, 2, mi)) return false;
  if (accept(text, at, ':')) {
    if (!digits(text, at, 2, s)) return false;
    if (accept(text, at, '.')) {
      int scale = 100, digit = 0;
      size_t first = *at;
      for (; *at < text.size() && digits(text, at, 1, &digit); scale /= 10) *ms += digit * scale;
      if (*at == first) return false;
    }
  }
  return *h < 24 && *mi < 60 && *s < 61;
}

}  // namespace

std::string recordText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t length = text[i] == '\0' ? 0 : utf8Length(text, i);
    if (length == 0) {
      out += Replacement;
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

std::string utcTimeText(std::chrono::system_clock::time_point time) {
  const int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  const int64_t days = (ms >= 0 ? ms : ms - 86399999) / 86400000;
  const int64_t inDay = ms - days * 86400000;
  int y = 0;
  unsigned m = 0, d = 0;
  civilFromDays(days, &y, &m, &d);
  char text[96];
  snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", y, m, d,
           static_cast<int>(inDay / 3600000), static_cast<int>(inDay / 60000 % 60),
           static_cast<int>(inDay / 1000 % 60), static_cast<int>(inDay % 1000));
  return text;
}

std::string utcTimeText(std::time_t time) {
  return utcTimeText(std::chrono::system_clock::from_time_t(time));
}

bool parseUtcTime(const std::string& text, std::string* stored, std::string* error) {
  size_t at = 0;
  int y = 0, m = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  int64_t offset = 0;
  bool good = digits(text, &at, 4, &y) && accept(text, &at, '-') && digits(text, &at, 2, &m) &&
              accept(text, &at, '-') && digits(text, &at, 2, &d) && m >= 1 && m <= 12 && d >= 1 &&
              d <= 31 && readClock(text, &at, &h, &mi, &s, &ms) && readZone(text, at, &offset);
  if (!good) {
    *error = "\"" + recordText(text) +
             "\" is not a time in ISO 8601 (YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS][Z])";
    return false;
  }
  int64_t seconds = daysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) * 86400 +
                    h * 3600 + mi * 60 + s - offset;
  *stored = utcTimeText(
      std::chrono::system_clock::time_point(std::chrono::milliseconds(seconds * 1000 + ms)));
  return true;
}

bool storedTime(const std::string& text, std::chrono::system_clock::time_point* time) {
  std::string normal, error;
  if (!parseUtcTime(text, &normal, &error)) return false;
  int y = std::stoi(normal.substr(0, 4)), mo = std::stoi(normal.substr(5, 2));
  int64_t days = daysFromCivil(y, static_cast<unsigned>(mo), std::stoul(normal.substr(8, 2)));
  int64_t ms =
      ((days * 24 + std::stoi(normal.substr(11, 2))) * 60 + std::stoi(normal.substr(14, 2))) *
          60000 +
      std::stoi(normal.substr(17, 2)) * 1000 + std::stoi(normal.substr(20, 3));
  *time = std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
  return true;
}

std::string newAttemptId() {
  std::random_device source;
  std::string id;
  for (int word = 0; word < 4; ++word) {
    char hex[9];
    snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(source()));
    id += hex;
  }
  return id;
}

std::string escapeForTable(const std::string& text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    char hex[8];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n' || c == '\t' || c == '\r') {
      out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
    } else if (u < 0x20 || u == 0x7F) {
      snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string csvCell(const std::string& text) {
  bool quote =
      !text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@');
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == ',' || c == '"' || u < 0x20 || u == 0x7F) quote = true;
  }
  if (!quote) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string xmlText(const std::string& text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    char hex[8];
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        if (u < 0x20 || u == 0x7F) {
          snprintf(hex, sizeof hex, "\\x%02X", u);
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out;
}
