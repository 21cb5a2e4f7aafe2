// A range of the flash as an image leaves it, and its CRC-32 (image/flash_range.h).
#include "image/flash_range.h"

#include <algorithm>
#include <array>

namespace {

std::array<uint32_t, 256> crcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

}  // namespace

uint32_t crc32Update(uint32_t crc, const uint8_t* bytes, size_t size) {
  static const std::array<uint32_t, 256> table = crcTable();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::vector<uint8_t> imageRangeBytes(const FirmwareImage& image, uint32_t start, uint64_t size,
                                     uint64_t* blank) {
  std::vector<uint8_t> bytes(static_cast<size_t>(size), 0xFF);
  const uint64_t end = uint64_t{start} + size;
  uint64_t written = 0;
  for (const ImageSegment& segment : image.segments) {
    const uint64_t from = std::max<uint64_t>(segment.address, start);
    const uint64_t to = std::min<uint64_t>(segment.address + segment.bytes.size(), end);
    if (from >= to) continue;
    std::copy(segment.bytes.begin() + static_cast<ptrdiff_t>(from - segment.address),
              segment.bytes.begin() + static_cast<ptrdiff_t>(to - segment.address),
              bytes.begin() + static_cast<ptrdiff_t>(from - start));
    written += to - from;
  }
  *blank = size - written;
  return bytes;
}
