// A firmware image written as hex token text, and what a run of that text
// sends, known from the image without writing or reading the text.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "image/firmware_image.h"

namespace {

constexpr size_t BytesPerLine = 16;
constexpr size_t AddressLine = 9;  // eight digits and the line end

// Refuses the image that no hex token text can carry: more data than can be
// programmed, or data below 0x100 that would need an address token (the
// first segment needs none when it is not placed).
bool tokenTextFits(const FirmwareImage& image, bool firstPlaced, HexFileFault* fault) {
  size_t length = 0;
  size_t dataBytes = 0;
  for (const ImageSegment& segment : image.segments) {
    length += AddressLine + 3 * segment.bytes.size();
    dataBytes += segment.bytes.size();
  }
  if (length > ImageSizeLimit) {
    // Three times the data: more than any flash, and more than a 32-bit
    // process should be asked to hold.
    // (The data never exceeds the file, at most 256 MiB.)
    return setImageFault(fault, 0,
                         "the image holds %lu bytes of data, more than %lu can be programmed",
                         static_cast<unsigned long>(dataBytes),
                         static_cast<unsigned long>(ImageSizeLimit / 3 - AddressLine));
  }
  for (const ImageSegment& segment : image.segments) {
    const bool placed = firstPlaced && &segment == &image.segments.front();
    if (placed || segment.address >= FirstAddressToken) continue;
    // An address token below 0x100 would be read as a data byte.
    if (firstPlaced) {
      return setImageFault(fault, segment.line,
                           "the data at address %" PRIX32
                           " lies below 100 after a gap; below 100 only the image's first data "
                           "can be placed",
                           segment.address);
    }
    return setImageFault(fault, segment.line,
                         "the data at address %" PRIX32
                         " lies below 100, the lowest address a hex token file can name",
                         segment.address);
  }
  return true;
}

size_t tokenTextLength(const FirmwareImage& image, bool firstPlaced) {
  size_t length = 0;
  for (const ImageSegment& segment : image.segments) length += 3 * segment.bytes.size();
  const size_t addresses = image.segments.size() - (firstPlaced && !image.segments.empty());
  return length + AddressLine * addresses;
}

// Writes the text of tokenTextLength characters at out: each segment opens
// with its address, the first one without it when asked.
void writeTokenText(const FirmwareImage& image, bool firstPlaced, char* out) {
  static const char digits[] = "0123456789ABCDEF";
  for (const ImageSegment& segment : image.segments) {
    if (!firstPlaced || &segment != &image.segments.front()) {
      for (int shift = 28; shift >= 0; shift -= 4) *out++ = digits[segment.address >> shift & 0xF];
      *out++ = '\n';
    }
    const uint8_t* byte = segment.bytes.data();
    const size_t count = segment.bytes.size();
    for (size_t i = 0; i < count; ++i) {
      out[0] = digits[byte[i] >> 4];
      out[1] = digits[byte[i] & 0xF];
      out[2] = i % BytesPerLine == BytesPerLine - 1 || i + 1 == count ? '\n' : ' ';
      out += 3;
    }
  }
}

bool tokenText(const FirmwareImage& image, bool firstPlaced, std::string* text,
               HexFileFault* fault) {
  text->clear();
  if (!tokenTextFits(image, firstPlaced, fault)) return false;
  text->resize(tokenTextLength(image, firstPlaced));
  if (!text->empty()) writeTokenText(image, firstPlaced, &(*text)[0]);
  return true;
}

}  // namespace

bool hexTokenTextFor(const FirmwareImage& image, std::string* text, HexFileFault* fault) {
  return tokenText(image, false, text, fault);
}

bool runTextFor(const FirmwareImage& image, std::string* text, uint32_t* start,
                HexFileFault* fault) {
  *start = image.segments.empty() ? 0 : image.segments.front().address;
  return tokenText(image, true, text, fault);
}

bool checkRunImage(const FirmwareImage& image, HexFileFault* fault) {
  return tokenTextFits(image, true, fault);
}

bool setRunText(const FirmwareImage& image, ImageSnapshot* snapshot, HexFileFault* fault) {
  if (!tokenTextFits(image, true, fault)) return false;
  // What the snapshot held goes first: a file and its text are never held
  // at once.
  snapshot->bytes = std::vector<uint8_t>();
  snapshot->bytes.resize(tokenTextLength(image, true));
  if (!snapshot->bytes.empty()) {
    writeTokenText(image, true, reinterpret_cast<char*>(snapshot->bytes.data()));
  }
  snapshot->startAddress.reset();
  if (!image.segments.empty()) snapshot->startAddress = image.segments.front().address;
  return true;
}

unsigned long runBlockCount(const FirmwareImage& image) {
  unsigned long blocks = 0;
  for (const ImageSegment& segment : image.segments) {
    blocks +=
        static_cast<unsigned long>((segment.bytes.size() + BlockDataSize - 1) / BlockDataSize);
  }
  // A last segment that fills its last block leaves the reader an empty
  // record at the end of the text, which the run sends too.
  if (!image.segments.empty() && image.segments.back().bytes.size() % BlockDataSize == 0) ++blocks;
  return blocks;
}
