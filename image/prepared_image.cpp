#include "image/prepared_image.h"

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

bool prepareImageBytes(const ImageRequest& request, LoadedImage* loaded, ImagePrepareFault* fault) {
  ImageSnapshot* image = &loaded->run;
  fault->step = ImagePrepareStep::Content;
  if (request.fingerprint) loaded->sha256 = sha256Hex(image->bytes.data(), image->bytes.size());
  if (request.keepFile) loaded->file = *image;
  loaded->format = request.formatByContent
                       ? detectImageFormat(image->bytes.data(), image->bytes.size())
                       : request.format;
  FirmwareImage parsed;
  if (!prepareRunImage(image, loaded->format, request.binaryAddress, &parsed, &fault->content)) {
    return false;
  }
  loaded->notes = std::move(parsed.notes);
  return !request.checkFrom ||
         checkHexTokenFile(*image, runStartCursors(*image, *request.checkFrom), &fault->content);
}
