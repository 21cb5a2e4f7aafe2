// The image commands of the command line: the format options, info and convert
// (the loading of a file for a run: station/run_image.cpp).
#include "cli/image_commands.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/hex_token_reader.h"
#include "operations/exit_codes.h"
#include "station/output_file.h"
#include "station/run_image.h"

namespace {

int takeMapOptions(Options* options) {
  std::string error;
  if (!options->flashMap.flash.empty() &&
      !parseMapRange(options->flashMap.flash, &options->flashMap.map.flash, &error)) {
    fprintf(stderr, "error: --flash %s\n", error.c_str());
    return ExitUsage;
  }
  if (!options->flashMap.bootRegion.empty() &&
      !parseMapRange(options->flashMap.bootRegion, &options->flashMap.map.boot, &error)) {
    fprintf(stderr, "error: --boot-region %s\n", error.c_str());
    return ExitUsage;
  }
  const FlashMap& map = options->flashMap.map;
  if (map.flash.given && map.boot.given &&
      (map.boot.start < map.flash.start || map.boot.end > map.flash.end)) {
    fprintf(stderr, "error: --boot-region %s does not lie within --flash %s\n",
            options->flashMap.bootRegion.c_str(), options->flashMap.flash.c_str());
    return ExitUsage;
  }
  return ExitOk;
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
  options->image.formatByContent = options->image.format == "auto";
  for (const auto& known : formats) {
    if (options->image.format == known.name) options->image.imageFormat = known.format;
  }
  const bool binary =
      !options->image.formatByContent && options->image.imageFormat == ImageFormat::Binary;
  if (binary && options->image.address.empty()) {
    fprintf(stderr,
            "error: --format bin needs --address ADDR: raw binary does not say where it "
            "belongs\n");
    return ExitUsage;
  }
  if (!binary && !options->image.address.empty()) {
    fprintf(stderr, "error: --address is for --format bin only\n");
    return ExitUsage;
  }
  if (binary) {
    uint64_t value = 0;
    std::string why;
    if (!parseAddressNumber(options->image.address, &value, &why) || value > 0xFFFFFFFFull) {
      fprintf(stderr, "error: --address %s is not an address from 0 to 0xFFFFFFFF%s%s\n",
              options->image.address.c_str(), why.empty() ? "" : ": ", why.c_str());
      return ExitUsage;
    }
    options->image.binaryAddress = static_cast<uint32_t>(value);
  }
  return takeMapOptions(options);
}

// k4471-cli info: what a run of the file would program.
int showInfo(const Options& options) {
  LoadedImage loaded;
  Options shown = options;
  shown.flashMap.map = FlashMap();  // info shows where the image lies, it refuses nothing for it
  if (int code = loadWithoutRun(shown, &loaded).exitCode) return code;
  const FirmwareImage& image = loaded.image;
  const unsigned long blocks = loaded.blocks;
  unsigned long long bytes = 0;
  printf("File:     %s\n", options.image.file.c_str());
  printf("Format:   %s\n", imageFormatName(loaded.format));
  for (const ImageSegment& segment : image.segments) {
    const uint64_t end = segment.address + static_cast<uint64_t>(segment.bytes.size());
    const std::string place = placeOf(segment.address, end, options.flashMap.map);
    printf("%s %08" PRIX32 "-%08" PRIX32 "  %zu bytes%s%s\n",
           &segment == &image.segments.front() ? "Ranges:  " : "         ", segment.address,
           static_cast<uint32_t>(end - 1), segment.bytes.size(), place.empty() ? "" : "  ",
           place.c_str());
    bytes += segment.bytes.size();
  }
  printf("Data:     %llu bytes in %lu block%s\n", bytes, blocks, blocks == 1 ? "" : "s");
  printf("SHA-256:  %s (of the file's bytes)\n", loaded.sha256.c_str());
  if (options.flashMap.map.flash.given || options.flashMap.map.boot.given) {
    printf("Map:      %s\n", mapText(options.flashMap.map).c_str());
    for (bool bootloader : {false, true}) {
      std::string why;
      const bool refused = mapRefuses(image, options.flashMap.map, bootloader, &why);
      printf("%s %s\n", bootloader ? "Bootloader: " : "Application:",
             refused ? ("refused: " + why).c_str() : "fits");
    }
  }
  return ExitOk;
}

// k4471-cli convert: the image a run would program, as a hex token file.
int convertImage(const Options& options) {
  const std::string& out = options.image.output;
  const bool same = options.image.file == "-" ? out != "-" && standardInputIs(out)
                                              : out != "-" && sameFile(options.image.file, out);
  if (same) {
    fprintf(stderr, "error: %s is the file to convert; convert never overwrites it\n", out.c_str());
    return ExitUsage;
  }
  LoadedImage loaded;
  if (int code = loadWithoutRun(options, &loaded).exitCode) return code;
  std::string text;
  HexFileFault fault;
  if (!hexTokenTextFor(loaded.image, &text, &fault)) {
    fprintf(stderr,
            "error: File Error: %s: %s; program this file itself instead (both the desktop tool "
            "and k4471-cli place it)\n",
            options.image.file.c_str(), fault.message);
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
