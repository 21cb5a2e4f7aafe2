#include "image/image_patch.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

bool writeImageBytes(FirmwareImage* image, uint32_t address, const uint8_t* bytes, size_t count,
                     HexFileFault* fault) {
  memset(fault, 0, sizeof *fault);
  if (count == 0) return true;
  if (count > AddressSpaceEnd - address) {
    setImageFault(fault, 0, "the %lu bytes at address %08" PRIX32 " run past address 0xFFFFFFFF",
                  static_cast<unsigned long>(count), address);
    return false;
  }
  std::vector<ImageSegment>& segments = image->segments;
  const uint64_t end = uint64_t{address} + count;
  // The segments that overlap or touch [address, end): first to last - 1.
  auto first = std::find_if(segments.begin(), segments.end(), [&](const ImageSegment& s) {
    return s.address + uint64_t{s.bytes.size()} >= address;
  });
  auto last =
      std::find_if(first, segments.end(), [&](const ImageSegment& s) { return s.address > end; });
  ImageSegment merged{address, {}, 0};
  uint64_t mergedEnd = end;
  if (first != last) {
    merged.address = std::min(address, first->address);
    merged.line = first->line;
    const ImageSegment& top = *(last - 1);
    mergedEnd = std::max(end, top.address + uint64_t{top.bytes.size()});
  }
  merged.bytes.resize(static_cast<size_t>(mergedEnd - merged.address));
  for (auto s = first; s != last; ++s) {
    std::copy(s->bytes.begin(), s->bytes.end(),
              merged.bytes.begin() + (s->address - merged.address));
  }
  std::copy(bytes, bytes + count, merged.bytes.begin() + (address - merged.address));
  auto at = segments.erase(first, last);
  segments.insert(at, std::move(merged));
  return true;
}

std::string imageDataSha256(const FirmwareImage& image) {
  std::vector<uint8_t> data;
  size_t total = 0;
  for (const ImageSegment& segment : image.segments) total += segment.bytes.size();
  data.reserve(total);
  for (const ImageSegment& segment : image.segments) {
    data.insert(data.end(), segment.bytes.begin(), segment.bytes.end());
  }
  return sha256Hex(data.data(), data.size());
}

bool withBytesAt(const ImageSnapshot& in, ReaderCursors from, uint32_t address,
                 const uint8_t* bytes, size_t count, ImageSnapshot* out, std::string* dataSha256,
                 HexFileFault* fault) {
  unsigned long blocks = 0;
  FirmwareImage image = programmedImage(in, from, &blocks);
  std::string text;
  uint32_t start = 0;
  if (!writeImageBytes(&image, address, bytes, count, fault) ||
      !runTextFor(image, &text, &start, fault)) {
    return false;
  }
  *out = in;
  out->bytes.assign(text.begin(), text.end());
  out->stream = false;
  out->startAddress.reset();
  if (!image.segments.empty()) out->startAddress = start;
  if (dataSha256) *dataSha256 = imageDataSha256(image);
  return true;
}
