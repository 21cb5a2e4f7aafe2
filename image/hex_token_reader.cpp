// Reads a hex token file into block records, one record per call.
#include "image/hex_token_reader.h"

#include <cstring>

#include "link/trace.h"

uint32_t runAddress = 0;
uint32_t byteAddress = 0;

namespace {

constexpr uint32_t FirstAddress = 0x100;

// Reads the next token. Returns 1 with its value and the file offset of its
// first character, or 0 at the end of input. A token that is not a number
// also ends the input, so the reader never stands still on it.
int readToken(FILE* file, unsigned* value, long* start) {
  if (fscanf(file, " ") == EOF) return 0;
  *start = ftell(file);
  return fscanf(file, "%x", value) == 1 ? 1 : 0;
}

}  // namespace

int readNextBlock(BlockRecord* record, int* tokenSeen, FILE* file) {
  int endOfFile = 0;
  uint32_t runLength = 0;
  memset(record->data, 0, sizeof record->data);
  record->baseAddress = runAddress;
  record->checkValue = 0;
  record->byteCount = 0;

  while (record->byteCount < BlockDataSize) {
    unsigned token = 0;
    long tokenStart = 0;
    if (!readToken(file, &token, &tokenStart)) {
      endOfFile = 1;
      break;
    }
    *tokenSeen = 1;
    if (token < FirstAddress) {
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
        fseek(file, tokenStart, SEEK_SET);
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
