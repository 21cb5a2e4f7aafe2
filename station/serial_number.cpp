// Serial numbers (station/serial_number.h): their formats, their bytes, their text, their place.
#include "station/serial_number.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace {

struct NamedEncoding {
  const char* name;
  SerialEncoding encoding;
  unsigned width;
};

const NamedEncoding Encodings[] = {{"u32le", SerialEncoding::U32Le, 4},
                                   {"u32be", SerialEncoding::U32Be, 4},
                                   {"u64le", SerialEncoding::U64Le, 8},
                                   {"u64be", SerialEncoding::U64Be, 8}};

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Decimal digits only, at least one, within 64 bits.
bool takeDecimal(const std::string& digits, uint64_t* value) {
  if (digits.empty()) return false;
  uint64_t result = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

std::string hexAddress(uint64_t address) {
  char text[24];
  snprintf(text, sizeof text, "0x%08" PRIX64, address);
  return text;
}

}  // namespace

bool parseSerialFormat(const std::string& text, SerialFormat* format, std::string* error) {
  for (const NamedEncoding& named : Encodings) {
    if (text == named.name) {
      *format = {named.encoding, named.width};
      return true;
    }
  }
  uint64_t digits = 0;
  if (text.compare(0, 6, "ascii:") == 0 && takeDecimal(text.substr(6), &digits) && digits >= 1 &&
      digits <= SerialAsciiMaxDigits) {
    *format = {SerialEncoding::Ascii, static_cast<unsigned>(digits)};
    return true;
  }
  *error = "\"" + escapedText(text) +
           "\" is not a serial format (u32le, u32be, u64le, u64be or ascii:W " +
           "with W from 1 to 20 digits)";
  return false;
}

std::string serialFormatName(const SerialFormat& format) {
  for (const NamedEncoding& named : Encodings) {
    if (format.encoding == named.encoding) return named.name;
  }
  return "ascii:" + std::to_string(format.width);
}

uint64_t serialFormatLast(const SerialFormat& format) {
  if (format.encoding == SerialEncoding::Ascii) {
    if (format.width >= SerialAsciiMaxDigits) return UINT64_MAX;
    uint64_t last = 0;
    for (unsigned i = 0; i < format.width; ++i) last = last * 10 + 9;
    return last;
  }
  return format.width == 4 ? UINT32_MAX : UINT64_MAX;
}

bool encodeSerial(uint64_t number, const SerialFormat& format, std::vector<uint8_t>* bytes,
                  std::string* error) {
  bytes->clear();
  if (format.encoding == SerialEncoding::Ascii) {
    const std::string digits = std::to_string(number);
    if (digits.size() > format.width) {
      *error = "serial number " + digits + " does not fit " + serialFormatName(format) +
               " (at most " + std::string(format.width, '9') + ")";
      return false;
    }
    bytes->assign(format.width - digits.size(), '0');
    bytes->insert(bytes->end(), digits.begin(), digits.end());
    return true;
  }
  if (format.width == 4 && number > UINT32_MAX) {
    *error = "serial number " + std::to_string(number) + " does not fit " +
             serialFormatName(format) + " (at most 4294967295)";
    return false;
  }
  const bool big =
      format.encoding == SerialEncoding::U32Be || format.encoding == SerialEncoding::U64Be;
  for (unsigned i = 0; i < format.width; ++i) {
    const unsigned shift = 8 * (big ? format.width - 1 - i : i);
    bytes->push_back(static_cast<uint8_t>(number >> shift));
  }
  return true;
}

bool parseSerialNumber(const std::string& text, uint64_t* number, std::string* error) {
  size_t from = 0, to = text.size();
  while (from < to && isSpace(text[from])) ++from;
  while (to > from && isSpace(text[to - 1])) --to;
  if (takeDecimal(text.substr(from, to - from), number)) return true;
  std::string shown = escapedText(text.substr(from, std::min<size_t>(to - from, 40)));
  if (to - from > 40) shown += "...";
  *error = from == to ? std::string("no serial number is given (an empty text)")
                      : "\"" + shown +
                            "\" is not a serial number (decimal digits, 0 to "
                            "18446744073709551615)";
  return false;
}

std::string escapedText(const std::string& text) {
  std::string shown;
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      shown += '\\';
      shown += c;
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", byte);
      shown += hex;
    } else {
      shown += c;
    }
  }
  return shown;
}

bool serialPlaceFits(uint64_t address, const SerialFormat& format, const FlashMap* map,
                     bool bootloader, std::string* error) {
  if (address >= AddressSpaceEnd || format.width > AddressSpaceEnd - address) {
    *error = "the serial number's " + std::to_string(format.width) + " bytes at " +
             hexAddress(address) + " would run past address 0xFFFFFFFF";
    return false;
  }
  if (!map) return true;
  FirmwareImage place;
  place.segments.push_back({static_cast<uint32_t>(address), std::vector<uint8_t>(format.width), 0});
  std::string why;
  if (!mapRefuses(place, *map, bootloader, &why)) return true;
  *error = "the serial number at " + hexAddress(address) + ": " + why;
  return false;
}
