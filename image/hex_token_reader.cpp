// Reads a hex token file into block records, one record per call.
#include "image/hex_token_reader.h"

#include <cstdio>
#include <cstring>

#include "link/trace.h"

namespace {

// The reader's cursors (see ReaderCursors).
uint32_t runAddress = 0;
uint32_t byteAddress = 0;

// Reads the next token as the "%x" conversion does: blanks skipped, an
// optional sign and "0x", then hexadecimal digits. Returns 1 with its value
// and the offset of its first character, or 0 at the end of input. A token
// that is not a number also ends the input, so the reader never stands still
// on it.
int readToken(ImageSource* source, unsigned* value, size_t* start) {
  const uint8_t* bytes = source->bytes;
  size_t at = source->position;
  while (at < source->size && isTokenSeparator(bytes[at])) ++at;
  source->position = at;
  if (at == source->size) return 0;
  *start = at;
  bool negative = false;
  if (bytes[at] == '+' || bytes[at] == '-') negative = bytes[at++] == '-';
  bool prefix = false;
  if (at + 1 < source->size && bytes[at] == '0' && (bytes[at + 1] == 'x' || bytes[at + 1] == 'X')) {
    prefix = true;
    at += 2;
  }
  uint64_t number = 0;
  bool digits = false, overflow = false;
  for (int digit; at < source->size && (digit = hexDigitValue(bytes[at])) >= 0; ++at) {
    digits = true;
    if (number >> 60) overflow = true;
    number = number << 4 | static_cast<uint64_t>(digit);
  }
  source->position = at;
  if (!digits && !prefix) return 0;
  if (overflow) number = UINT64_MAX;
  if (negative) number = 0 - number;
  *value = static_cast<unsigned>(number);
  return 1;
}

}  // namespace

ReaderCursors readerCursors() {
  return ReaderCursors{runAddress, byteAddress};
}

void setReaderCursors(ReaderCursors cursors) {
  runAddress = cursors.runAddress;
  byteAddress = cursors.byteAddress;
}

ReaderCursors runStartCursors(const ImageSnapshot& image, ReaderCursors current) {
  if (!image.startAddress) return current;
  return ReaderCursors{*image.startAddress, *image.startAddress};
}

int readNextBlock(BlockRecord* record, int* tokenSeen, ImageSource* source) {
  int endOfFile = 0;
  uint32_t runLength = 0;
  memset(record->data, 0, sizeof record->data);
  record->baseAddress = runAddress;
  record->checkValue = 0;
  record->byteCount = 0;

  while (record->byteCount < BlockDataSize) {
    unsigned token = 0;
    size_t tokenStart = 0;
    if (!readToken(source, &token, &tokenStart)) {
      endOfFile = 1;
      break;
    }
    *tokenSeen = 1;
    if (token < FirstAddressToken) {
      record->data[record->byteCount] = static_cast<uint8_t>(token);
      ++runLength;
      ++record->byteCount;
      ++byteAddress;
      if (record->byteCount == BlockDataSize) runAddress = byteAddress;
    } else if (record->byteCount == 0) {
      runAddress = token;
      byteAddress = token;
      record->baseAddress = token;
      runLength = 0;
    } else if (runLength > 0) {
      uint32_t expected = runAddress + runLength;
      if (token > expected) {
        // A gap: this record ends here, and the next call starts with the
        // address token again. Step back to the token's own first character.
        runAddress = byteAddress;
        source->position = tokenStart;
        break;
      }
      if (token == expected) {
        runAddress = token;
        runLength = 0;
      }
    }
  }

  record->checkValue = blockCheckValue(*record);
  char trace[48];
  snprintf(trace, sizeof trace, "\nbase:%x nbytes:%d ", static_cast<unsigned>(record->baseAddress),
           static_cast<int>(record->byteCount));
  linkTrace(trace);
  return endOfFile;
}

void readRunBlocks(const ImageSnapshot& image, ReaderCursors from,
                   void (*take)(const BlockRecord& record, void* context), void* context) {
  const ReaderCursors saved = readerCursors();
  setReaderCursors(from);
  ImageSource source = imageSource(image);
  BlockRecord record;
  int tokenSeen = 0;
  for (;;) {
    // As the run: the record that meets the end is sent only after a token.
    const int end = readNextBlock(&record, &tokenSeen, &source);
    if (!end || tokenSeen) take(record, context);
    if (end) break;
  }
  setReaderCursors(saved);
}

bool isTokenSeparator(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexDigitValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
