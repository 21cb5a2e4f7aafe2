// Bytes written into a parsed image, and the digest of its data.
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
  Sha256 digest;
  sha256Start(&digest);
  for (const ImageSegment& segment : image.segments) {
    sha256Add(&digest, segment.bytes.data(), segment.bytes.size());
  }
  return sha256Finish(&digest);
}

bool withBytesAt(const FirmwareImage& in, uint32_t address, const std::vector<uint8_t>& bytes,
                 PatchedImage* out, HexFileFault* fault) {
  FirmwareImage image = in;
  *out = PatchedImage();
  if (!writeImageBytes(&image, address, bytes.data(), bytes.size(), fault) ||
      !setRunText(image, &out->run, fault)) {
    return false;
  }
  out->dataSha256 = imageDataSha256(image);
  return true;
}
