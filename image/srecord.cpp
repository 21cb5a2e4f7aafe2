// Motorola S-record: S0 header, S1/S2/S3 data with 16/24/32-bit addresses,
// S5/S6 record counts, S7/S8/S9 ends. A file without an end record is whole
// when its last record is a count that matches the data records before it
// (srec_cat writes no end record unless it is given a start address).
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "image/firmware_image.h"
#include "image/record_text.h"

namespace {

// Address bytes of S0 to S9; S4 does not exist.
constexpr int AddressBytes[10] = {2, 2, 3, 4, -1, 2, 3, 4, 3, 2};

// One record's bytes after its type, checked: its length, its address width
// and its checksum.
bool decodeSRecord(const uint8_t* text, size_t length, int width, int line,
                   std::vector<uint8_t>* record, HexFileFault* fault) {
  if (!decodeRecordBytes(text + 2, length - 2, "S-record", line, record, fault)) return false;
  if (record->empty() || record->size() != (*record)[0] + 1u) {
    setImageFault(fault, line, "S-record length does not match (expected %d, found %d)",
                  record->empty() ? 0 : (*record)[0], static_cast<int>(record->size()) - 1);
    return false;
  }
  if ((*record)[0] < width + 1) {
    return setImageFault(fault, line, "S-record too short for its address");
  }
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < record->size(); ++i) sum = static_cast<uint8_t>(sum + (*record)[i]);
  const uint8_t expected = static_cast<uint8_t>(~sum);
  if (record->back() != expected) {
    setImageFault(fault, line, "S-record checksum mismatch (expected %02X, found %02X)", expected,
                  record->back());
    return false;
  }
  return true;
}

}  // namespace

bool parseSRecord(const uint8_t* bytes, size_t size, FirmwareImage* image, HexFileFault* fault) {
  *image = FirmwareImage();
  memset(fault, 0, sizeof *fault);
  TextLines lines{bytes, size, 0, 0};
  const uint8_t* text;
  size_t length;
  std::vector<uint8_t> record;
  uint32_t dataRecords = 0;
  bool ended = false;
  bool counted = false;  // the last record is a count that matches

  while (nextRecordLine(&lines, &text, &length)) {
    const int line = lines.line;
    if (ended) return setImageFault(fault, line, "S-record after the end record");
    if (length < 2 || text[0] != 'S' || text[1] < '0' || text[1] > '9') {
      return setImageFault(fault, line, "S-record does not begin with S0 to S9");
    }
    const int type = text[1] - '0';
    const int width = AddressBytes[type];
    if (width < 0) return setImageFault(fault, line, "unknown S-record type S4");
    if (!decodeSRecord(text, length, width, line, &record, fault)) return false;

    const uint32_t address = recordNumber(&record[1], width);
    counted = type == 5 || type == 6;
    if (type >= 1 && type <= 3) {
      ++dataRecords;
      const size_t count = record.size() - 2 - static_cast<size_t>(width);
      if (!appendImageData(image, address, &record[1 + width], count, line, fault)) return false;
    } else if (type == 5 || type == 6) {
      if (address != dataRecords) {
        setImageFault(fault, line,
                      "S-record count does not match (expected %" PRIu32 ", found %" PRIu32 ")",
                      dataRecords, address);
        return false;
      }
    } else if (type >= 7) {
      ended = true;
      char note[80];
      snprintf(note, sizeof note, "Line %d: start address %08" PRIX32 " ignored", line, address);
      image->notes.push_back(note);
    }
  }
  if (!ended && !counted) {
    return setImageFault(fault, lines.line,
                         "S-record file ends without an end record (S7, S8 or S9) or a count of "
                         "its data records (S5 or S6)");
  }
  return true;
}
