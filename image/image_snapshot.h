// The image a run programs, read whole into memory before the target is
// addressed: the file check and the run read the same bytes, so they cannot
// disagree, whatever happens to the file meanwhile.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ImageSnapshot {
  std::vector<uint8_t> bytes;
  bool stream = false;  // read from a pipe, a FIFO, a device or standard input
  // Set when the bytes are hex token text made from another format: the
  // address of the data before its first address token. A run sets the
  // reader's cursors there before it reads the text, so that data at 0 to FF,
  // which no address token can name, lands where the image puts it. Unset for
  // a hex token file, which is read from the cursors as they stand.
  std::optional<uint32_t> startAddress;
  // The file was read but did not close (fclose failed); the bytes are whole.
  bool closeFailed = false;
};

// Larger files are refused (firmware files with debug information can be tens
// of MiB).
constexpr size_t ImageSizeLimit = size_t{256} << 20;

enum class ImageLoadStatus {
  Loaded,
  OpenFailed,  // with the system's reason
  NotAFile,    // a directory, or neither a regular file nor a readable stream
  TooLarge,
  ReadFailed,  // with the system's reason
};

struct ImageLoadFault {
  ImageLoadStatus status;
  int systemError;  // errno, or 0
};

// Reads the whole file at path ("-" for standard input). True with the bytes
// in image; false with the fault filled in. Either way image->closeFailed
// tells whether the file, once opened, failed to close.
bool loadImageFile(const char* path, ImageSnapshot* image, ImageLoadFault* fault);
// What went wrong, in a few words ("is a directory", "No such file or
// directory", ...).
std::string imageLoadReason(const ImageLoadFault& fault);

// A cursor over the snapshot's bytes, read as the reader reads a file.
struct ImageSource {
  const uint8_t* bytes;
  size_t size;
  size_t position;
};
ImageSource imageSource(const ImageSnapshot& image);

// The SHA-256 of the bytes, as 64 lower-case hexadecimal digits.
std::string sha256Hex(const uint8_t* bytes, size_t size);
// The same over bytes that come in pieces: started, added to, finished.
struct Sha256 {
  uint32_t state[8];
  uint64_t length;    // bytes added
  uint8_t block[64];  // the bytes of the block not yet complete
  size_t held;
};
void sha256Start(Sha256* digest);
void sha256Add(Sha256* digest, const uint8_t* bytes, size_t size);
std::string sha256Finish(Sha256* digest);

// What the operating system provides: the file opened for reading ("-" is
// standard input, in binary mode), refused when it is a directory or neither a
// regular file nor a stream. *regularSize is the size of a regular file, or -1.
FILE* openImageFile(const char* path, long long* regularSize, ImageLoadFault* fault);

// Closes an image file once it is read: fclose, unless a test has put a
// close that fails in its place.
extern int (*imageFileClose)(FILE* file);
