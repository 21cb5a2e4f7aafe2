// Time to load a firmware image file held in memory: parse it, write it as hex
// token text and run the file check over that text, as a programming run does
// before it addresses the target. Best and median of 20 rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
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
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), {}};
  const ImageFormat format = detectImageFormat(file.data(), file.size());

  constexpr int Rounds = 20;
  std::vector<double> total, parse, convert, check;
  size_t imageBytes = 0;
  for (int round = 0; round < Rounds; ++round) {
    FirmwareImage image;
    HexFileFault fault;
    std::string text;
    Clock::time_point start = Clock::now();
    bool ok = parseFirmwareImage(format, file.data(), file.size(), 0, &image, &fault);
    parse.push_back(millisecondsSince(start));
    Clock::time_point step = Clock::now();
    ok = ok && hexTokenTextFor(image, &text, &fault);
    convert.push_back(millisecondsSince(step));
    step = Clock::now();
    ImageSnapshot tokens;
    tokens.bytes.assign(text.begin(), text.end());
    ok = ok && checkHexTokenFile(tokens, ReaderCursors{0, 0}, &fault);
    check.push_back(millisecondsSince(step));
    total.push_back(millisecondsSince(start));
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
         imageBytes >> 10, file.size());
  printf("load: best %.1f ms, median %.1f ms (median parse %.1f, conversion %.1f, check %.1f)\n",
         *std::min_element(total.begin(), total.end()), median(total), median(parse),
         median(convert), median(check));
  return 0;
}
