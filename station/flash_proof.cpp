// The flash ranges an application reports a digest of (station/flash_proof.h).
#include "station/flash_proof.h"

#include <cinttypes>
#include <cstdio>

#include "image/flash_range.h"
#include "image/image_snapshot.h"

namespace {

bool inside(const ProofRange& range, const MapRange& area) {
  return range.start >= area.start && range.start + range.size <= area.end;
}

bool touches(const ProofRange& range, const MapRange& area) {
  return range.start < area.end && range.start + range.size > area.start;
}

}  // namespace

bool parseProofRange(const std::string& body, ProofRange* range, std::string* why) {
  const size_t colon = body.find(':');
  const std::string name = body.substr(0, colon);
  range->given = "{" + body + "}";
  if (name != "crc32" && name != "sha256") {
    *why = "is no placeholder: crc32:START:SIZE or sha256:START:SIZE are known";
    return false;
  }
  MapRange parsed;
  std::string error;
  if (!parseMapRange(body.substr(colon + 1), &parsed, &error)) {
    *why = "the range " + error;
    return false;
  }
  range->kind = name == "crc32" ? ProofKind::Crc32 : ProofKind::Sha256;
  range->start = parsed.start;
  range->size = parsed.end - parsed.start;
  return true;
}

bool proofRangeFits(const ProofRange& range, const FlashMap& map, bool bootloader,
                    std::string* why) {
  if (!map.flash.given || !map.boot.given) {
    *why = "needs --flash and --boot-region: what the flash holds is known only inside them";
    return false;
  }
  if (bootloader) {
    if (inside(range, map.boot)) return true;
    *why = "lies outside the boot region, which a --bootloader run alone writes";
    return false;
  }
  if (!inside(range, map.flash)) {
    *why = "lies outside the flash";
    return false;
  }
  if (touches(range, map.boot)) {
    *why = "touches the boot region, which an application run does not write";
    return false;
  }
  return true;
}

void computeProof(const FirmwareImage& image, ProofRange* range) {
  const std::vector<uint8_t> bytes =
      imageRangeBytes(image, range->start, range->size, &range->blank);
  if (range->kind == ProofKind::Sha256) {
    range->value = sha256Hex(bytes.data(), bytes.size());
    return;
  }
  char text[16];
  snprintf(text, sizeof text, "%08" PRIx32, crc32Update(0, bytes.data(), bytes.size()));
  range->value = text;
}

bool proofCovers(const FirmwareImage& image, const std::vector<ProofRange>& ranges) {
  for (const ImageSegment& segment : image.segments) {
    const uint64_t end = segment.address + uint64_t{segment.bytes.size()};
    for (uint64_t at = segment.address; at < end;) {
      uint64_t next = at;
      for (const ProofRange& range : ranges) {
        if (at >= range.start && at < range.start + range.size) next = range.start + range.size;
      }
      if (next == at) return false;
      at = next;
    }
  }
  return true;
}

std::string proofText(const ProofRange& range) {
  char place[48];
  snprintf(place, sizeof place, " of 0x%08" PRIX32 ":0x%" PRIX64 " = ", range.start, range.size);
  std::string text =
      (range.kind == ProofKind::Crc32 ? "crc32" : "sha256") + std::string(place) + range.value;
  if (range.blank > 0) {
    text += " (" + std::to_string(range.blank) + " of its " + std::to_string(range.size) +
            " bytes taken as 0xFF: the image holds none there)";
  }
  return text;
}
