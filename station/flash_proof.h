// The flash ranges an application reports a digest of ({crc32:START:SIZE},
// {sha256:START:SIZE} in --expect): parsed, held against the board's map, and
// their values computed from the board's own image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "station/flash_map.h"

enum class ProofKind { Crc32, Sha256 };

struct ProofRange {
  ProofKind kind = ProofKind::Crc32;
  std::string given;  // as written, braces included
  uint32_t start = 0;
  uint64_t size = 0;
  std::string value;   // what the application must print, lower-case hexadecimal
  uint64_t blank = 0;  // bytes of the range the image holds none of (taken as 0xFF)
};

// The part between the braces: "crc32:START:SIZE" or "sha256:START:SIZE",
// START and SIZE as --flash takes them. False with the reason.
bool parseProofRange(const std::string& body, ProofRange* range, std::string* why);

// Whether the range lies where the run leaves a known flash: inside the
// flash and outside the boot region for an application, inside the boot
// region with --bootloader. Both ranges of the map are needed. False with
// the reason.
bool proofRangeFits(const ProofRange& range, const FlashMap& map, bool bootloader,
                    std::string* why);

// The value and the blank count, from the image the board is programmed with.
void computeProof(const FirmwareImage& image, ProofRange* range);

// Whether the ranges together hold every data byte of the image.
bool proofCovers(const FirmwareImage& image, const std::vector<ProofRange>& ranges);

// "crc32 of 0x00004000:0x2000 = 1a2b3c4d", with the bytes taken as 0xFF when
// there are any.
std::string proofText(const ProofRange& range);
