// A range of the flash as an image leaves it, and the digests an application
// computes over it: the CRC-32 (zlib's) and the SHA-256 (image_snapshot.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/firmware_image.h"

// CRC-32 as zlib computes it (polynomial 0x04C11DB7 reflected, initial and
// final value 0xFFFFFFFF): start with crc 0 and feed the bytes in pieces.
// 0xCBF43926 for "123456789".
uint32_t crc32Update(uint32_t crc, const uint8_t* bytes, size_t size);

// The bytes from `start` to start + size as the image leaves the flash after
// an erase: its own bytes, 0xFF wherever it holds none (*blank counts those).
std::vector<uint8_t> imageRangeBytes(const FirmwareImage& image, uint32_t start, uint64_t size,
                                     uint64_t* blank);
