// The hex token file: whitespace-separated hexadecimal numbers, values below
// 0x100 are data bytes, larger ones the target address of the data that
// follows. Read one block record at a time.
#pragma once

#include <cstdint>

#include "image/image_snapshot.h"
#include "link/frames.h"

// Numbers from this one on are target addresses; smaller ones are data bytes.
constexpr uint32_t FirstAddressToken = 0x100;
// One past the last address a 32-bit target has.
constexpr uint64_t AddressSpaceEnd = 0x100000000ull;
// Whether a character separates tokens (the C locale's whitespace), and the
// value of a hexadecimal digit of either case (-1 for any other character).
bool isTokenSeparator(int c);
int hexDigitValue(int c);

// Reader cursors. runAddress: address of the first data byte of the current
// run; between calls the base address of the next record. byteAddress: address
// of the next data token. They live as long as the process; only the reader
// and setReaderCursors move them. A run starts from them as they stand, or
// from its image's start address. The desktop tool never resets them, so a
// hex token file that begins with data continues where the previous run left
// off; the command line starts each board from zero.
struct ReaderCursors {
  uint32_t runAddress;
  uint32_t byteAddress;
};
void setReaderCursors(ReaderCursors cursors);
// The cursors as they stand now, for the check of the next file.
ReaderCursors readerCursors();
// The cursors a run of the image starts from: those at its start address when
// it has one, else the given ones.
ReaderCursors runStartCursors(const ImageSnapshot& image, ReaderCursors current);

// Fills the record with up to 256 bytes for consecutive addresses, reading the
// image from where the previous call left the source. Sets *tokenSeen to 1
// whenever a token is read. Returns 1 when the end of the image was met during
// this call, else 0.
int readNextBlock(BlockRecord* record, int* tokenSeen, ImageSource* source);

// Reads the whole image as a programming run does, from the given cursors,
// and hands each block record the run would send to take(). The reader's
// cursors are left as they were.
void readRunBlocks(const ImageSnapshot& image, ReaderCursors from,
                   void (*take)(const BlockRecord& record, void* context), void* context);

// A file outside the format: the line of the first fault (1-based) and what is
// wrong with it.
struct HexFileFault {
  int line;
  char message[160];
};
// Fills the fault (line 0 for no line). Always false, for `return`.
__attribute__((format(printf, 3, 4))) bool setImageFault(HexFileFault* fault, int line,
                                                         const char* format, ...);

// Reads the whole image and tells whether it is a hex token file that the
// reader, starting from the given cursors, places as its tokens say: 1 when it
// is, 0 with the fault filled in when not. An image without data bytes is
// refused too (line 0). The cursors themselves are not touched.
int checkHexTokenFile(const ImageSnapshot& image, ReaderCursors cursors, HexFileFault* fault);
// The text of the refusal for an image without data bytes.
extern const char* const NoDataText;
