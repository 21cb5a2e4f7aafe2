// Reading a firmware file for a run: its digest, its format, its segments,
// the checks and the run's text.
#include "image/prepared_image.h"

#include <cstdio>
#include <cstring>
#include <utility>

bool prepareImageFile(const char* path, const ImageRequest& request, LoadedImage* loaded,
                      ImagePrepareFault* fault) {
  *loaded = LoadedImage();
  memset(fault, 0, sizeof *fault);
  ImageSnapshot* image = &loaded->run;
  if (!loadImageFile(path, image, &fault->load)) {
    fault->step = ImagePrepareStep::Load;
    return false;
  }
  return prepareImageBytes(request, loaded, fault);
}

namespace {

// A hex token file stays the run's text, checked with the cursors it is read
// from: where its data lands depends on them.
bool takeTokenFile(const ImageRequest& request, LoadedImage* loaded, HexFileFault* fault) {
  if (!request.checkFrom) return true;
  if (!checkHexTokenFile(loaded->run, *request.checkFrom, fault)) return false;
  loaded->image = programmedImage(loaded->run, *request.checkFrom, &loaded->blocks);
  return true;
}

// A file of another format is parsed once; the checks take its segments,
// and its text is written for the run's reader alone.
bool takeParsedFile(const ImageRequest& request, LoadedImage* loaded, HexFileFault* fault) {
  ImageSnapshot* run = &loaded->run;
  FirmwareImage* image = &loaded->image;
  if (!parseFirmwareImage(loaded->format, run->bytes.data(), run->bytes.size(),
                          request.binaryAddress, image, fault) ||
      !checkRunImage(*image, fault)) {
    return false;
  }
  loaded->notes = std::move(image->notes);
  image->notes.clear();
  if (request.checkFrom && image->segments.empty()) {
    // As the file check says it of the text, which would be empty.
    fault->line = 0;
    snprintf(fault->message, sizeof fault->message, "%s", NoDataText);
    return false;
  }
  loaded->blocks = runBlockCount(*image);
  if (request.runText) return setRunText(*image, run, fault);
  run->bytes = std::vector<uint8_t>();
  return true;
}

}  // namespace

bool prepareImageBytes(const ImageRequest& request, LoadedImage* loaded, ImagePrepareFault* fault) {
  ImageSnapshot* run = &loaded->run;
  fault->step = ImagePrepareStep::Content;
  memset(&fault->content, 0, sizeof fault->content);
  if (request.fingerprint) loaded->sha256 = sha256Hex(run->bytes.data(), run->bytes.size());
  if (request.keepFile) loaded->file = *run;
  loaded->format = request.formatByContent ? detectImageFormat(run->bytes.data(), run->bytes.size())
                                           : request.format;
  run->startAddress.reset();
  loaded->image = FirmwareImage();
  loaded->blocks = 0;
  return loaded->format == ImageFormat::HexToken ? takeTokenFile(request, loaded, &fault->content)
                                                 : takeParsedFile(request, loaded, &fault->content);
}
