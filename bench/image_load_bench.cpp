// Time to load a firmware image file as both fronts do before they address
// the target: read it whole, then prepare it as a run of the command line
// does (its digest, its segments parsed and checked, the run's hex token text
// written once). Best and median of 20 rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "image/prepared_image.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: image_load_bench IMAGE_FILE\n");
    return 2;
  }
  constexpr int Rounds = 20;
  std::vector<double> total, read, prepare;
  size_t imageBytes = 0, fileBytes = 0;
  ImageFormat format = ImageFormat::HexToken;
  ImageRequest request;
  request.fingerprint = true;
  request.checkFrom = ReaderCursors{0, 0};
  for (int round = 0; round < Rounds; ++round) {
    LoadedImage loaded;
    ImagePrepareFault fault;
    Clock::time_point begin = Clock::now();
    if (!loadImageFile(argv[1], &loaded.run, &fault.load)) {
      fprintf(stderr, "%s: %s\n", argv[1], imageLoadReason(fault.load).c_str());
      return 3;
    }
    read.push_back(millisecondsSince(begin));
    fileBytes = loaded.run.bytes.size();
    Clock::time_point step = Clock::now();
    if (!prepareImageBytes(request, &loaded, &fault)) {
      fprintf(stderr, "%s: line %d: %s\n", argv[1], fault.content.line, fault.content.message);
      return 3;
    }
    prepare.push_back(millisecondsSince(step));
    total.push_back(millisecondsSince(begin));
    format = loaded.format;
    imageBytes = 0;
    for (const ImageSegment& segment : loaded.image.segments) imageBytes += segment.bytes.size();
  }
  printf("%s image, %zu KiB of data in %zu bytes of file\n", imageFormatName(format),
         imageBytes >> 10, fileBytes);
  printf(
      "load: best %.1f ms, median %.1f ms (median read %.1f, digest, parse, check and run text "
      "%.1f)\n",
      *std::min_element(total.begin(), total.end()), median(total), median(read), median(prepare));
  return 0;
}
