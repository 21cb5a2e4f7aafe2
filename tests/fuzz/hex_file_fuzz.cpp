// Fuzzes the file check and the reader together, and every image parser: any
// input must be read to its end without hanging, every file the check accepts
// must be read into exactly the bytes and addresses its tokens say, and every
// image a parser accepts must come back through its hex token text, and
// through the text a run reads from its first address, unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "image/firmware_image.h"
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

// Reads the image as a programming run does. Every call consumes input or
// ends it: n bytes cannot take more calls than there are bytes, plus the last.
Placed readAll(const ImageSnapshot& image) {
  ImageSource source = imageSource(image);
  Placed read;
  BlockRecord record;
  int tokenSeen = 0;
  for (size_t calls = 0;; ++calls) {
    if (calls > image.bytes.size() + 1) abort();
    int end = readNextBlock(&record, &tokenSeen, &source);
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
    // An image without data has no text to read back (the check refuses it).
    if (image.segments.empty()) continue;
    std::string text;
    if (hexTokenTextFor(image, &text, &fault)) {
      // A hex token file, as convert writes it: it places itself.
      ImageSnapshot converted;
      converted.bytes.assign(text.begin(), text.end());
      setReaderCursors(ReaderCursors{0x1234, 0x1234});
      if (!checkHexTokenFile(converted, readerCursors(), &fault) || readAll(converted) != wanted) {
        abort();
      }
    } else if (image.segments[0].address >= 0x100) {
      abort();
    }
    // The text a run reads, from cursors at its first address.
    uint32_t start = 0;
    if (!runTextFor(image, &text, &start, &fault)) {
      if (image.segments.size() < 2 || image.segments[1].address >= 0x100) abort();
      continue;
    }
    ImageSnapshot run;
    run.bytes.assign(text.begin(), text.end());
    setReaderCursors(ReaderCursors{start, start});
    if (!checkHexTokenFile(run, readerCursors(), &fault) || readAll(run) != wanted) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ImageSnapshot image;
  image.bytes.assign(data, data + size);
  setReaderCursors(ReaderCursors{0, 0});
  HexFileFault fault;
  int accepted = checkHexTokenFile(image, readerCursors(), &fault);
  Placed read = readAll(image);
  // The text up to a NUL byte, which the check refuses anyway.
  if (accepted && meaning(std::string(data, data + size).c_str()) != read) abort();

  fuzzImageParsers(data, size);
  return 0;
}
