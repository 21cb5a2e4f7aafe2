// Fuzzes the file check and the reader together: any input must be read to its
// end without hanging, and every file the check accepts must be read into
// exactly the bytes and addresses its tokens say.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "image/hex_token_reader.h"

namespace {

using Placed = std::vector<std::pair<uint32_t, uint8_t>>;

// What the tokens of an accepted file say: each data byte at its address.
Placed meaning(const std::string& text) {
  Placed placed;
  uint32_t next = 0;
  unsigned token;
  int used = 0;
  for (const char* at = text.c_str(); sscanf(at, "%x%n", &token, &used) == 1; at += used) {
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
  ImageSnapshot image;
  image.bytes.assign(data, data + size);
  ImageSource source = imageSource(image);

  runAddress = byteAddress = 0;
  HexFileFault fault;
  int accepted = checkHexTokenFile(image, readerCursors(), &fault);

  Placed read;
  BlockRecord record;
  int tokenSeen = 0;
  // Every call consumes input or ends it: a file of n bytes cannot take more
  // calls than it has bytes, plus the last one.
  for (size_t calls = 0;; ++calls) {
    if (calls > size + 1) abort();
    int end = readNextBlock(&record, &tokenSeen, &source);
    if (record.byteCount > 256 || record.checkValue != blockCheckValue(record)) abort();
    for (uint32_t i = 0; i < record.byteCount; ++i) {
      read.push_back({record.baseAddress + i, record.data[i]});
    }
    if (end) break;
  }

  // The text up to a NUL byte, which the check refuses anyway.
  if (accepted && meaning(std::string(data, data + size).c_str()) != read) abort();
  return 0;
}
