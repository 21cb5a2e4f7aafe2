// Serial numbers written into each board's image: how a number is laid out
// in bytes (--serial-format), how it is read from text (--serial-start, the
// serial file), and where it may go (--serial-at).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "station/flash_map.h"

enum class SerialEncoding { U32Le, U32Be, U64Le, U64Be, Ascii };

struct SerialFormat {
  SerialEncoding encoding = SerialEncoding::U32Le;
  unsigned width = 4;  // bytes written: 4, 8, or the digits of ascii:W
};

// The widest ascii format: every 64-bit number has at most 20 digits.
constexpr unsigned SerialAsciiMaxDigits = 20;

// Takes "u32le", "u32be", "u64le", "u64be" or "ascii:W" (W: 1 to 20 decimal
// digits, written zero-padded). False with the reason in *error.
bool parseSerialFormat(const std::string& text, SerialFormat* format, std::string* error);
// The format as the user writes it ("u32le", "ascii:8").
std::string serialFormatName(const SerialFormat& format);

// The largest number the format holds: 4294967295 for u32, 18446744073709551615
// for u64, W nines for ascii:W (at most 20).
uint64_t serialFormatLast(const SerialFormat& format);

// The number's bytes in the format; false with the reason when it does not
// fit (above 0xFFFFFFFF for u32, more digits than W for ascii).
bool encodeSerial(uint64_t number, const SerialFormat& format, std::vector<uint8_t>* bytes,
                  std::string* error);

// A serial number written as decimal digits, with whitespace (a newline
// included) allowed around it; anything else (nothing, a sign, other
// characters, more than 18446744073709551615) is refused with the reason,
// which quotes the text with every byte that is not printable ASCII escaped
// (a NUL as \x00, a newline as \n).
bool parseSerialNumber(const std::string& text, uint64_t* number, std::string* error);
// Text as it is shown between quotes in a message: printable ASCII as it is,
// a quote and a backslash behind a backslash, \n, \r and \t, any other byte
// as \xHH.
std::string escapedText(const std::string& text);

// Whether the format's bytes may go at address: not past 0xFFFFFFFF and,
// when a map is given, where the image being programmed may have data:
// inside the flash, and out of the boot region for an application, inside it
// for a bootloader. False with the reason, naming the address, when not.
bool serialPlaceFits(uint64_t address, const SerialFormat& format, const FlashMap* map,
                     bool bootloader, std::string* error);
