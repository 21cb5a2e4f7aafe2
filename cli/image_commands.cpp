// The image commands of the command line: the loading of a file for a run in
// any of its formats, info and convert.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "station/plan.h"
#include "operations/exit_codes.h"
#include "station/output_file.h"
#include "image/hex_token_reader.h"

namespace {

// Whether a file refused as hex token text looks like raw binary.
bool looksBinary(const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size() && i < 4096; ++i) {
    const uint8_t c = bytes[i];
    if (c == 0 || c >= 0x80 || (c < 0x20 && !strchr("\t\n\v\f\r", c))) return true;
  }
  return false;
}

int takeMapOptions(Options* options) {
  std::string error;
  if (!options->flash.empty() && !parseMapRange(options->flash, &options->map.flash, &error)) {
    fprintf(stderr, "error: --flash %s\n", error.c_str());
    return ExitUsage;
  }
  if (!options->bootRegion.empty() &&
      !parseMapRange(options->bootRegion, &options->map.boot, &error)) {
    fprintf(stderr, "error: --boot-region %s\n", error.c_str());
    return ExitUsage;
  }
  const FlashMap& map = options->map;
  if (map.flash.given && map.boot.given &&
      (map.boot.start < map.flash.start || map.boot.end > map.flash.end)) {
    fprintf(stderr, "error: --boot-region %s does not lie within --flash %s\n",
            options->bootRegion.c_str(), options->flash.c_str());
    return ExitUsage;
  }
  return ExitOk;
}

// Refuses an image that the board's map, when given, does not allow where it
// lies. ExitOk, or ExitFileError with the reason told.
int checkAgainstMap(const std::string& path, const Options& options, const FirmwareImage& image,
                    std::string* failure) {
  if (!options.map.flash.given && !options.map.boot.given) return ExitOk;
  std::string why;
  if (!mapRefuses(image, options.map, options.bootloader, &why)) return ExitOk;
  *failure = "File Error: " + path + ": " + why;
  fprintf(stderr, "error: %s\n", failure->c_str());
  return ExitFileError;
}

}  // namespace

int takeFormatOptions(Options* options) {
  static const struct {
    const char* name;
    ImageFormat format;
  } formats[] = {{"token", ImageFormat::HexToken},
                 {"ihex", ImageFormat::IntelHex},
                 {"srec", ImageFormat::SRecord},
                 {"elf", ImageFormat::Elf},
                 {"bin", ImageFormat::Binary}};
  options->formatByContent = options->format == "auto";
  for (const auto& known : formats) {
    if (options->format == known.name) options->imageFormat = known.format;
  }
  const bool binary = !options->formatByContent && options->imageFormat == ImageFormat::Binary;
  if (binary && options->address.empty()) {
    fprintf(stderr,
            "error: --format bin needs --address ADDR: raw binary does not say where it "
            "belongs\n");
    return ExitUsage;
  }
  if (!binary && !options->address.empty()) {
    fprintf(stderr, "error: --address is for --format bin only\n");
    return ExitUsage;
  }
  if (binary) {
    const char* text = options->address.c_str();
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 0);
    if (*text == '-' || *text == 0 || *end != 0 || errno != 0 || value > 0xFFFFFFFFull) {
      fprintf(stderr, "error: --address %s is not an address from 0 to 0xFFFFFFFF\n", text);
      return ExitUsage;
    }
    options->binaryAddress = static_cast<uint32_t>(value);
  }
  return takeMapOptions(options);
}

namespace {

// Refuses the file that did not open, read or close: the desktop tool's text
// for it, then the path and the reason.
int refuseFile(const char* text, const std::string& path, const std::string& reason,
               std::string* failure) {
  *failure = std::string("File Error: ") + text + " (" + path + ": " + reason + ")";
  fprintf(stderr, "error: %s\n", failure->c_str());
  return ExitFileError;
}

// The file whose content cannot be programmed: where and why.
int refuseContent(const std::string& path, const HexFileFault& fault, bool binaryLooking,
                  std::string* failure) {
  char text[400];
  if (fault.line == 0) {
    snprintf(text, sizeof text, "File Error: %s: %s", path.c_str(), fault.message);
  } else {
    snprintf(text, sizeof text, "File Error: %s, line %d: %s.", path.c_str(), fault.line,
             fault.message);
  }
  *failure = text;
  fprintf(stderr, "error: %s\n", text);
  if (binaryLooking) fprintf(stderr, "A raw binary file needs --format bin --address ADDR.\n");
  return ExitFileError;
}

// How every board's image is taken: by the options, checked as a run from
// zero reads it (every board starts from zero).
ImageRequest requestFor(const Options& options, bool keepFile) {
  ImageRequest request;
  request.formatByContent = options.formatByContent;
  request.format = options.imageFormat;
  request.binaryAddress = options.binaryAddress;
  request.fingerprint = true;
  request.keepFile = keepFile;
  // A gang's parent hands the file on and runs nothing itself.
  request.runText = !keepFile;
  request.checkFrom = ReaderCursors{0, 0};
  return request;
}

// What follows the preparation: its content fault worded, the notes shown,
// the board's map applied.
int finishCheck(const std::string& path, const Options& options, LoadedImage* loaded, bool prepared,
                const ImagePrepareFault& fault, std::string* failure) {
  if (!prepared) {
    // A hex token file is left as it was read, so its bytes still tell.
    const bool binaryLooking = loaded->format == ImageFormat::HexToken && options.formatByContent &&
                               looksBinary(loaded->run.bytes);
    return refuseContent(path, fault.content, binaryLooking, failure);
  }
  if (options.verbose) {
    for (const std::string& note : loaded->notes) fprintf(stderr, "note: %s\n", note.c_str());
  }
  return checkAgainstMap(path, options, loaded->image, failure);
}

// The file read and checked as the request asks.
int loadFor(const std::string& path, const Options& options, const ImageRequest& request,
            LoadedImage* loaded, std::string* failure) {
  const ProgramTarget target =
      options.bootloader ? ProgramTarget::Bootloader : ProgramTarget::Application;
  ImagePrepareFault fault;
  const bool prepared = prepareImageFile(path.c_str(), request, loaded, &fault);
  if (!prepared && fault.step == ImagePrepareStep::Load) {
    if (interrupted.load()) {
      // Ctrl-C while waiting for a FIFO's writer.
      *failure = "Interrupted: the file was not read.";
      fprintf(stderr, "%s\n", failure->c_str());
      return ExitInterrupted;
    }
    return refuseFile(fileOpenErrorText(target), path, imageLoadReason(fault.load), failure);
  }
  // A file that did not close is a file error like any other; it is known
  // here, before any board is addressed.
  if (loaded->run.closeFailed) {
    return refuseFile(fileCloseErrorText(target), path, "did not close after it was read", failure);
  }
  return finishCheck(path, options, loaded, prepared, fault, failure);
}

// For info and convert: the image a run would program, without its text.
int loadWithoutRun(const Options& options, LoadedImage* loaded, std::string* failure) {
  ImageRequest request = requestFor(options, false);
  request.runText = false;
  return loadFor(options.file, options, request, loaded, failure);
}

}  // namespace

// The run then programs these very bytes.
int loadAndCheck(const std::string& path, const Options& options, LoadedImage* loaded,
                 std::string* failure, bool keepFile) {
  return loadFor(path, options, requestFor(options, keepFile), loaded, failure);
}

int checkImage(const std::string& path, const Options& options, LoadedImage* loaded,
               std::string* failure, bool keepFile) {
  ImagePrepareFault fault;
  const bool prepared = prepareImageBytes(requestFor(options, keepFile), loaded, &fault);
  return finishCheck(path, options, loaded, prepared, fault, failure);
}

// k4471-cli info: what a run of the file would program.
int showInfo(const Options& options) {
  LoadedImage loaded;
  std::string failure;
  Options shown = options;
  shown.map = FlashMap();  // info shows where the image lies, it refuses nothing for it
  if (int code = loadWithoutRun(shown, &loaded, &failure)) return code;
  const FirmwareImage& image = loaded.image;
  const unsigned long blocks = loaded.blocks;
  unsigned long long bytes = 0;
  printf("File:     %s\n", options.file.c_str());
  printf("Format:   %s\n", imageFormatName(loaded.format));
  for (const ImageSegment& segment : image.segments) {
    const uint64_t end = segment.address + static_cast<uint64_t>(segment.bytes.size());
    const std::string place = placeOf(segment.address, end, options.map);
    printf("%s %08" PRIX32 "-%08" PRIX32 "  %zu bytes%s%s\n",
           &segment == &image.segments.front() ? "Ranges:  " : "         ", segment.address,
           static_cast<uint32_t>(end - 1), segment.bytes.size(), place.empty() ? "" : "  ",
           place.c_str());
    bytes += segment.bytes.size();
  }
  printf("Data:     %llu bytes in %lu block%s\n", bytes, blocks, blocks == 1 ? "" : "s");
  printf("SHA-256:  %s (of the file's bytes)\n", loaded.sha256.c_str());
  if (options.map.flash.given || options.map.boot.given) {
    printf("Map:      %s\n", mapText(options.map).c_str());
    for (bool bootloader : {false, true}) {
      std::string why;
      const bool refused = mapRefuses(image, options.map, bootloader, &why);
      printf("%s %s\n", bootloader ? "Bootloader: " : "Application:",
             refused ? ("refused: " + why).c_str() : "fits");
    }
  }
  return ExitOk;
}

// k4471-cli convert: the image a run would program, as a hex token file.
int convertImage(const Options& options) {
  const std::string& out = options.output;
  const bool same = options.file == "-" ? out != "-" && standardInputIs(out)
                                        : out != "-" && sameFile(options.file, out);
  if (same) {
    fprintf(stderr, "error: %s is the file to convert; convert never overwrites it\n", out.c_str());
    return ExitUsage;
  }
  LoadedImage loaded;
  std::string failure;
  if (int code = loadWithoutRun(options, &loaded, &failure)) return code;
  std::string text;
  HexFileFault fault;
  if (!hexTokenTextFor(loaded.image, &text, &fault)) {
    fprintf(stderr,
            "error: File Error: %s: %s; program this file itself instead (both the desktop tool "
            "and k4471-cli place it)\n",
            options.file.c_str(), fault.message);
    return ExitFileError;
  }
  std::string error;
  if (out == "-") {
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) {
      error = strerror(errno);
    }
  } else if (!writeFileWhole(out, text, &error) && error.empty()) {
    error = "the write failed";
  }
  if (!error.empty()) {
    // What was there before is left as it was.
    fprintf(stderr, "error: cannot write %s: %s\n", out.c_str(), error.c_str());
    return ExitFileError;
  }
  return ExitOk;
}
