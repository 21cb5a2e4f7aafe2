// Format recognition, the image builder shared by every parser, raw binary,
// and the image a run reads.
#include "image/firmware_image.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "image/record_text.h"

ImageFormat detectImageFormat(const uint8_t* bytes, size_t size) {
  if (size >= 4 && memcmp(bytes,
                          "\x7F"
                          "ELF",
                          4) == 0)
    return ImageFormat::Elf;
  size_t i = byteOrderMark(bytes, size);
  while (i < size && isTokenSeparator(bytes[i])) ++i;
  if (i < size && bytes[i] == ':') return ImageFormat::IntelHex;
  if (i + 1 < size && bytes[i] == 'S' && bytes[i + 1] >= '0' && bytes[i + 1] <= '9') {
    return ImageFormat::SRecord;
  }
  return ImageFormat::HexToken;
}

const char* imageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::IntelHex:
      return "Intel HEX";
    case ImageFormat::SRecord:
      return "Motorola S-record";
    case ImageFormat::Elf:
      return "ELF";
    case ImageFormat::Binary:
      return "binary";
    case ImageFormat::HexToken:
      break;
  }
  return "hex token";
}

bool appendImageData(FirmwareImage* image, uint64_t address, const uint8_t* bytes, size_t count,
                     int line, HexFileFault* fault) {
  if (count == 0) return true;
  uint64_t end = 0;
  if (!image->segments.empty()) {
    const ImageSegment& last = image->segments.back();
    end = last.address + uint64_t{last.bytes.size()};
    if (address < end) {
      setImageFault(fault, line,
                    "address %" PRIX64 " lies below %" PRIX64 ", where the data before it ended",
                    address, end);
      return false;
    }
  }
  if (address >= AddressSpaceEnd || count > AddressSpaceEnd - address) {
    setImageFault(fault, line, "the data runs past address 0xFFFFFFFF");
    return false;
  }
  if (!image->segments.empty() && address == end) {
    std::vector<uint8_t>& last = image->segments.back().bytes;
    last.insert(last.end(), bytes, bytes + count);
  } else {
    image->segments.push_back({static_cast<uint32_t>(address), {bytes, bytes + count}, line});
  }
  return true;
}

bool parseBinary(const uint8_t* bytes, size_t size, uint32_t address, FirmwareImage* image,
                 HexFileFault* fault) {
  *image = FirmwareImage();
  return appendImageData(image, address, bytes, size, 0, fault);
}

bool parseFirmwareImage(ImageFormat format, const uint8_t* bytes, size_t size, uint32_t address,
                        FirmwareImage* image, HexFileFault* fault) {
  switch (format) {
    case ImageFormat::IntelHex:
      return parseIntelHex(bytes, size, image, fault);
    case ImageFormat::SRecord:
      return parseSRecord(bytes, size, image, fault);
    case ImageFormat::Elf:
      return parseElf(bytes, size, image, fault);
    case ImageFormat::Binary:
      return parseBinary(bytes, size, address, image, fault);
    case ImageFormat::HexToken:
      break;
  }
  setImageFault(fault, 0, "a hex token file is read by the hex token reader");
  return false;
}

namespace {

void addBlock(FirmwareImage* image, const BlockRecord& record) {
  HexFileFault fault;
  // Records that the file check passed ascend without overlapping.
  appendImageData(image, record.baseAddress, record.data, record.byteCount, 0, &fault);
}

}  // namespace

bool prepareRunImage(ImageSnapshot* snapshot, ImageFormat format, uint32_t binaryAddress,
                     FirmwareImage* image, HexFileFault* fault) {
  memset(fault, 0, sizeof *fault);
  snapshot->startAddress.reset();
  FirmwareImage own;
  if (!image) image = &own;
  *image = FirmwareImage();
  if (format == ImageFormat::HexToken) return true;
  return parseFirmwareImage(format, snapshot->bytes.data(), snapshot->bytes.size(), binaryAddress,
                            image, fault) &&
         setRunText(*image, snapshot, fault);
}

FirmwareImage programmedImage(const ImageSnapshot& snapshot, ReaderCursors from,
                              unsigned long* blocks) {
  struct Walk {
    FirmwareImage image;
    unsigned long blocks = 0;
  } walk;
  readRunBlocks(
      snapshot, from,
      [](const BlockRecord& record, void* context) {
        auto* w = static_cast<Walk*>(context);
        ++w->blocks;
        addBlock(&w->image, record);
      },
      &walk);
  *blocks = walk.blocks;
  return walk.image;
}
