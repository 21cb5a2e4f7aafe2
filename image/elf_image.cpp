// ELF, 32- or 64-bit, either byte order: the loadable segments (PT_LOAD) that
// hold file data, each at its physical address, in program header order.
#include <cstring>

#include "image/firmware_image.h"

namespace {

constexpr uint32_t LoadableSegment = 1;  // PT_LOAD

struct ElfFile {
  const uint8_t* bytes;
  bool bigEndian;
  bool wide;  // 64-bit
};

// A field of width bytes at offset, which the caller has bounds-checked.
uint64_t field(const ElfFile& elf, uint64_t offset, int width) {
  uint64_t value = 0;
  for (int i = 0; i < width; ++i) {
    value =
        value << 8 | elf.bytes[offset + static_cast<uint64_t>(elf.bigEndian ? i : width - 1 - i)];
  }
  return value;
}

// A field that is 4 bytes wide in 32-bit files and 8 in 64-bit ones.
uint64_t word(const ElfFile& elf, uint64_t offset32, uint64_t offset64) {
  return elf.wide ? field(elf, offset64, 8) : field(elf, offset32, 4);
}

bool refuse(HexFileFault* fault, const char* text) {
  setImageFault(fault, 0, "%s", text);
  return false;
}

}  // namespace

bool parseElf(const uint8_t* bytes, size_t size, FirmwareImage* image, HexFileFault* fault) {
  *image = FirmwareImage();
  memset(fault, 0, sizeof *fault);
  if (size < 4 || memcmp(bytes,
                         "\x7F"
                         "ELF",
                         4) != 0)
    return refuse(fault, "not an ELF file");
  if (size < 16) return refuse(fault, "ELF header lies past the end of the file");
  if (bytes[4] != 1 && bytes[4] != 2) return refuse(fault, "ELF file is neither 32- nor 64-bit");
  if (bytes[5] != 1 && bytes[5] != 2) {
    return refuse(fault, "ELF file is neither little- nor big-endian");
  }
  const ElfFile elf{bytes, bytes[5] == 2, bytes[4] == 2};
  if (size < (elf.wide ? 64u : 52u))
    return refuse(fault, "ELF header lies past the end of the file");

  const uint64_t tableOffset = word(elf, 28, 32);
  const uint64_t entrySize = field(elf, elf.wide ? 54 : 42, 2);
  const uint64_t entries = field(elf, elf.wide ? 56 : 44, 2);
  if (entries > 0 && entrySize < (elf.wide ? 56u : 32u)) {
    return refuse(fault, "ELF program header entries are too short");
  }
  if (tableOffset > size || entries * entrySize > size - tableOffset) {
    return refuse(fault, "ELF program headers lie past the end of the file");
  }

  int loadable = 0;
  for (uint64_t index = 0; index < entries; ++index) {
    const uint64_t entry = tableOffset + index * entrySize;
    if (field(elf, entry, 4) != LoadableSegment) continue;
    const uint64_t offset = word(elf, entry + 4, entry + 8);
    const uint64_t physical = word(elf, entry + 12, entry + 24);
    const uint64_t fileSize = word(elf, entry + 16, entry + 32);
    if (fileSize == 0) continue;
    ++loadable;
    const int number = static_cast<int>(index);
    if (offset > size || fileSize > size - offset) {
      setImageFault(fault, 0, "ELF segment %d lies past the end of the file", number);
      return false;
    }
    if (!appendImageData(image, physical, bytes + offset, static_cast<size_t>(fileSize), 0,
                         fault)) {
      char reason[sizeof fault->message];
      memcpy(reason, fault->message, sizeof reason);
      setImageFault(fault, 0, "ELF segment %d: %s", number, reason);
      return false;
    }
  }
  if (loadable == 0) return refuse(fault, "ELF file has no loadable segment");
  return true;
}
