// A board's own image (station/board_image.h): its serial number taken and
// written in.
#include "station/board_image.h"

#include <vector>

#include "image/hex_token_reader.h"
#include "image/image_patch.h"
#include "station/serial_file.h"

bool nextSerialNumber(const Options& options, uint64_t* next, uint64_t* number,
                      std::string* error) {
  if (options.serialFile.empty()) {
    *number = (*next)++;
  } else if (!takeSerialNumber(options.serialFile, SerialLockWaitMilliseconds, number, error)) {
    *error = "--serial-file " + options.serialFile + ": " + *error;
    return false;
  }
  std::vector<uint8_t> bytes;
  return encodeSerial(*number, options.serial, &bytes, error);
}

bool boardImage(const Options& options, const LoadedImage& loaded, const uint64_t* serial,
                ImageSnapshot* out, std::string* dataSha256, std::string* error) {
  if (!serial) {
    *dataSha256 = imageDataSha256(loaded.image);
    *out = loaded.run;
    return true;
  }
  std::vector<uint8_t> bytes;
  if (!encodeSerial(*serial, options.serial, &bytes, error)) return false;
  HexFileFault fault = {0, ""};
  if (!withBytesAt(loaded.image, options.serialAddress, bytes.data(), bytes.size(), out, dataSha256,
                   &fault)) {
    *error = std::string("the serial number cannot be written into the image: ") + fault.message;
    return false;
  }
  return true;
}
