// Fuzzes the file check and the reader together: any input must be read to its
// end without hanging, and every file the check accepts must be read into
// exactly the bytes and addresses its tokens say.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "image/hex_token_reader.h"

namespace {

using Placed = std::vector<std::pair<uint32_t, uint8_t>>;

// What the tokens of an accepted file say: each data byte at its address.
Placed meaning(FILE* file) {
  Placed placed;
  uint32_t next = 0;
  unsigned token;
  while (fscanf(file, "%x", &token) == 1) {
    if (token < 0x100) {
      placed.push_back({next++, static_cast<uint8_t>(token)});
    } else {
      next = token;
    }
  }
  return placed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = tmpfile();
  if (!file) return 0;
  fwrite(data, 1, size, file);
  rewind(file);

  runAddress = byteAddress = 0;
  HexFileFault fault;
  int accepted = checkHexTokenFile(file, &fault);

  Placed read;
  BlockRecord record;
  int tokenSeen = 0;
  // Every call consumes input or ends it: a file of n bytes cannot take more
  // calls than it has bytes, plus the last one.
  for (size_t calls = 0;; ++calls) {
    if (calls > size + 1) abort();
    int end = readNextBlock(&record, &tokenSeen, file);
    if (record.byteCount > 256 || record.checkValue != blockCheckValue(record)) abort();
    for (uint32_t i = 0; i < record.byteCount; ++i) {
      read.push_back({record.baseAddress + i, record.data[i]});
    }
    if (end) break;
  }

  if (accepted) {
    rewind(file);
    if (meaning(file) != read) abort();
  }
  fclose(file);
  return 0;
}
