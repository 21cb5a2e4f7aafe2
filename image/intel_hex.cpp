// Intel HEX: ':' records of data (00), end (01), extended segment (02) and
// linear (04) addresses, and start addresses (03, 05) that are noted only.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "image/firmware_image.h"
#include "image/record_text.h"

namespace {

enum RecordType {
  Data = 0,
  End = 1,
  SegmentBase = 2,
  SegmentStart = 3,
  LinearBase = 4,
  LinearStart = 5
};

// Bytes each record type but data must hold.
int fixedLength(int type) {
  switch (type) {
    case End:
      return 0;
    case SegmentBase:
    case LinearBase:
      return 2;
    case SegmentStart:
    case LinearStart:
      return 4;
  }
  return -1;
}

// Checks one record line and decodes it into *record: the byte count, the
// offset, the type, the data and the checksum, each as the format demands.
bool decodeIntelRecord(const uint8_t* text, size_t length, int line, std::vector<uint8_t>* record,
                       HexFileFault* fault) {
  if (text[0] != ':') return setImageFault(fault, line, "Intel HEX record does not begin with ':'");
  if (!decodeRecordBytes(text + 1, length - 1, "Intel HEX", line, record, fault)) return false;
  if (record->size() < 5) return setImageFault(fault, line, "Intel HEX record is too short");
  const int count = (*record)[0];
  if (record->size() != count + 5u) {
    return setImageFault(fault, line,
                         "Intel HEX record length does not match (expected %d, found %d)", count,
                         static_cast<int>(record->size() - 5));
  }
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < record->size(); ++i) sum = static_cast<uint8_t>(sum + (*record)[i]);
  const uint8_t expected = static_cast<uint8_t>(-sum);
  if (record->back() != expected) {
    return setImageFault(fault, line, "Intel HEX checksum mismatch (expected %02X, found %02X)",
                         expected, record->back());
  }
  const int type = (*record)[3];
  if (type != Data && fixedLength(type) < 0) {
    return setImageFault(fault, line, "unknown Intel HEX record type %02X", type);
  }
  if (type != Data && count != fixedLength(type)) {
    return setImageFault(fault, line, "Intel HEX record type %02X must hold %d bytes, not %d", type,
                         fixedLength(type), count);
  }
  return true;
}

}  // namespace

bool parseIntelHex(const uint8_t* bytes, size_t size, FirmwareImage* image, HexFileFault* fault) {
  *image = FirmwareImage();
  memset(fault, 0, sizeof *fault);
  TextLines lines{bytes, size, 0, 0};
  const uint8_t* text;
  size_t length;
  std::vector<uint8_t> record;
  uint32_t base = 0;
  bool segmented = false;  // 02 addresses wrap within their 64 KiB segment
  bool ended = false;

  while (nextRecordLine(&lines, &text, &length)) {
    const int line = lines.line;
    if (ended) return setImageFault(fault, line, "Intel HEX record after the end record");
    if (!decodeIntelRecord(text, length, line, &record, fault)) return false;
    const int count = record[0];
    const uint32_t offset = recordNumber(&record[1], 2);
    const int type = record[3];
    const uint8_t* data = &record[4];
    if (type == Data) {
      // Within a segment the offset wraps to the segment's start, which lies
      // below the data before it and is refused as such.
      const size_t first = segmented ? std::min<size_t>(count, 0x10000 - offset) : count;
      if (!appendImageData(image, uint64_t{base} + offset, data, first, line, fault) ||
          !appendImageData(image, base, data + first, count - first, line, fault)) {
        return false;
      }
    } else if (type == End) {
      ended = true;
    } else if (type == SegmentBase || type == LinearBase) {
      segmented = type == SegmentBase;
      base = recordNumber(data, 2) << (segmented ? 4 : 16);
    } else {
      char note[80];
      snprintf(note, sizeof note, "Line %d: start address %08" PRIX32 " ignored", line,
               recordNumber(data, 4));
      image->notes.push_back(note);
    }
  }
  if (!ended) return setImageFault(fault, lines.line, "Intel HEX file ends without an end record");
  return true;
}
