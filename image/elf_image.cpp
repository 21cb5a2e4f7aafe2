// ELF, 32- or 64-bit, either byte order: what a firmware image of the file
// holds is its allocated sections that have contents in the file, each at its
// load address, in address order. A loadable segment may also cover the ELF
// and program headers, which are not programmed. A file without section
// headers gives its loadable segments (PT_LOAD) with file data instead, each
// at its physical address.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "image/firmware_image.h"

namespace {

constexpr uint32_t LoadableSegment = 1;  // PT_LOAD
constexpr uint32_t NoBits = 8;           // SHT_NOBITS: occupies no file space
constexpr uint64_t Allocated = 2;        // SHF_ALLOC
constexpr uint64_t ExtendedIndex = 0xFFFF;
// Sections times loadable segments: linkers write tens of each.
constexpr uint64_t MostPairs = uint64_t{1} << 24;

struct ElfFile {
  const uint8_t* bytes;
  size_t size;
  bool bigEndian;
  bool wide;  // 64-bit
};

// The program or section header table: entries of entrySize bytes each.
struct HeaderTable {
  uint64_t offset;
  uint64_t entrySize;
  uint64_t entries;
};

// A loadable segment with data in the file; number: its program header's.
struct Segment {
  uint64_t number;
  uint64_t offset;
  uint64_t fileSize;
  uint64_t virtualAddress;
  uint64_t physicalAddress;
  uint64_t memorySize;
};

// File bytes to place at an address; label names them in faults.
struct Placement {
  uint64_t address;
  uint64_t offset;
  uint64_t size;
  char label[48];
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

// count bytes at offset lie within the file.
bool inFile(const ElfFile& elf, uint64_t offset, uint64_t count) {
  return offset <= elf.size && count <= elf.size - offset;
}

// The table whose offset, entry size and entry count the ELF header holds at
// the given places; what names it in faults.
bool headerTable(const ElfFile& elf, uint64_t offsetAt, uint64_t sizeAt, uint64_t countAt,
                 uint64_t shortest, const char* what, HeaderTable* table, HexFileFault* fault) {
  table->offset = field(elf, offsetAt, elf.wide ? 8 : 4);
  table->entrySize = field(elf, sizeAt, 2);
  table->entries = field(elf, countAt, 2);
  if (table->entries > 0 && table->entrySize < shortest) {
    setImageFault(fault, 0, "ELF %s entries are too short", what);
    return false;
  }
  if (table->entries > 0 && (table->offset > elf.size ||
                             table->entries > (elf.size - table->offset) / table->entrySize)) {
    setImageFault(fault, 0, "ELF %s lie past the end of the file", what);
    return false;
  }
  return true;
}

// The section header table. Its entry count (and the index of the section of
// names) may not fit the ELF header; then section 0 holds it.
bool sectionTable(const ElfFile& elf, HeaderTable* table, uint64_t* namesIndex,
                  HexFileFault* fault) {
  const uint64_t shortest = elf.wide ? 64 : 40;
  if (!headerTable(elf, elf.wide ? 40 : 32, elf.wide ? 58 : 46, elf.wide ? 60 : 48, shortest,
                   "section headers", table, fault)) {
    return false;
  }
  *namesIndex = field(elf, elf.wide ? 62 : 50, 2);
  if (table->offset == 0 || (table->entries > 0 && *namesIndex != ExtendedIndex)) return true;
  // Section 0 holds the count in its size and the names' index in its link.
  if (table->entrySize < shortest || !inFile(elf, table->offset, table->entrySize)) {
    return setImageFault(fault, 0, "ELF section headers lie past the end of the file");
  }
  if (table->entries == 0) table->entries = word(elf, table->offset + 20, table->offset + 32);
  if (*namesIndex == ExtendedIndex) {
    *namesIndex = field(elf, table->offset + (elf.wide ? 40 : 24), 4);
  }
  if (table->entries > (elf.size - table->offset) / table->entrySize) {
    return setImageFault(fault, 0, "ELF section headers lie past the end of the file");
  }
  return true;
}

// The loadable segments that have data in the file.
std::vector<Segment> loadableSegments(const ElfFile& elf, const HeaderTable& programs) {
  std::vector<Segment> segments;
  for (uint64_t index = 0; index < programs.entries; ++index) {
    const uint64_t entry = programs.offset + index * programs.entrySize;
    Segment segment;
    segment.fileSize = word(elf, entry + 16, entry + 32);
    if (field(elf, entry, 4) != LoadableSegment || segment.fileSize == 0) continue;
    segment.number = index;
    segment.offset = word(elf, entry + 4, entry + 8);
    segment.virtualAddress = word(elf, entry + 8, entry + 16);
    segment.physicalAddress = word(elf, entry + 12, entry + 24);
    segment.memorySize = word(elf, entry + 20, entry + 40);
    segments.push_back(segment);
  }
  return segments;
}

// "section NAME" when the section of names gives a short printable name,
// else "section N".
void sectionLabel(const ElfFile& elf, const HeaderTable& sections, uint64_t namesIndex,
                  uint64_t index, uint64_t nameOffset, char* label, size_t size) {
  snprintf(label, size, "section %" PRIu64, index);
  if (namesIndex >= sections.entries) return;
  const uint64_t names = sections.offset + namesIndex * sections.entrySize;
  const uint64_t namesOffset = word(elf, names + 16, names + 24);
  const uint64_t namesSize = word(elf, names + 20, names + 32);
  if (!inFile(elf, namesOffset, namesSize) || nameOffset >= namesSize) return;
  const char* name = reinterpret_cast<const char*>(elf.bytes + namesOffset + nameOffset);
  const size_t limit = static_cast<size_t>(std::min<uint64_t>(namesSize - nameOffset, 33));
  const size_t length = strnlen(name, limit);
  if (length == 0 || length == limit) return;  // empty, unterminated or too long
  for (size_t i = 0; i < length; ++i) {
    if (name[i] <= ' ' || name[i] > '~') return;
  }
  snprintf(label, size, "section %s", name);
}

// Where a section's file bytes load: through the loadable segment whose file
// data holds them (the one that also holds its address, if several do), at
// that segment's physical address plus the section's place in it; outside
// every segment, at the section's own address.
uint64_t loadAddress(const std::vector<Segment>& segments, uint64_t offset, uint64_t size,
                     uint64_t address) {
  const Segment* through = nullptr;
  for (const Segment& segment : segments) {
    const uint64_t at = offset - segment.offset;
    if (offset < segment.offset || at > segment.fileSize || size > segment.fileSize - at) continue;
    const uint64_t place = address - segment.virtualAddress;
    const bool holdsAddress = address >= segment.virtualAddress && place <= segment.memorySize &&
                              size <= segment.memorySize - place;
    if (!through || holdsAddress) through = &segment;
    if (holdsAddress) break;
  }
  return through ? through->physicalAddress + (offset - through->offset) : address;
}

// The allocated sections that have contents in the file.
void sectionPlacements(const ElfFile& elf, const HeaderTable& sections, uint64_t namesIndex,
                       const std::vector<Segment>& segments, std::vector<Placement>* placements) {
  for (uint64_t index = 0; index < sections.entries; ++index) {
    const uint64_t entry = sections.offset + index * sections.entrySize;
    const uint64_t flags = word(elf, entry + 8, entry + 8);
    const uint64_t size = word(elf, entry + 20, entry + 32);
    if (!(flags & Allocated) || field(elf, entry + 4, 4) == NoBits || size == 0) continue;
    Placement placement;
    placement.offset = word(elf, entry + 16, entry + 24);
    placement.size = size;
    placement.address =
        loadAddress(segments, placement.offset, size, word(elf, entry + 12, entry + 16));
    sectionLabel(elf, sections, namesIndex, index, field(elf, entry, 4), placement.label,
                 sizeof placement.label);
    placements->push_back(placement);
  }
}

// Places the file bytes in address order; bytes that overlap others are
// refused as data below where the data before it ended.
bool placeInOrder(const ElfFile& elf, std::vector<Placement>* placements, FirmwareImage* image,
                  HexFileFault* fault) {
  uint64_t total = 0;
  for (const Placement& placement : *placements) {
    if (!inFile(elf, placement.offset, placement.size)) {
      setImageFault(fault, 0, "ELF %s lies past the end of the file", placement.label);
      return false;
    }
    total += placement.size;  // each at most the file's size, so no overflow
  }
  if (total > ImageSizeLimit / 3) {
    setImageFault(fault, 0,
                  "ELF file holds %" PRIu64 " bytes of data, more than %lu can be programmed",
                  total, static_cast<unsigned long>(ImageSizeLimit / 3));
    return false;
  }
  std::stable_sort(placements->begin(), placements->end(),
                   [](const Placement& a, const Placement& b) { return a.address < b.address; });
  for (const Placement& placement : *placements) {
    if (!appendImageData(image, placement.address, elf.bytes + placement.offset,
                         static_cast<size_t>(placement.size), 0, fault)) {
      char reason[sizeof fault->message];
      memcpy(reason, fault->message, sizeof reason);
      setImageFault(fault, 0, "ELF %s: %s", placement.label, reason);
      return false;
    }
  }
  return true;
}

}  // namespace

bool parseElf(const uint8_t* bytes, size_t size, FirmwareImage* image, HexFileFault* fault) {
  *image = FirmwareImage();
  memset(fault, 0, sizeof *fault);
  if (size < 4 || memcmp(bytes,
                         "\x7F"
                         "ELF",
                         4) != 0)
    return setImageFault(fault, 0, "not an ELF file");
  if (size < 16) return setImageFault(fault, 0, "ELF header lies past the end of the file");
  if (bytes[4] != 1 && bytes[4] != 2)
    return setImageFault(fault, 0, "ELF file is neither 32- nor 64-bit");
  if (bytes[5] != 1 && bytes[5] != 2) {
    return setImageFault(fault, 0, "ELF file is neither little- nor big-endian");
  }
  const ElfFile elf{bytes, size, bytes[5] == 2, bytes[4] == 2};
  if (size < (elf.wide ? 64u : 52u))
    return setImageFault(fault, 0, "ELF header lies past the end of the file");

  HeaderTable programs, sections;
  uint64_t namesIndex = 0;
  if (!headerTable(elf, elf.wide ? 32 : 28, elf.wide ? 54 : 42, elf.wide ? 56 : 44,
                   elf.wide ? 56 : 32, "program headers", &programs, fault) ||
      !sectionTable(elf, &sections, &namesIndex, fault)) {
    return false;
  }
  const std::vector<Segment> segments = loadableSegments(elf, programs);
  if (sections.entries * segments.size() > MostPairs) {
    return setImageFault(fault, 0, "ELF file has too many sections and segments");
  }
  std::vector<Placement> placements;
  if (sections.entries > 0) {
    sectionPlacements(elf, sections, namesIndex, segments, &placements);
  } else {
    for (const Segment& segment : segments) {
      Placement placement{segment.physicalAddress, segment.offset, segment.fileSize, {}};
      snprintf(placement.label, sizeof placement.label, "segment %" PRIu64, segment.number);
      placements.push_back(placement);
    }
  }
  if (placements.empty()) {
    return setImageFault(fault, 0, "%s",
                         sections.entries > 0 ? "ELF file has no allocated section with data"
                                              : "ELF file has no loadable segment");
  }
  return placeInOrder(elf, &placements, image, fault);
}
