// The launched application's line: placeholders filled from the flash.
#include "sim/app_text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "image/flash_range.h"
#include "image/image_snapshot.h"

namespace {

enum class Digest { None, Crc32, Sha256 };

struct Placeholder {
  bool ascii = false;
  bool bigEndian = false;
  Digest digest = Digest::None;
  bool upper = false;  // a digest's name in capitals: its digits too
  size_t width = 0;    // bytes read
  uint32_t address = 0;
};

bool parseAddress(const std::string& text, uint32_t* address) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != 0 || v > 0xFFFFFFFFull) return false;
  *address = uint32_t(v);
  return true;
}

// "crc32" or "sha256" (either in capitals) and START:SIZE.
bool parseDigest(const std::string& format, const std::string& range, Placeholder* p) {
  const struct {
    const char* name;
    Digest digest;
    bool upper;
  } digests[] = {{"crc32", Digest::Crc32, false},
                 {"CRC32", Digest::Crc32, true},
                 {"sha256", Digest::Sha256, false},
                 {"SHA256", Digest::Sha256, true}};
  const size_t colon = range.find(':');
  uint32_t size = 0;
  for (const auto& digest : digests) {
    if (format != digest.name) continue;
    if (colon == std::string::npos || !parseAddress(range.substr(0, colon), &p->address) ||
        !parseAddress(range.substr(colon + 1), &size) || size == 0) {
      return false;
    }
    p->digest = digest.digest;
    p->upper = digest.upper;
    p->width = size;
    return true;
  }
  return false;
}

// The part between the braces, e.g. "u32le@0x7FF0", "ascii:8@0x7FF0" or
// "crc32@0x4000:0x100".
bool parsePlaceholder(const std::string& body, Placeholder* p) {
  const size_t at = body.find('@');
  if (at == std::string::npos) return false;
  if (parseDigest(body.substr(0, at), body.substr(at + 1), p)) return true;
  if (!parseAddress(body.substr(at + 1), &p->address)) return false;
  const std::string format = body.substr(0, at);
  struct Number {
    const char* name;
    size_t width;
    bool bigEndian;
  } const numbers[] = {
      {"u32le", 4, false}, {"u32be", 4, true}, {"u64le", 8, false}, {"u64be", 8, true}};
  for (const Number& n : numbers) {
    if (format != n.name) continue;
    p->width = n.width;
    p->bigEndian = n.bigEndian;
    return true;
  }
  if (format.compare(0, 6, "ascii:") != 0 || format.size() < 7 || format.size() > 8) return false;
  for (size_t i = 6; i < format.size(); ++i) {
    if (format[i] < '0' || format[i] > '9') return false;
  }
  p->ascii = true;
  p->width = size_t(atoi(format.c_str() + 6));
  return p->width >= 1 && p->width <= 64;
}

bool insideFlash(const Placeholder& p, const FlashGeometry& g) {
  return p.address >= g.base && uint64_t(p.address) + p.width <= uint64_t(g.base) + g.size;
}

std::string digestOf(const Placeholder& p, const uint8_t* bytes) {
  std::string text;
  if (p.digest == Digest::Sha256) {
    text = sha256Hex(bytes, p.width);
  } else {
    char crc[16];
    snprintf(crc, sizeof crc, "%08lx", static_cast<unsigned long>(crc32Update(0, bytes, p.width)));
    text = crc;
  }
  for (char& c : text) {
    if (p.upper && c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string valueOf(const Placeholder& p, const FlashGeometry& g,
                    const std::vector<uint8_t>& flash) {
  const uint8_t* bytes = flash.data() + (p.address - g.base);
  if (p.digest != Digest::None) return digestOf(p, bytes);
  if (p.ascii) return std::string(reinterpret_cast<const char*>(bytes), p.width);
  uint64_t value = 0;
  for (size_t i = 0; i < p.width; ++i) {
    const size_t k = p.bigEndian ? i : p.width - 1 - i;
    value = value << 8 | bytes[k];
  }
  return std::to_string(value);
}

// Walks the text: calls `each` for every placeholder; false when one is not
// valid (with the reason).
template <typename Each>
bool walk(const std::string& text, const FlashGeometry& g, std::string* why, Each each) {
  size_t from = 0;
  while (true) {
    const size_t open = text.find('{', from);
    if (open == std::string::npos) return true;
    const size_t close = text.find('}', open);
    const std::string body =
        close == std::string::npos ? text.substr(open) : text.substr(open + 1, close - open - 1);
    Placeholder p;
    if (close == std::string::npos || !parsePlaceholder(body, &p)) {
      *why = "not a placeholder: {" + body + (close == std::string::npos ? "" : "}");
      return false;
    }
    if (!insideFlash(p, g)) {
      *why = "{" + body + "} does not lie inside the flash";
      return false;
    }
    each(open, close, p);
    from = close + 1;
  }
}

}  // namespace

bool appTextValid(const std::string& text, const FlashGeometry& geometry, std::string* why) {
  return walk(text, geometry, why, [](size_t, size_t, const Placeholder&) {});
}

std::string appTextRender(const std::string& text, const FlashGeometry& geometry,
                          const std::vector<uint8_t>& flash) {
  std::string out, why;
  size_t copied = 0;
  walk(text, geometry, &why, [&](size_t open, size_t close, const Placeholder& p) {
    out += text.substr(copied, open - copied) + valueOf(p, geometry, flash);
    copied = close + 1;
  });
  return out + text.substr(copied);
}

bool parseFlipBit(const std::string& text, const FlashGeometry& geometry, FlipBit* flip,
                  std::string* why) {
  const size_t colon = text.find(':');
  const std::string bit = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (colon == std::string::npos || !parseAddress(text.substr(0, colon), &flip->address) ||
      bit.size() != 1 || bit[0] < '0' || bit[0] > '7') {
    *why = "flip-bit takes ADDR:BIT (BIT 0 to 7), not \"" + text + "\"";
    return false;
  }
  flip->bit = bit[0] - '0';
  if (flip->address < geometry.base || flip->address - geometry.base >= geometry.size) {
    *why = "flip-bit " + text + " does not lie inside the flash";
    return false;
  }
  return true;
}

void applyFlipBit(const FlipBit& flip, const FlashGeometry& geometry, std::vector<uint8_t>* flash) {
  (*flash)[flip.address - geometry.base] ^= static_cast<uint8_t>(1u << flip.bit);
}
