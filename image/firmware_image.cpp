// Format recognition, the image builder shared by every parser, raw binary,
// and the image written as hex token text.
#include "image/firmware_image.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "image/record_text.h"

namespace {

constexpr size_t BytesPerLine = 16;

}  // namespace

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

// Writes the segments as hex token text, each opening with its address, the
// first one without it when asked.
bool writeTokenText(const FirmwareImage& image, bool firstPlaced, std::string* text,
                    HexFileFault* fault) {
  static const char digits[] = "0123456789ABCDEF";
  size_t length = 0;
  size_t dataBytes = 0;
  for (const ImageSegment& segment : image.segments) {
    length += 9 + 3 * segment.bytes.size();
    dataBytes += segment.bytes.size();
  }
  text->clear();
  if (length > ImageSizeLimit) {
    // Three times the data: more than any flash, and more than a 32-bit
    // process should be asked to hold.
    // (The data never exceeds the file, at most 256 MiB.)
    setImageFault(fault, 0, "the image holds %lu bytes of data, more than %lu can be programmed",
                  static_cast<unsigned long>(dataBytes),
                  static_cast<unsigned long>(ImageSizeLimit / 3 - 9));
    return false;
  }
  text->reserve(length);
  for (const ImageSegment& segment : image.segments) {
    const bool placed = firstPlaced && &segment == &image.segments.front();
    if (!placed && segment.address < FirstAddressToken) {
      // An address token below 0x100 would be read as a data byte.
      if (firstPlaced) {
        setImageFault(fault, segment.line,
                      "the data at address %" PRIX32
                      " lies below 100 after a gap; below 100 only the image's first data can be "
                      "placed",
                      segment.address);
      } else {
        setImageFault(fault, segment.line,
                      "the data at address %" PRIX32
                      " lies below 100, the lowest address a hex token file can name",
                      segment.address);
      }
      text->clear();
      return false;
    }
    if (!placed) {
      char address[16];
      snprintf(address, sizeof address, "%08" PRIX32 "\n", segment.address);
      text->append(address);
    }
    const size_t count = segment.bytes.size();
    for (size_t i = 0; i < count; ++i) {
      const uint8_t byte = segment.bytes[i];
      text->push_back(digits[byte >> 4]);
      text->push_back(digits[byte & 0xF]);
      text->push_back(i % BytesPerLine == BytesPerLine - 1 || i + 1 == count ? '\n' : ' ');
    }
  }
  return true;
}

void addBlock(FirmwareImage* image, const BlockRecord& record) {
  HexFileFault fault;
  // Records that the file check passed ascend without overlapping.
  appendImageData(image, record.baseAddress, record.data, record.byteCount, 0, &fault);
}

}  // namespace

bool hexTokenTextFor(const FirmwareImage& image, std::string* text, HexFileFault* fault) {
  return writeTokenText(image, false, text, fault);
}

bool runTextFor(const FirmwareImage& image, std::string* text, uint32_t* start,
                HexFileFault* fault) {
  *start = image.segments.empty() ? 0 : image.segments.front().address;
  return writeTokenText(image, true, text, fault);
}

bool prepareRunImage(ImageSnapshot* snapshot, ImageFormat format, uint32_t binaryAddress,
                     FirmwareImage* image, HexFileFault* fault) {
  memset(fault, 0, sizeof *fault);
  snapshot->startAddress.reset();
  FirmwareImage own;
  if (!image) image = &own;
  *image = FirmwareImage();
  if (format == ImageFormat::HexToken) return true;
  std::string text;
  uint32_t start = 0;
  if (!parseFirmwareImage(format, snapshot->bytes.data(), snapshot->bytes.size(), binaryAddress,
                          image, fault) ||
      !runTextFor(*image, &text, &start, fault)) {
    return false;
  }
  snapshot->bytes.assign(text.begin(), text.end());
  if (!image->segments.empty()) snapshot->startAddress = start;
  return true;
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
