// Build-time art generator: turns text pixel maps into the toolbar's picture
// strip (a 256-colour BMP) and the program icon (an ICO with several images).
//
//   artgen strip PALETTE SOURCE WIDTH HEIGHT OUT.bmp
//     A strip of WIDTH x HEIGHT pixels with the images of SOURCE side by side
//     from its top left corner; what they leave free is background.
//   artgen icon PALETTE SOURCE OUT.ico
//     Every image of SOURCE becomes one icon image for each colour depth
//     listed on its header line (4, 8 or 32 bits per pixel).
//
// PALETTE lines: "CHAR R G B", with # comments. The character '.' is the
// background: its colour in the strip, transparent in the icon.
//
// SOURCE: "image NAME WIDTH HEIGHT [BITS...]" followed by HEIGHT rows of WIDTH
// palette characters; blank lines and # comments between images.
//
// The 4-bit images use the sixteen standard colours; a palette colour outside
// them is drawn in the nearest standard colour.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Rgb {
  uint8_t r, g, b;
};

struct Palette {
  bool defined[256];
  Rgb colour[256];
};

struct Image {
  std::string name;
  int width;
  int height;
  std::vector<int> depths;
  std::vector<std::string> rows;
};

constexpr char BackgroundChar = '.';

const Rgb standardColours[16] = {
    {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128}, {128, 0, 128},
    {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0}, {255, 255, 0},
    {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};

bool fail(const char* what, const char* detail) {
  std::fprintf(stderr, "artgen: %s%s%s\n", what, detail[0] ? ": " : "", detail);
  return false;
}

bool readLines(const char* path, std::vector<std::string>* lines) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return fail("cannot open", path);
  std::string line;
  int c;
  while ((c = std::fgetc(file)) != EOF) {
    if (c == '\n') {
      lines->push_back(line);
      line.clear();
    } else if (c != '\r') {
      line.push_back(static_cast<char>(c));
    }
  }
  if (!line.empty()) lines->push_back(line);
  std::fclose(file);
  return true;
}

bool isBlankOrComment(const std::string& line) {
  for (char c : line) {
    if (c == '#') return true;
    if (c != ' ' && c != '\t') return false;
  }
  return true;
}

bool readPalette(const char* path, Palette* palette) {
  std::memset(palette, 0, sizeof *palette);
  std::vector<std::string> lines;
  if (!readLines(path, &lines)) return false;
  for (const std::string& line : lines) {
    if (isBlankOrComment(line)) continue;
    char key;
    int r, g, b;
    if (std::sscanf(line.c_str(), " %c %d %d %d", &key, &r, &g, &b) != 4 || r < 0 || r > 255 ||
        g < 0 || g > 255 || b < 0 || b > 255) {
      return fail("bad palette line", line.c_str());
    }
    uint8_t index = static_cast<uint8_t>(key);
    palette->defined[index] = true;
    palette->colour[index] = {static_cast<uint8_t>(r), static_cast<uint8_t>(g),
                              static_cast<uint8_t>(b)};
  }
  if (!palette->defined[static_cast<uint8_t>(BackgroundChar)]) {
    return fail("palette has no background '.'", path);
  }
  int count = 0;
  for (bool defined : palette->defined) count += defined ? 1 : 0;
  if (count > 255) return fail("more than 255 colours in", path);  // entry 0 is kept black
  return true;
}

bool readImages(const char* path, const Palette& palette, std::vector<Image>* images) {
  std::vector<std::string> lines;
  if (!readLines(path, &lines)) return false;
  size_t at = 0;
  while (at < lines.size()) {
    const std::string& header = lines[at++];
    if (isBlankOrComment(header)) continue;
    Image image;
    char name[64];
    int consumed = 0;
    if (std::sscanf(header.c_str(), "image %63s %d %d%n", name, &image.width, &image.height,
                    &consumed) != 3 ||
        image.width <= 0 || image.height <= 0 || image.width > 256 || image.height > 256) {
      return fail("bad image header", header.c_str());
    }
    image.name = name;
    const char* rest = header.c_str() + consumed;
    int depth, used;
    while (std::sscanf(rest, "%d%n", &depth, &used) == 1) {
      if (depth != 4 && depth != 8 && depth != 32) return fail("bad colour depth", header.c_str());
      image.depths.push_back(depth);
      rest += used;
    }
    for (int row = 0; row < image.height; ++row) {
      if (at >= lines.size()) return fail("image ends early", name);
      const std::string& pixels = lines[at++];
      if (static_cast<int>(pixels.size()) != image.width) {
        return fail("row of the wrong width in", name);
      }
      for (char c : pixels) {
        if (!palette.defined[static_cast<uint8_t>(c)]) {
          std::string detail = std::string(name) + ": '" + c + "'";
          return fail("colour not in the palette", detail.c_str());
        }
      }
      image.rows.push_back(pixels);
    }
    images->push_back(image);
  }
  if (images->empty()) return fail("no image in", path);
  return true;
}

// Little-endian writers.
void put16(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(value & 0xFF);
  out->push_back((value >> 8) & 0xFF);
}
void put32(std::vector<uint8_t>* out, uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

int rowBytes(int width, int bits) {
  return ((width * bits + 31) / 32) * 4;
}

void putInfoHeader(std::vector<uint8_t>* out, int width, int height, int bits, uint32_t imageSize,
                   uint32_t coloursUsed) {
  put32(out, 40);
  put32(out, static_cast<uint32_t>(width));
  put32(out, static_cast<uint32_t>(height));
  put16(out, 1);
  put16(out, static_cast<uint32_t>(bits));
  put32(out, 0);  // no compression
  put32(out, imageSize);
  put32(out, 2835);  // 72 dpi
  put32(out, 2835);
  put32(out, coloursUsed);
  put32(out, 0);
}

void putColour(std::vector<uint8_t>* out, Rgb colour) {
  out->push_back(colour.b);
  out->push_back(colour.g);
  out->push_back(colour.r);
  out->push_back(0);
}

// The 256-entry colour table of the 8-bit images: black first (the colour of
// an icon's clear pixels, which its mask then leaves untouched), then the
// palette's colours in the order of their characters, the rest black.
// index[c] gives each character's entry.
void colourTable256(const Palette& palette, std::vector<Rgb>* table, uint8_t index[256]) {
  table->assign(1, Rgb{0, 0, 0});
  for (int c = 0; c < 256; ++c) {
    index[c] = 0;
    if (!palette.defined[c]) continue;
    index[c] = static_cast<uint8_t>(table->size());
    table->push_back(palette.colour[c]);
  }
  while (table->size() < 256) table->push_back({0, 0, 0});
}

uint8_t nearestStandardColour(Rgb colour) {
  int best = 0;
  long bestDistance = -1;
  for (int i = 0; i < 16; ++i) {
    long dr = colour.r - standardColours[i].r;
    long dg = colour.g - standardColours[i].g;
    long db = colour.b - standardColours[i].b;
    long distance = dr * dr + dg * dg + db * db;
    if (bestDistance < 0 || distance < bestDistance) {
      best = i;
      bestDistance = distance;
    }
  }
  return static_cast<uint8_t>(best);
}

bool writeFile(const char* path, const std::vector<uint8_t>& bytes) {
  FILE* file = std::fopen(path, "wb");
  if (!file) return fail("cannot create", path);
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0) written = false;
  if (!written) return fail("cannot write", path);
  return true;
}

bool writeStrip(const Palette& palette, const std::vector<Image>& images, int width, int height,
                const char* path) {
  if (width <= 0 || height <= 0 || width > 4096 || height > 4096) {
    return fail("bad strip size for", path);
  }
  // Which image covers each column, and where within it.
  std::vector<int> imageAt(static_cast<size_t>(width), -1);
  std::vector<int> columnIn(static_cast<size_t>(width), 0);
  int x0 = 0;
  for (size_t i = 0; i < images.size(); ++i) {
    if (x0 + images[i].width > width || images[i].height > height) {
      return fail("image does not fit into the strip", images[i].name.c_str());
    }
    for (int x = 0; x < images[i].width; ++x) {
      imageAt[x0 + x] = static_cast<int>(i);
      columnIn[x0 + x] = x;
    }
    x0 += images[i].width;
  }
  std::vector<Rgb> table;
  uint8_t index[256];
  colourTable256(palette, &table, index);

  const int stride = rowBytes(width, 8);
  const uint32_t pixelBytes = static_cast<uint32_t>(stride * height);
  const uint32_t pixelOffset = 14 + 40 + 256 * 4;
  std::vector<uint8_t> out;
  out.push_back('B');
  out.push_back('M');
  put32(&out, pixelOffset + pixelBytes);
  put32(&out, 0);
  put32(&out, pixelOffset);
  putInfoHeader(&out, width, height, 8, pixelBytes, 256);
  for (const Rgb& colour : table) putColour(&out, colour);
  for (int y = height - 1; y >= 0; --y) {  // bottom-up
    for (int x = 0; x < stride; ++x) {
      char c = BackgroundChar;
      if (x < width && imageAt[x] >= 0 && y < images[imageAt[x]].height) {
        c = images[imageAt[x]].rows[y][columnIn[x]];
      }
      out.push_back(x < width ? index[static_cast<uint8_t>(c)] : 0);
    }
  }
  return writeFile(path, out);
}

// One icon image: the header with the doubled height, the colour table, the
// colour pixels and the transparency mask, all bottom-up.
std::vector<uint8_t> iconImage(const Palette& palette, const Image& image, int bits) {
  const int w = image.width;
  const int h = image.height;
  const int colourStride = rowBytes(w, bits);
  const int maskStride = rowBytes(w, 1);
  const uint32_t imageSize = static_cast<uint32_t>((colourStride + maskStride) * h);
  std::vector<uint8_t> out;

  std::vector<Rgb> table;
  uint8_t index[256];
  if (bits == 8) {
    colourTable256(palette, &table, index);
  } else if (bits == 4) {
    table.assign(standardColours, standardColours + 16);
    for (int c = 0; c < 256; ++c) {
      index[c] = palette.defined[c] ? nearestStandardColour(palette.colour[c]) : 0;
    }
  }
  putInfoHeader(&out, w, h * 2, bits, imageSize, 0);
  for (const Rgb& colour : table) putColour(&out, colour);

  for (int y = h - 1; y >= 0; --y) {
    std::vector<uint8_t> row(static_cast<size_t>(colourStride), 0);
    for (int x = 0; x < w; ++x) {
      const char c = image.rows[y][x];
      const bool clear = c == BackgroundChar;
      const Rgb colour = palette.colour[static_cast<uint8_t>(c)];
      if (bits == 32) {
        row[x * 4 + 0] = clear ? 0 : colour.b;
        row[x * 4 + 1] = clear ? 0 : colour.g;
        row[x * 4 + 2] = clear ? 0 : colour.r;
        row[x * 4 + 3] = clear ? 0 : 255;
      } else {
        // A clear pixel is black (entry 0 in both tables) in the colour
        // image, so the mask leaves the screen as it is.
        uint8_t entry = clear ? 0 : index[static_cast<uint8_t>(c)];
        if (bits == 8) {
          row[x] = entry;
        } else {
          row[x / 2] |= static_cast<uint8_t>((x % 2 == 0) ? entry << 4 : entry);
        }
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  for (int y = h - 1; y >= 0; --y) {
    std::vector<uint8_t> row(static_cast<size_t>(maskStride), 0);
    for (int x = 0; x < w; ++x) {
      if (image.rows[y][x] == BackgroundChar) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

bool writeIcon(const Palette& palette, const std::vector<Image>& images, const char* path) {
  struct Entry {
    const Image* image;
    int bits;
    std::vector<uint8_t> data;
  };
  std::vector<Entry> entries;
  for (const Image& image : images) {
    if (image.width > 256 || image.height > 256 || image.depths.empty()) {
      return fail("icon image needs a size up to 256 and colour depths", image.name.c_str());
    }
    for (int bits : image.depths)
      entries.push_back({&image, bits, iconImage(palette, image, bits)});
  }
  std::vector<uint8_t> out;
  put16(&out, 0);
  put16(&out, 1);  // icon
  put16(&out, static_cast<uint32_t>(entries.size()));
  uint32_t offset = 6 + 16 * static_cast<uint32_t>(entries.size());
  for (const Entry& entry : entries) {
    out.push_back(static_cast<uint8_t>(entry.image->width & 0xFF));  // 256 is stored as 0
    out.push_back(static_cast<uint8_t>(entry.image->height & 0xFF));
    out.push_back(entry.bits == 4 ? 16 : 0);
    out.push_back(0);
    put16(&out, 1);
    put16(&out, static_cast<uint32_t>(entry.bits));
    put32(&out, static_cast<uint32_t>(entry.data.size()));
    put32(&out, offset);
    offset += static_cast<uint32_t>(entry.data.size());
  }
  for (const Entry& entry : entries) out.insert(out.end(), entry.data.begin(), entry.data.end());
  return writeFile(path, out);
}

int usage() {
  std::fprintf(stderr,
               "usage: artgen strip PALETTE SOURCE WIDTH HEIGHT OUT.bmp\n"
               "       artgen icon PALETTE SOURCE OUT.ico\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const bool strip = std::strcmp(argv[1], "strip") == 0;
  const bool icon = std::strcmp(argv[1], "icon") == 0;
  if ((strip && argc != 7) || (icon && argc != 5) || (!strip && !icon)) return usage();

  Palette palette;
  std::vector<Image> images;
  if (!readPalette(argv[2], &palette) || !readImages(argv[3], palette, &images)) return 1;
  if (strip)
    return writeStrip(palette, images, std::atoi(argv[4]), std::atoi(argv[5]), argv[6]) ? 0 : 1;
  return writeIcon(palette, images, argv[4]) ? 0 : 1;
}
