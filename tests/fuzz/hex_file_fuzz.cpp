// Fuzzes the file check and the reader together: any input must be read to its
// end without hanging, and every file the check accepts must be read into
// exactly the bytes and addresses its tokens say. Every image parser reads the
// same input: an image it accepts, written as hex token text, must pass the
// check and be read back into exactly the image's bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "image/firmware_image.h"
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

FILE* fileOf(const void* bytes, size_t size) {
  FILE* file = tmpfile();
  if (!file) abort();
  fwrite(bytes, 1, size, file);
  rewind(file);
  return file;
}

// Reads the file as a programming run does. Every call consumes input or ends
// it: a file of n bytes cannot take more calls than it has bytes, plus the
// last one.
Placed readAll(FILE* file, size_t size) {
  Placed read;
  BlockRecord record;
  int tokenSeen = 0;
  for (size_t calls = 0;; ++calls) {
    if (calls > size + 1) abort();
    int end = readNextBlock(&record, &tokenSeen, file);
    if (record.byteCount > 256 || record.checkValue != blockCheckValue(record)) abort();
    for (uint32_t i = 0; i < record.byteCount; ++i) {
      read.push_back({record.baseAddress + i, record.data[i]});
    }
    if (end) return read;
  }
}

void fuzzImageParsers(const uint8_t* data, size_t size) {
  for (ImageFormat format :
       {ImageFormat::IntelHex, ImageFormat::SRecord, ImageFormat::Elf, ImageFormat::Binary}) {
    FirmwareImage image;
    HexFileFault fault;
    if (!parseFirmwareImage(format, data, size, 0x4000, &image, &fault)) {
      if (fault.message[0] == 0) abort();
      continue;
    }
    Placed wanted;
    uint64_t end = 0;
    for (const ImageSegment& segment : image.segments) {
      if (segment.bytes.empty() || (end && segment.address <= end)) abort();
      for (size_t i = 0; i < segment.bytes.size(); ++i) {
        wanted.push_back({static_cast<uint32_t>(segment.address + i), segment.bytes[i]});
      }
      end = segment.address + uint64_t{segment.bytes.size()};
    }
    std::string text;
    if (!hexTokenTextFor(image, &text, &fault)) {
      if (image.segments.empty() || image.segments[0].address >= 0x100) abort();
      continue;
    }
    FILE* file = fileOf(text.data(), text.size());
    runAddress = byteAddress = 0x1234;
    if (!checkHexTokenFile(file, &fault) || readAll(file, text.size()) != wanted) abort();
    fclose(file);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = fileOf(data, size);
  runAddress = byteAddress = 0;
  HexFileFault fault;
  int accepted = checkHexTokenFile(file, &fault);
  Placed read = readAll(file, size);
  if (accepted) {
    rewind(file);
    if (meaning(file) != read) abort();
  }
  fclose(file);

  fuzzImageParsers(data, size);
  return 0;
}
