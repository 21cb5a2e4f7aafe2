// A firmware file made ready for a run, the same way for every front: read
// whole, its format told, parsed into its segments (a file of another format
// than hex token text) and turned into the hex token text a run reads and,
// when asked, checked as the run will read it. Each front words the fault
// itself.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "image/hex_token_reader.h"
#include "image/image_snapshot.h"

// How the file is to be taken.
struct ImageRequest {
  bool formatByContent = true;
  ImageFormat format = ImageFormat::HexToken;  // when not by content
  uint32_t binaryAddress = 0;                  // where raw binary belongs
  bool fingerprint = false;                    // the SHA-256 of the file's bytes
  bool keepFile = false;                       // the file's own bytes beside the run's
  bool runText = true;                         // the run's text (info and convert need none)
  // When set, the prepared image is checked as a run from these cursors (or
  // from the image's start address) reads it, and LoadedImage::image is what
  // that run programs.
  std::optional<ReaderCursors> checkFrom;
};

// A file read for a run, turned into what the run reads.
struct LoadedImage {
  // The file itself for a hex token file, else its hex token text (empty
  // when the request asks for no run text).
  ImageSnapshot run;
  // What a run programs: the parsed segments of a file of another format;
  // for a hex token file, what the reader makes of it from checkFrom (empty
  // without). blocks: the block records that run sends.
  FirmwareImage image;
  unsigned long blocks = 0;
  ImageFormat format = ImageFormat::HexToken;
  std::string sha256;              // of the file's bytes, when asked for
  ImageSnapshot file;              // the file's bytes, when asked for
  std::vector<std::string> notes;  // what was read but is not programmed
};

enum class ImagePrepareStep {
  Load,     // the file did not open or could not be read whole
  Content,  // what it holds cannot be programmed as it stands
};

// Where the preparation stopped, and why: load for Load, content for Content.
struct ImagePrepareFault {
  ImagePrepareStep step;
  ImageLoadFault load;
  HexFileFault content;
};

// Reads the file at path ("-" for standard input) and prepares it as asked.
// True with the image in *loaded; false with the fault. Either way
// loaded->run.closeFailed tells whether the file failed to close: a front
// decides whether that refuses the file, and the fault of its content, if it
// has one, is told only after it.
bool prepareImageFile(const char* path, const ImageRequest& request, LoadedImage* loaded,
                      ImagePrepareFault* fault);
// The same for bytes already in loaded->run (handed over by another process):
// everything after the load.
bool prepareImageBytes(const ImageRequest& request, LoadedImage* loaded, ImagePrepareFault* fault);
