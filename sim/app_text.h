// The line a launched application prints, with values read from its flash:
// "app up, sn={u32le@0x7FF0}" prints the four bytes at 0x7FF0 as a decimal
// number. Placeholders: {u32le@ADDR}, {u32be@ADDR}, {u64le@ADDR},
// {u64be@ADDR} (decimal), {ascii:W@ADDR} (the W bytes there as they are,
// W 1 to 64), {crc32@START:SIZE} and {sha256@START:SIZE} (the CRC-32, zlib's,
// in 8 hexadecimal digits and the SHA-256 in 64 of the flash's bytes there;
// {CRC32@...} and {SHA256@...} in upper-case digits); numbers decimal or
// 0x... hexadecimal. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/target_model.h"

// True when every placeholder is well formed and its bytes lie inside the
// flash; otherwise false with the reason.
bool appTextValid(const std::string& text, const FlashGeometry& geometry, std::string* why);
// The text with each placeholder replaced by its value in `flash` (which
// starts at geometry.base); a placeholder that is not valid stays as it is.
std::string appTextRender(const std::string& text, const FlashGeometry& geometry,
                          const std::vector<uint8_t>& flash);

// One bit of the flash changed after a programming run, before the launch
// (a fault of the flash, for the application's check to find).
struct FlipBit {
  uint32_t address = 0;
  int bit = 0;
};
// "ADDR:BIT", ADDR inside the flash, BIT 0 to 7. False with the reason.
bool parseFlipBit(const std::string& text, const FlashGeometry& geometry, FlipBit* flip,
                  std::string* why);
void applyFlipBit(const FlipBit& flip, const FlashGeometry& geometry, std::vector<uint8_t>* flash);
