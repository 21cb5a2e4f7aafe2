// What the Intel HEX and S-record parsers share: lines of a text and the
// hexadecimal byte pairs of a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/hex_token_reader.h"

struct TextLines {
  const uint8_t* bytes;
  size_t size;
  size_t next;  // offset of the next line's first character
  int line;     // number of the line last returned, 1-based
};

// The UTF-8 byte-order mark that some editors write at the start of a text
// file: its length, or 0 when the text does not begin with it.
size_t byteOrderMark(const uint8_t* bytes, size_t size);

// The next line that is not blank, without its surrounding whitespace (line
// end included) and, on the first line, a UTF-8 byte-order mark. False at the end of the text, with
// lines->line on the last line.
bool nextRecordLine(TextLines* lines, const uint8_t** text, size_t* length);

// Decodes pairs of hexadecimal digits into bytes; refuses anything else as a
// fault of the line, naming the format ("Intel HEX", "S-record").
bool decodeRecordBytes(const uint8_t* text, size_t length, const char* format, int line,
                       std::vector<uint8_t>* bytes, HexFileFault* fault);

// 16-, 24- or 32-bit big-endian number from the record bytes.
uint32_t recordNumber(const uint8_t* bytes, int count);
