// The serial file (station/serial_file.h): a number read and advanced under its lock.
#include "station/serial_file.h"

#include "station/output_file.h"
#include "station/serial_number.h"

namespace {

// Reads the number under the lock; with advance, writes the next one.
bool useSerialFile(const std::string& path, int waitMilliseconds, bool advance, uint64_t* number,
                   std::string* error) {
  SerialFileLock lock;
  if (!lockSerialFile(path + ".lock", waitMilliseconds, &lock, error)) return false;
  std::string text, why;
  bool ok = readSerialText(path, &text, &why);
  if (!ok) why = "cannot be read: " + why;
  if (ok && !parseSerialNumber(text, number, &why)) {
    why = "does not hold a serial number: " + why;
    ok = false;
  }
  if (ok && advance && *number == UINT64_MAX) {
    why = "holds 18446744073709551615, the last serial number there is";
    ok = false;
  }
  if (ok && advance && !writeFileWhole(path, std::to_string(*number + 1) + "\n", &why)) {
    why = "cannot be advanced: " + why;
    ok = false;
  }
  unlockSerialFile(&lock);
  if (!ok) *error = "the serial file " + path + " " + why;
  return ok;
}

}  // namespace

bool takeSerialNumber(const std::string& path, int waitMilliseconds, uint64_t* number,
                      std::string* error) {
  return useSerialFile(path, waitMilliseconds, true, number, error);
}

bool peekSerialNumber(const std::string& path, int waitMilliseconds, uint64_t* number,
                      std::string* error) {
  return useSerialFile(path, waitMilliseconds, false, number, error);
}
