// A board's own image (station/board_image.h): its serial number taken and
// written in.
#include "station/board_image.h"

#include <vector>

#include "image/hex_token_reader.h"
#include "image/image_patch.h"
#include "station/serial_number.h"

SerialTake nextSerialNumber(const Options& options, SerialCounter* counter, uint64_t* number,
                            std::string* error) {
  if (!options.serialFile.empty()) {
    const SerialTake took = takeSerialNumber(options.serialPath, SerialLockWaitMilliseconds,
                                             serialFormatLast(options.serial), number, error);
    if (took == SerialTake::Failed) *error = "--serial-file " + options.serialFile + ": " + *error;
    return took;
  }
  if (counter->spent) {
    *number = counter->next;
    *error = serialCounterEnd(*counter);
    return SerialTake::NoneLeft;
  }
  *number = counter->next;
  // The last number that fits is given once; the count never wraps.
  if (*number >= serialFormatLast(options.serial)) {
    counter->spent = true;
  } else {
    ++counter->next;
  }
  return SerialTake::Taken;
}

std::string serialCounterEnd(const SerialCounter& counter) {
  return (counter.spent ? "No serial number is left after " : "The next free serial number is ") +
         std::to_string(counter.next) + ".";
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

bool boardFirmware(const Options& options, const LoadedImage& loaded, const uint64_t* serial,
                   FirmwareImage* out, std::string* error) {
  *out = loaded.image;
  if (!serial) return true;
  std::vector<uint8_t> bytes;
  HexFileFault fault = {0, ""};
  if (!encodeSerial(*serial, options.serial, &bytes, error)) return false;
  if (!writeImageBytes(out, options.serialAddress, bytes.data(), bytes.size(), &fault)) {
    *error = fault.message;
    return false;
  }
  return true;
}
