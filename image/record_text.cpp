// Lines of record text and the hexadecimal byte pairs of a record, for the
// Intel HEX and S-record parsers.
#include "image/record_text.h"

#include <array>
#include <cstring>

size_t byteOrderMark(const uint8_t* bytes, size_t size) {
  return size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
}

bool nextRecordLine(TextLines* lines, const uint8_t** text, size_t* length) {
  while (lines->next < lines->size) {
    size_t start = lines->next;
    if (start == 0) start = byteOrderMark(lines->bytes, lines->size);
    const uint8_t* end =
        static_cast<const uint8_t*>(memchr(lines->bytes + start, '\n', lines->size - start));
    size_t stop = end ? static_cast<size_t>(end - lines->bytes) : lines->size;
    lines->next = end ? stop + 1 : stop;
    ++lines->line;
    while (start < stop && isTokenSeparator(lines->bytes[start])) ++start;
    while (stop > start && isTokenSeparator(lines->bytes[stop - 1])) --stop;
    if (stop > start) {
      *text = lines->bytes + start;
      *length = stop - start;
      return true;
    }
  }
  return false;
}

bool decodeRecordBytes(const uint8_t* text, size_t length, const char* format, int line,
                       std::vector<uint8_t>* bytes, HexFileFault* fault) {
  static const auto values = [] {
    std::array<int8_t, 256> table;
    for (int c = 0; c < 256; ++c) table[c] = static_cast<int8_t>(hexDigitValue(c));
    return table;
  }();
  bytes->resize(length / 2);
  for (size_t i = 0; i < length; ++i) {
    const int digit = values[text[i]];
    if (digit < 0) {
      char shown = text[i] >= 0x20 && text[i] < 0x7F ? static_cast<char>(text[i]) : '?';
      setImageFault(fault, line, "%s record holds '%c', which is not a hexadecimal digit", format,
                    shown);
      return false;
    }
    if (i % 2) (*bytes)[i / 2] = static_cast<uint8_t>(values[text[i - 1]] << 4 | digit);
  }
  if (length % 2) {
    setImageFault(fault, line, "%s record has an odd number of digits", format);
    return false;
  }
  return true;
}

uint32_t recordNumber(const uint8_t* bytes, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}
