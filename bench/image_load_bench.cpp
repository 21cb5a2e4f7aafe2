// Time to load a firmware image file as both fronts do before they address
// the target: read it whole, parse it, write it as the hex token text a run
// reads and run the file check over that text. Best and median of 20 rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "image/firmware_image.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: image_load_bench IMAGE_FILE\n");
    return 2;
  }
  constexpr int Rounds = 20;
  std::vector<double> total, read, parse, convert, check;
  size_t imageBytes = 0, fileBytes = 0;
  ImageFormat format = ImageFormat::HexToken;
  for (int round = 0; round < Rounds; ++round) {
    ImageSnapshot snapshot;
    ImageLoadFault loadFault;
    FirmwareImage image;
    HexFileFault fault;
    std::string text;
    uint32_t start = 0;
    Clock::time_point begin = Clock::now();
    if (!loadImageFile(argv[1], &snapshot, &loadFault)) {
      fprintf(stderr, "%s: %s\n", argv[1], imageLoadReason(loadFault).c_str());
      return 3;
    }
    read.push_back(millisecondsSince(begin));
    Clock::time_point step = Clock::now();
    format = detectImageFormat(snapshot.bytes.data(), snapshot.bytes.size());
    fileBytes = snapshot.bytes.size();
    bool ok =
        parseFirmwareImage(format, snapshot.bytes.data(), snapshot.bytes.size(), 0, &image, &fault);
    parse.push_back(millisecondsSince(step));
    step = Clock::now();
    ok = ok && runTextFor(image, &text, &start, &fault);
    snapshot.bytes.assign(text.begin(), text.end());
    convert.push_back(millisecondsSince(step));
    step = Clock::now();
    ok = ok && checkHexTokenFile(snapshot, ReaderCursors{start, start}, &fault);
    check.push_back(millisecondsSince(step));
    total.push_back(millisecondsSince(begin));
    if (!ok) {
      fprintf(stderr, "%s: line %d: %s\n", argv[1], fault.line, fault.message);
      return 3;
    }
    imageBytes = 0;
    for (const ImageSegment& segment : image.segments) imageBytes += segment.bytes.size();
  }
  auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  printf("%s image, %zu KiB of data in %zu bytes of file\n", imageFormatName(format),
         imageBytes >> 10, fileBytes);
  printf(
      "load: best %.1f ms, median %.1f ms (median read %.1f, parse %.1f, conversion %.1f, check "
      "%.1f)\n",
      *std::min_element(total.begin(), total.end()), median(total), median(read), median(parse),
      median(convert), median(check));
  return 0;
}
