// Bytes written into an image in memory before it is programmed (a serial
// number per board), and the digest of what an image programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "image/image_snapshot.h"

// Puts the bytes at address: the image's bytes there are replaced, and
// added where it has none. Segments stay ascending and never touching: the
// new bytes and every segment they overlap or touch become one segment.
// Bytes that would run past 0xFFFFFFFF are refused with the image untouched.
bool writeImageBytes(FirmwareImage* image, uint32_t address, const uint8_t* bytes, size_t count,
                     HexFileFault* fault);

// The SHA-256 of the image's data bytes in address order (addresses and gaps
// not included), as 64 lower-case hexadecimal digits.
std::string imageDataSha256(const FirmwareImage& image);

// An image with bytes written into it, as a run reads it.
struct PatchedImage {
  ImageSnapshot run;       // hex token text with its start address set, so that it
                           // places itself whatever the reader's cursors are
  std::string dataSha256;  // imageDataSha256 of the new image
};
// The image `in` with `bytes` written at address. False with the fault when
// the bytes do not fit the address space or the new image cannot be written
// as a run's text.
bool withBytesAt(const FirmwareImage& in, uint32_t address, const std::vector<uint8_t>& bytes,
                 PatchedImage* out, HexFileFault* fault);
