// The board's flash map (station/flash_map.h): its ranges parsed, an image held against it.
#include "station/flash_map.h"

#include "image/hex_token_reader.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr uint64_t None = UINT64_MAX;

int digitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The digits from `from` on in base 16 or 10: at least one, within 64 bits.
bool takeDigits(const std::string& text, size_t from, bool hex, uint64_t* value) {
  const uint64_t base = hex ? 16 : 10;
  uint64_t result = 0;
  for (size_t i = from; i < text.size(); ++i) {
    const int digit = digitValue(text[i], hex);
    if (digit < 0 || result > (UINT64_MAX - static_cast<uint64_t>(digit)) / base) return false;
    result = result * base + static_cast<uint64_t>(digit);
  }
  *value = result;
  return from < text.size();
}

// The first address of [start, end) outside the range, or None.
uint64_t firstOutside(uint64_t start, uint64_t end, const MapRange& range) {
  if (start < range.start) return start;
  if (end > range.end) return start > range.end ? start : range.end;
  return None;
}

// The first address of [start, end) inside the range, or None.
uint64_t firstInside(uint64_t start, uint64_t end, const MapRange& range) {
  const uint64_t from = start > range.start ? start : range.start;
  return from < end && from < range.end ? from : None;
}

std::string rangeText(const MapRange& range) {
  char text[32];
  snprintf(text, sizeof text, "%08" PRIX32 "-%08" PRIX64, range.start, range.end - 1);
  return text;
}

}  // namespace

bool parseAddressNumber(const std::string& text, uint64_t* value, std::string* why) {
  const bool hex = text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (!hex && text.size() > 1 && text[0] == '0' && digitValue(text[1], false) >= 0) {
    *why = "\"" + text + "\" has a leading 0: write hexadecimal with 0x, decimal without the 0";
    return false;
  }
  if (!takeDigits(text, hex ? 2 : 0, hex, value)) {
    *why = "\"" + text +
           "\" is not a number (hexadecimal with 0x, or decimal) or does not fit 64 bits";
    return false;
  }
  return true;
}

bool parseMapRange(const std::string& text, MapRange* range, std::string* error) {
  const size_t colon = text.find(':');
  uint64_t start = 0, size = 0;
  std::string why;
  if (colon == std::string::npos || !parseAddressNumber(text.substr(0, colon), &start, &why) ||
      !parseAddressNumber(text.substr(colon + 1), &size, &why)) {
    *error = "\"" + text + "\" is not START:SIZE (such as 0x0:0x80000)" +
             (why.empty() ? "" : ": " + why);
    return false;
  }
  if (size == 0 || start >= AddressSpaceEnd || size > AddressSpaceEnd - start) {
    *error = "\"" + text + "\" is empty or runs past address 0xFFFFFFFF";
    return false;
  }
  range->given = true;
  range->start = static_cast<uint32_t>(start);
  range->end = start + size;
  return true;
}

bool mapRefuses(const FirmwareImage& image, const FlashMap& map, bool bootloader,
                std::string* why) {
  for (const ImageSegment& segment : image.segments) {
    const uint64_t start = segment.address, end = start + segment.bytes.size();
    struct {
      uint64_t address;
      std::string rule;
    } found[3] = {{None, ""}, {None, ""}, {None, ""}};
    if (map.flash.given) {
      found[0] = {firstOutside(start, end, map.flash),
                  "lies outside the flash (" + rangeText(map.flash) + ")"};
    }
    if (map.boot.given && !bootloader) {
      found[1] = {firstInside(start, end, map.boot),
                  "lies in the boot region (" + rangeText(map.boot) +
                      "), where an application never goes (a bootloader needs --bootloader)"};
    }
    if (map.boot.given && bootloader) {
      found[2] = {firstOutside(start, end, map.boot),
                  "lies outside the boot region (" + rangeText(map.boot) +
                      "), which a bootloader image never leaves"};
    }
    int first = 0;
    for (int i = 1; i < 3; ++i) {
      if (found[i].address < found[first].address) first = i;
    }
    if (found[first].address != None) {
      char text[48];
      snprintf(text, sizeof text, "data at 0x%08" PRIX64 " ", found[first].address);
      *why = text + found[first].rule;
      return true;
    }
  }
  return false;
}

std::string placeOf(uint32_t address, uint64_t end, const FlashMap& map) {
  if (!map.flash.given && !map.boot.given) return "";
  std::string place;
  auto add = [&place](const char* words) {
    place += (place.empty() ? "" : " + ") + std::string(words);
  };
  if (map.boot.given && firstInside(address, end, map.boot) != None) add("boot region");
  // The application area: the flash (or everything, without a flash given)
  // outside the boot region.
  MapRange all;
  all.end = AddressSpaceEnd;
  const MapRange& flash = map.flash.given ? map.flash : all;
  for (uint64_t at = address; at < end;) {
    const uint64_t inside = firstInside(at, end, flash);
    if (inside == None) break;
    const bool inBoot = map.boot.given && inside >= map.boot.start && inside < map.boot.end;
    if (!inBoot) {
      add("application area");
      break;
    }
    at = map.boot.end;
  }
  if (map.flash.given && firstOutside(address, end, map.flash) != None) add("outside the flash");
  return place;
}

std::string mapText(const FlashMap& map) {
  std::string text;
  if (map.flash.given) text = "flash " + rangeText(map.flash);
  if (map.boot.given)
    text += (text.empty() ? "" : ", ") + std::string("boot region ") + rangeText(map.boot);
  return text;
}
