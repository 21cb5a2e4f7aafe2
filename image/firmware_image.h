// Firmware images as toolchains write them (Intel HEX, Motorola S-record, ELF,
// raw binary), read from bytes in memory into one address-ordered image that
// the checks take as it is, and that image written as hex token text once,
// for the hex token reader of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/hex_token_reader.h"

enum class ImageFormat { HexToken, IntelHex, SRecord, Elf, Binary };

// Data for consecutive addresses. line: the line of the text record that holds
// its first byte, 0 where the format has no lines.
struct ImageSegment {
  uint32_t address;
  std::vector<uint8_t> bytes;
  int line;
};

// Segments in ascending address order, never touching: adjacent data is one
// segment. notes: what was read but is not programmed (start addresses).
struct FirmwareImage {
  std::vector<ImageSegment> segments;
  std::vector<std::string> notes;
};

// The format by content alone: ':' records, 'S0'..'S9' records (leading
// whitespace, and a UTF-8 byte-order mark before it, allowed before either), 0x7F 'E' 'L' 'F';
// anything else is a hex token file. Binary has no signature and is never recognised.
ImageFormat detectImageFormat(const uint8_t* bytes, size_t size);

// "Intel HEX", "Motorola S-record", "ELF", "binary", "hex token".
const char* imageFormatName(ImageFormat format);

// Each parser fills a fresh image and returns true, or returns false with the
// fault: fault->line names the text line (0 for ELF and binary, whose message
// names the place itself).
bool parseIntelHex(const uint8_t* bytes, size_t size, FirmwareImage* image, HexFileFault* fault);
bool parseSRecord(const uint8_t* bytes, size_t size, FirmwareImage* image, HexFileFault* fault);
bool parseElf(const uint8_t* bytes, size_t size, FirmwareImage* image, HexFileFault* fault);
bool parseBinary(const uint8_t* bytes, size_t size, uint32_t address, FirmwareImage* image,
                 HexFileFault* fault);

// One of the parsers above by format (HexToken is not parsed here: false).
bool parseFirmwareImage(ImageFormat format, const uint8_t* bytes, size_t size, uint32_t address,
                        FirmwareImage* image, HexFileFault* fault);

// Adds data read at a place of the file to the end of the image. Data must
// continue where the data before it ended or leave a gap, as in a hex token
// file; data lying below that end, or running past 0xFFFFFFFF, is refused in
// the file check's words.
bool appendImageData(FirmwareImage* image, uint64_t address, const uint8_t* bytes, size_t count,
                     int line, HexFileFault* fault);

// The image as hex token text: each segment opens with its address as eight
// digits on a line of its own (so the reader places it absolutely, whatever
// its cursors hold), then its bytes, 16 to a line. An address below 0x100
// cannot be written as an address token, so data placed there is refused.
bool hexTokenTextFor(const FirmwareImage& image, std::string* text, HexFileFault* fault);

// The image as the hex token text a run reads: as above, but the first
// segment's data comes without its address, for a run that starts with the
// reader's cursors at *start. So the first segment may lie anywhere, 0
// included; a segment after a gap must still lie at 100 or above. An image
// without data gives an empty text (refused by the file check).
bool runTextFor(const FirmwareImage& image, std::string* text, uint32_t* start,
                HexFileFault* fault);

// Refuses what runTextFor would refuse, in its words, without writing the
// text.
bool checkRunImage(const FirmwareImage& image, HexFileFault* fault);

// Replaces the snapshot's bytes by the image's run text, with the start
// address set (unset for an image without data). False with the fault, and
// the snapshot untouched, when runTextFor would refuse.
bool setRunText(const FirmwareImage& image, ImageSnapshot* snapshot, HexFileFault* fault);

// How many block records a run of the image's run text sends, as
// programmedImage counts them.
unsigned long runBlockCount(const FirmwareImage& image);

// Makes the snapshot of a file what a run reads: a hex token file stays as it
// is; a file of any other format is parsed, and its bytes are replaced by its
// run text with the start address set (binaryAddress: where raw binary
// belongs). image, when given, receives the parsed image (for its notes).
bool prepareRunImage(ImageSnapshot* snapshot, ImageFormat format, uint32_t binaryAddress,
                     FirmwareImage* image, HexFileFault* fault);

// The image that a run of the snapshot programs, read back from the block
// records it would send from the given cursors, whatever the file's format;
// *blocks: how many records that is.
FirmwareImage programmedImage(const ImageSnapshot& snapshot, ReaderCursors from,
                              unsigned long* blocks);
