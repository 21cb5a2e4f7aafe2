// The serial file (station/serial_file.h): a number read and advanced under its lock.
#include "station/serial_file.h"

#include <algorithm>

#include "station/output_file.h"
#include "station/serial_number.h"

namespace {

// What a serial file is refused for, at the start and at every take: it does
// not hold a number, or it could not be kept as the one counter it must be.
bool usable(const SerialFileText& file, uint64_t* number, std::string* why) {
  if (!parseSerialNumber(file.text, number, why)) {
    *why = "does not hold a serial number: " + *why;
    return false;
  }
  if (file.links > 1) {
    *why = "has " + std::to_string(file.links) +
           " names (hard links): two names for one counter cannot be kept apart; keep one";
    return false;
  }
  if (file.readOnly) {
    *why = "is read-only: a station writes the next number into it; make it writable";
    return false;
  }
  return true;
}

// What a take found: NoneLeft when the number is past `last` or is the
// last number of 64 bits, which the file could not be advanced past.
SerialTake useSerialFile(const std::string& path, int waitMilliseconds, bool advance, uint64_t last,
                         uint64_t* number, std::string* error) {
  SerialFileLock lock;
  if (!lockSerialFile(serialLockPath(path), waitMilliseconds, &lock, error)) {
    return SerialTake::Failed;
  }
  SerialFileText file;
  std::string why;
  SerialTake result = SerialTake::Taken;
  if (!readSerialFile(path, &file, &why)) {
    why = "cannot be read: " + why;
    result = SerialTake::Failed;
  } else if (!usable(file, number, &why)) {
    result = SerialTake::Failed;
  } else if (!advance && *number == UINT64_MAX) {
    why =
        "holds 18446744073709551615, the last serial number there is: it could not be "
        "advanced past it";
    result = SerialTake::Failed;
  } else if (advance && (*number > last || *number == UINT64_MAX)) {
    // Never advanced past a number that cannot be given.
    *number = std::min(*number - 1, last);
    *error = "No serial number is left after " + std::to_string(*number) + ".";
    result = SerialTake::NoneLeft;
  } else if (advance && !writeFileWhole(path, std::to_string(*number + 1) + "\n", &why)) {
    why = "cannot be advanced: " + why;
    result = SerialTake::Failed;
  }
  unlockSerialFile(&lock);
  if (result == SerialTake::Failed) *error = "the serial file " + path + " " + why;
  return result;
}

}  // namespace

std::string resolveSerialFile(const std::string& given) {
  return resolvedPath(given);
}

std::string serialLockPath(const std::string& resolved) {
  return resolved + ".lock";
}

SerialTake takeSerialNumber(const std::string& path, int waitMilliseconds, uint64_t last,
                            uint64_t* number, std::string* error) {
  return useSerialFile(path, waitMilliseconds, true, last, number, error);
}

bool peekSerialNumber(const std::string& path, int waitMilliseconds, uint64_t* number,
                      std::string* error) {
  return useSerialFile(path, waitMilliseconds, false, UINT64_MAX, number, error) ==
         SerialTake::Taken;
}
