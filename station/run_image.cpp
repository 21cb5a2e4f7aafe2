// The image of a run (station/run_image.h): the file read whole, converted
// and checked, refused in the command line's words.
#include "station/run_image.h"

#include <cstdio>
#include <cstring>

#include "image/hex_token_reader.h"
#include "operations/exit_codes.h"
#include "operations/run_logic.h"
#include "station/interrupt.h"
#include "station/say.h"

namespace {

// Whether a file refused as hex token text looks like raw binary.
bool looksBinary(const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size() && i < 4096; ++i) {
    const uint8_t c = bytes[i];
    if (c == 0 || c >= 0x80 || (c < 0x20 && !strchr("\t\n\v\f\r", c))) return true;
  }
  return false;
}

// Refuses an image that the board's map, when given, does not allow where it
// lies: no failure, or ExitFileError told.
Failure checkAgainstMap(const std::string& path, const Options& options,
                        const FirmwareImage& image) {
  if (!options.flashMap.map.flash.given && !options.flashMap.map.boot.given) return Failure();
  std::string why;
  if (!mapRefuses(image, options.flashMap.map, options.image.bootloader, &why)) return Failure();
  return toldFailure(ExitFileError, "file", "File Error: " + path + ": " + why);
}

// Refuses the file that did not open, read or close: the desktop tool's text
// for it, then the path and the reason.
Failure refuseFile(const char* text, const std::string& path, const std::string& reason) {
  return toldFailure(ExitFileError, "file",
                     std::string("File Error: ") + text + " (" + path + ": " + reason + ")");
}

// The file whose content cannot be programmed: where and why.
Failure refuseContent(const std::string& path, const HexFileFault& fault, bool binaryLooking) {
  char text[400];
  if (fault.line == 0) {
    snprintf(text, sizeof text, "File Error: %s: %s", path.c_str(), fault.message);
  } else {
    snprintf(text, sizeof text, "File Error: %s, line %d: %s.", path.c_str(), fault.line,
             fault.message);
  }
  const Failure failure = toldFailure(ExitFileError, "file", text);
  if (binaryLooking) say("A raw binary file needs --format bin --address ADDR.\n");
  return failure;
}

// How every board's image is taken: by the options, checked as a run from
// zero reads it (every board starts from zero).
ImageRequest requestFor(const Options& options, bool keepFile) {
  ImageRequest request;
  request.formatByContent = options.image.formatByContent;
  request.format = options.image.imageFormat;
  request.binaryAddress = options.image.binaryAddress;
  request.fingerprint = true;
  request.keepFile = keepFile;
  // A gang's parent hands the file on and runs nothing itself.
  request.runText = !keepFile;
  request.checkFrom = ReaderCursors{0, 0};
  return request;
}

// What follows the preparation: its content fault worded, the notes shown,
// the board's map applied.
Failure finishCheck(const std::string& path, const Options& options, LoadedImage* loaded,
                    bool prepared, const ImagePrepareFault& fault) {
  if (!prepared) {
    // A hex token file is left as it was read, so its bytes still tell.
    const bool binaryLooking = loaded->format == ImageFormat::HexToken &&
                               options.image.formatByContent && looksBinary(loaded->run.bytes);
    return refuseContent(path, fault.content, binaryLooking);
  }
  if (options.verbose) {
    for (const std::string& note : loaded->notes) say("note: %s\n", note.c_str());
  }
  return checkAgainstMap(path, options, loaded->image);
}

// The file read and checked as the request asks.
Failure loadFor(const std::string& path, const Options& options, const ImageRequest& request,
                LoadedImage* loaded) {
  const ProgramTarget target =
      options.image.bootloader ? ProgramTarget::Bootloader : ProgramTarget::Application;
  ImagePrepareFault fault;
  const bool prepared = prepareImageFile(path.c_str(), request, loaded, &fault);
  if (!prepared && fault.step == ImagePrepareStep::Load) {
    if (interrupted.load()) {
      // Ctrl-C while waiting for a FIFO's writer.
      const Failure failure = {ExitInterrupted, "file", "Interrupted: the file was not read."};
      say("%s\n", failure.message.c_str());
      return failure;
    }
    return refuseFile(fileOpenErrorText(target), path, imageLoadReason(fault.load));
  }
  // A file that did not close is a file error like any other; it is known
  // here, before any board is addressed.
  if (loaded->run.closeFailed) {
    return refuseFile(fileCloseErrorText(target), path, "did not close after it was read");
  }
  return finishCheck(path, options, loaded, prepared, fault);
}

}  // namespace

// The run then programs these very bytes.
Failure loadAndCheck(const std::string& path, const Options& options, LoadedImage* loaded) {
  return loadFor(path, options, requestFor(options, false), loaded);
}

Failure loadForGang(const Options& options, LoadedImage* loaded) {
  return loadFor(options.image.file, options, requestFor(options, true), loaded);
}

Failure checkImage(const std::string& path, const Options& options, LoadedImage* loaded) {
  ImagePrepareFault fault;
  const bool prepared = prepareImageBytes(requestFor(options, false), loaded, &fault);
  return finishCheck(path, options, loaded, prepared, fault);
}

Failure loadWithoutRun(const Options& options, LoadedImage* loaded) {
  ImageRequest request = requestFor(options, false);
  request.runText = false;
  return loadFor(options.image.file, options, request, loaded);
}
