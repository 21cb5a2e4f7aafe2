// Reading an image file whole, bounded, from a regular file or a stream.
#include "image/image_snapshot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int (*imageFileClose)(FILE* file) = fclose;

namespace {

// Closes the file once read (standard input stays open) and keeps whether
// that failed.
void closeImageFile(FILE* file, ImageSnapshot* image) {
  if (file != stdin) image->closeFailed = imageFileClose(file) != 0;
}

}  // namespace

bool loadImageFile(const char* path, ImageSnapshot* image, ImageLoadFault* fault) {
  *fault = {ImageLoadStatus::Loaded, 0};
  image->bytes.clear();
  image->closeFailed = false;
  long long regularSize = -1;
  FILE* file = openImageFile(path, &regularSize, fault);
  if (!file) return false;
  if (regularSize > static_cast<long long>(ImageSizeLimit)) {
    closeImageFile(file, image);
    *fault = {ImageLoadStatus::TooLarge, 0};
    return false;
  }
  image->stream = regularSize < 0;
  if (regularSize > 0) image->bytes.reserve(static_cast<size_t>(regularSize));
  // A stream has no size to ask: read in pieces until its end, or until it
  // passes the limit.
  uint8_t piece[65536];
  bool ok = true;
  for (;;) {
    size_t got = fread(piece, 1, sizeof piece, file);
    if (got > 0) {
      if (image->bytes.size() + got > ImageSizeLimit) {
        *fault = {ImageLoadStatus::TooLarge, 0};
        ok = false;
        break;
      }
      image->bytes.insert(image->bytes.end(), piece, piece + got);
    }
    if (got < sizeof piece) {
      if (ferror(file)) {
        *fault = {ImageLoadStatus::ReadFailed, errno};
        ok = false;
      }
      break;
    }
  }
  closeImageFile(file, image);
  if (!ok) image->bytes.clear();
  return ok;
}

std::string imageLoadReason(const ImageLoadFault& fault) {
  switch (fault.status) {
    case ImageLoadStatus::Loaded:
      return "";
    case ImageLoadStatus::NotAFile:
      return fault.systemError == EISDIR ? "is a directory"
                                         : "is neither a regular file nor a readable stream";
    case ImageLoadStatus::TooLarge:
      return "is larger than 256 MiB";
    case ImageLoadStatus::OpenFailed:
    case ImageLoadStatus::ReadFailed:
      break;
  }
  return fault.systemError ? strerror(fault.systemError) : "cannot be read";
}

ImageSource imageSource(const ImageSnapshot& image) {
  return ImageSource{image.bytes.data(), image.bytes.size(), 0};
}
