// The board's flash map as the user gives it (--flash, --boot-region), and
// where an image lies against it. The tool knows no map of its own.
#pragma once

#include <cstdint>
#include <string>

#include "image/firmware_image.h"

struct MapRange {
  bool given = false;
  uint32_t start = 0;
  uint64_t end = 0;  // one past the last address
};

struct FlashMap {
  MapRange flash;
  MapRange boot;
};

// Takes a number as an address option writes it: hexadecimal after 0x
// (0x4000), else decimal (16384), within 64 bits. A leading 0 before other
// digits is refused, as neither: "0100" is not taken for octal. False with
// the reason in *why.
bool parseAddressNumber(const std::string& text, uint64_t* value, std::string* why);

// Takes "START:SIZE", each as parseAddressNumber takes it; the range must lie
// within the 32-bit address space. False with the reason in *error.
bool parseMapRange(const std::string& text, MapRange* range, std::string* error);

// The first address of the image that the map forbids to an application
// (bootloader false) or a bootloader image: outside the flash, in the boot
// region for an application, outside it for a bootloader. False when the
// image fits; else *why tells the address and the rule it breaks.
bool mapRefuses(const FirmwareImage& image, const FlashMap& map, bool bootloader, std::string* why);

// Where the addresses from `address` to `end` (exclusive) lie: "boot region",
// "application area", "outside the flash", or several of them joined with
// " + "; empty when no map is given.
std::string placeOf(uint32_t address, uint64_t end, const FlashMap& map);
// The map in words, for info: "flash 00000000-0007FFFF, boot region ...".
std::string mapText(const FlashMap& map);
