// Firmware images written by binutils and srec_cat, read by our parsers, turned into hex
// token text and read back by the hex token reader: the same bytes at the same
// addresses. And each refusal with its place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "tests/native/pty_peer.h"

namespace {

struct Piece {
  uint32_t address;
  std::vector<uint8_t> bytes;
};

std::string hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%X", value);
  return text;
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// What the reader makes of hex token text, as pieces of consecutive bytes.
// The cursors are set elsewhere first: the text must place itself.
std::vector<Piece> readBack(const std::string& text) {
  ImageSnapshot image;
  image.bytes.assign(text.begin(), text.end());
  ImageSource source = imageSource(image);
  setReaderCursors(ReaderCursors{0x777777, 0x777777});
  HexFileFault fault;
  EXPECT_EQ(checkHexTokenFile(image, readerCursors(), &fault), 1)
      << fault.line << ": " << fault.message;
  std::vector<Piece> pieces;
  BlockRecord record;
  int seen = 0, end = 0;
  for (int guard = 0; !end && guard < 100000; ++guard) {
    end = readNextBlock(&record, &seen, &source);
    if (record.byteCount == 0) continue;
    const uint8_t* data = record.data;
    if (!pieces.empty() &&
        pieces.back().address + pieces.back().bytes.size() == record.baseAddress) {
      pieces.back().bytes.insert(pieces.back().bytes.end(), data, data + record.byteCount);
    } else {
      pieces.push_back({record.baseAddress, {data, data + record.byteCount}});
    }
  }
  return pieces;
}

bool operator==(const Piece& a, const Piece& b) {
  return a.address == b.address && a.bytes == b.bytes;
}

class Binutils : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    ASSERT_FALSE(dir.empty());
    std::mt19937 random(4471);
    // A gap, data across a 64 KiB boundary below 1 MiB (segment records) and
    // across one above it (linear records).
    pieces = {{0xFF80, {}}, {0x20010, {}}, {0x0801FFF0, {}}};
    const size_t sizes[] = {300, 1000, 700};
    for (int i = 0; i < 3; ++i) {
      for (size_t n = 0; n < sizes[i]; ++n) pieces[i].bytes.push_back(random() & 0xFF);
      std::ofstream(path(i), std::ios::binary)
          .write(reinterpret_cast<const char*>(pieces[i].bytes.data()), sizes[i]);
    }
  }
  void TearDown() override { removeScratchDir(dir); }

  std::string path(int piece) { return dir + "/" + "abc"[piece] + ".bin"; }

  void tool(const std::string& command) {
    ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
  }

  // The pieces in one file of the format, written by objcopy from raw binary.
  std::vector<uint8_t> objcopyFromBinary(const char* format) {
    std::string command = "objcopy -I binary -O " + std::string(format) + " --change-addresses " +
                          hex(pieces[0].address) + " " + path(0) + " " + dir + "/out";
    for (int i = 1; i < 3; ++i) {
      std::string section = std::string(".") + "abc"[i];
      command += " --add-section " + section + "=" + path(i) + " --set-section-flags " + section +
                 "=alloc,load,contents --change-section-address " + section + "=" +
                 hex(pieces[i].address);
    }
    tool(command);
    return readFile(dir + "/out");
  }

  // The pieces as loadable segments, linked by ld.
  std::string linkElf(const std::string& objects, const std::string& options) {
    std::string command = "ld -N " + options + " -b binary " + path(0);
    for (int i = 1; i < 3; ++i) {
      std::string object = dir + "/" + "abc"[i] + ".o";
      tool("objcopy -I binary -O " + objects + " --rename-section .data=." + "abc"[i] + " " +
           path(i) + " " + object);
      command += " -b " + objects + " " + object;
    }
    command += " --section-start=.data=" + hex(pieces[0].address);
    command += " --section-start=.b=" + hex(pieces[1].address);
    command += " --section-start=.c=" + hex(pieces[2].address) + " -o " + dir + "/elf";
    tool(command);
    return dir + "/elf";
  }

  void expectRoundTrip(const std::vector<uint8_t>& file, ImageFormat format) {
    ASSERT_EQ(detectImageFormat(file.data(), file.size()), format);
    FirmwareImage image;
    HexFileFault fault;
    ASSERT_TRUE(parseFirmwareImage(format, file.data(), file.size(), 0, &image, &fault))
        << fault.line << ": " << fault.message;
    std::string text;
    ASSERT_TRUE(hexTokenTextFor(image, &text, &fault)) << fault.message;
    EXPECT_TRUE(readBack(text) == pieces);
  }

  std::string dir;
  std::vector<Piece> pieces;
};

// Intel HEX with segment and linear address records, S-records, and ELF of
// either width and byte order.
TEST_F(Binutils, EveryFormatWrittenByBinutilsReadsBackAsItsBytes) {
  std::vector<uint8_t> hex = objcopyFromBinary("ihex");
  std::string text(hex.begin(), hex.end());
  ASSERT_NE(text.find(":02000002"), std::string::npos) << "segment address records";
  ASSERT_NE(text.find(":02000004"), std::string::npos) << "linear address records";
  expectRoundTrip(hex, ImageFormat::IntelHex);
  std::vector<uint8_t> srec = objcopyFromBinary("srec");
  expectRoundTrip(srec, ImageFormat::SRecord);
  // As a Windows editor saves them: with a UTF-8 byte-order mark.
  const uint8_t mark[] = {0xEF, 0xBB, 0xBF};
  hex.insert(hex.begin(), mark, mark + 3);
  srec.insert(srec.begin(), mark, mark + 3);
  expectRoundTrip(hex, ImageFormat::IntelHex);
  expectRoundTrip(srec, ImageFormat::SRecord);
  for (const char* options :
       {"", "-m elf_i386", "-m elf_i386 --oformat elf32-big", "--oformat elf64-big"}) {
    SCOPED_TRACE(options);
    const char* objects = options[0] == '-' && options[1] == 'm' ? "elf32-i386" : "elf64-x86-64";
    expectRoundTrip(readFile(linkElf(objects, options)), ImageFormat::Elf);
  }
}

std::vector<Piece> piecesOf(const FirmwareImage& image) {
  std::vector<Piece> pieces;
  for (const ImageSegment& segment : image.segments) {
    pieces.push_back({segment.address, segment.bytes});
  }
  return pieces;
}

// srec_cat writes no end record unless it is given a start address: the file
// ends with the count of its data records (S6 past 65535 of them).
TEST_F(Binutils, SRecordsWrittenBySrecCatReadBackAsTheirBytes) {
  if (std::system("srec_cat --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
  }
  std::string inputs;
  for (int i = 0; i < 3; ++i)
    inputs += path(i) + " -binary -offset " + hex(pieces[i].address) + " ";
  const std::string out = dir + "/cat.srec";
  for (const char* options : {"", "-address-length=4", "-obs=16", "-line-termination=crlf",
                              "-disable=header", "-execution-start-address=0x4000"}) {
    SCOPED_TRACE(options);
    tool("srec_cat " + inputs + "-o " + out + " -motorola " + options);
    std::vector<uint8_t> srec = readFile(out);
    const std::string text(srec.begin(), srec.end());
    const bool started = strstr(options, "start") != nullptr;
    EXPECT_EQ(text.find("\nS9") != std::string::npos, started) << "an end record only with a start";
    expectRoundTrip(srec, ImageFormat::SRecord);
  }

  // A byte a record: more records than S5 can count.
  std::vector<uint8_t> many(70000);
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i * 7);
  std::ofstream(dir + "/many.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(many.data()), many.size());
  tool("srec_cat " + dir + "/many.bin -binary -offset 0x100 -o " + out + " -motorola -obs=1");
  std::vector<uint8_t> srec = readFile(out);
  const std::string text(srec.begin(), srec.end());
  ASSERT_NE(text.find("\nS6"), std::string::npos);
  FirmwareImage image;
  HexFileFault fault;
  ASSERT_TRUE(parseSRecord(srec.data(), srec.size(), &image, &fault)) << fault.message;
  EXPECT_TRUE(piecesOf(image) == (std::vector<Piece>{{0x100, many}}));

  // Without its count the file may have been cut short.
  srec.resize(text.rfind("S6"));
  EXPECT_FALSE(parseSRecord(srec.data(), srec.size(), &image, &fault));
  EXPECT_STREQ(fault.message,
               "S-record file ends without an end record (S7, S8 or S9) or a count of its data "
               "records (S5 or S6)");
}

// What objcopy makes of an ELF file as Intel HEX is what we read from it: the
// allocated sections at their load addresses, in address order, and never the
// ELF headers that a segment also covers.
TEST_F(Binutils, ElfGivesWhatObjcopyWritesAsIntelHex) {
  auto expectAsObjcopy = [&](const std::string& elf) {
    tool("objcopy -O ihex " + elf + " " + elf + ".hex");
    std::vector<uint8_t> hexFile = readFile(elf + ".hex"), elfFile = readFile(elf);
    FirmwareImage fromHex, fromElf;
    HexFileFault fault;
    EXPECT_TRUE(parseIntelHex(hexFile.data(), hexFile.size(), &fromHex, &fault)) << fault.message;
    EXPECT_TRUE(parseElf(elfFile.data(), elfFile.size(), &fromElf, &fault)) << fault.message;
    EXPECT_TRUE(piecesOf(fromElf) == piecesOf(fromHex)) << elf;
    return piecesOf(fromElf);
  };
  // Without -N the one segment starts at 0x10000 with the ELF header.
  tool("ld -b binary " + path(0) + " --section-start=.data=0x10078 -o " + dir + "/headers");
  EXPECT_TRUE(expectAsObjcopy(dir + "/headers") ==
              (std::vector<Piece>{{0x10078, pieces[0].bytes}}));

  std::string elf = linkElf("elf64-x86-64", "");
  tool("objcopy --change-section-lma .c=0x08100000 " + elf + " " + dir + "/moved");
  tool("objcopy --change-section-lma .b=0x09000000 " + elf + " " + dir + "/descending");
  pieces[2].address = 0x08100000;
  EXPECT_TRUE(expectAsObjcopy(dir + "/moved") == pieces);
  std::vector<Piece> ascending = expectAsObjcopy(dir + "/descending");
  ASSERT_EQ(ascending.size(), 3u);
  EXPECT_EQ(ascending[2].address, 0x09000000u);

  FirmwareImage image;
  HexFileFault fault;
  tool("objcopy --change-section-lma .b=0x0801FF00 " + elf + " " + dir + "/overlapping");
  std::vector<uint8_t> bytes = readFile(dir + "/overlapping");
  EXPECT_FALSE(parseElf(bytes.data(), bytes.size(), &image, &fault));
  EXPECT_STREQ(
      fault.message,
      "ELF section .c: address 801FFF0 lies below 80202E8, where the data before it ended");
}

// Without section headers the loadable segments are the image.
TEST_F(Binutils, ElfWithoutSectionHeadersGivesItsSegments) {
  std::vector<uint8_t> bytes = readFile(linkElf("elf64-x86-64", ""));
  std::fill(bytes.begin() + 40, bytes.begin() + 48, 0);  // e_shoff
  std::fill(bytes.begin() + 60, bytes.begin() + 64, 0);  // e_shnum, e_shstrndx
  expectRoundTrip(bytes, ImageFormat::Elf);

  // Cut the file inside the last segment's data.
  auto last =
      std::search(bytes.begin(), bytes.end(), pieces[2].bytes.begin(), pieces[2].bytes.end());
  ASSERT_NE(last, bytes.end());
  bytes.resize(last - bytes.begin() + pieces[2].bytes.size() - 1);
  FirmwareImage image;
  HexFileFault fault;
  EXPECT_FALSE(parseElf(bytes.data(), bytes.size(), &image, &fault));
  EXPECT_STREQ(fault.message, "ELF segment 2 lies past the end of the file");
}

TEST(ImageFormats, RecognisedByContentAlone) {
  auto format = [](const std::string& text) {
    return detectImageFormat(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };
  EXPECT_EQ(format("\r\n  :1000"), ImageFormat::IntelHex);
  EXPECT_EQ(format("S9"), ImageFormat::SRecord);
  EXPECT_EQ(format("\xEF\xBB\xBF:1000"), ImageFormat::IntelHex);
  EXPECT_EQ(format("\xEF\xBB\xBF\r\nS9"), ImageFormat::SRecord);
  EXPECT_EQ(format("\x7F"
                   "ELF"),
            ImageFormat::Elf);
  for (const char* other : {"00004000 12 34", "S", "SX", "",
                            "\x7F"
                            "EL",
                            " \x7F"
                            "ELF"}) {
    EXPECT_EQ(format(other), ImageFormat::HexToken) << other;
  }
}

TEST(ImageFormats, TextRecordsAreRefusedWithTheirLine) {
  const char* const NoEnd =
      "S-record file ends without an end record (S7, S8 or S9) or a count of its data records "
      "(S5 or S6)";
  struct Case {
    ImageFormat format;
    const char* text;
    int line;
    const char* message;
  } cases[] = {
      {ImageFormat::IntelHex, ":020000040800F2\n\n:01000000C33D\n:00000001FF", 3,
       "Intel HEX checksum mismatch (expected 3C, found 3D)"},
      {ImageFormat::IntelHex, ":0200000000\n", 1,
       "Intel HEX record length does not match (expected 2, found 0)"},
      {ImageFormat::IntelHex, ":01000000G1FF\n", 1,
       "Intel HEX record holds 'G', which is not a hexadecimal digit"},
      {ImageFormat::IntelHex, ":0100000004FB\r\n", 1, "Intel HEX file ends without an end record"},
      {ImageFormat::IntelHex, ":00000001FF\n:0100000004FB\n", 2,
       "Intel HEX record after the end record"},
      {ImageFormat::IntelHex, ":021000000102EB\n:01100000AA45\n:00000001FF", 2,
       "address 1000 lies below 1002, where the data before it ended"},
      // Within a 02 segment the offset wraps to the segment's start.
      {ImageFormat::IntelHex, ":020000021000EC\n:02FFFF000102FD\n:00000001FF", 2,
       "address 10000 lies below 20000, where the data before it ended"},
      {ImageFormat::SRecord, "S1050100AABB94\nS1040102CC2C\nS5030003F9\nS9030000FC", 3,
       "S-record count does not match (expected 2, found 3)"},
      {ImageFormat::SRecord, "S1050100AABB95\n", 1,
       "S-record checksum mismatch (expected 94, found 95)"},
      {ImageFormat::SRecord, "S1050100AABB94\n", 1, NoEnd},
      // A count proves the file whole only when nothing follows it.
      {ImageFormat::SRecord, "S1050100AABB94\nS5030001FB\nS1040102CC2C\n", 3, NoEnd},
      {ImageFormat::SRecord, "S4030000FC\n", 1, "unknown S-record type S4"},
      // A byte-order mark opens the first line only.
      {ImageFormat::SRecord, "\xEF\xBB\xBFS1050100AABB95\n", 1,
       "S-record checksum mismatch (expected 94, found 95)"},
      {ImageFormat::IntelHex, "\xEF\xBB\xBF:0100000004FB\n\xEF\xBB\xBF:00000001FF\n", 2,
       "Intel HEX record does not begin with ':'"},
  };
  for (const Case& c : cases) {
    FirmwareImage image;
    HexFileFault fault;
    EXPECT_FALSE(parseFirmwareImage(c.format, reinterpret_cast<const uint8_t*>(c.text),
                                    strlen(c.text), 0, &image, &fault))
        << c.text;
    EXPECT_EQ(fault.line, c.line) << c.text;
    EXPECT_STREQ(fault.message, c.message) << c.text;
  }
}

// A count record that matches, last in the file, stands in for the end record.
TEST(ImageFormats, AnSRecordFileEndingWithItsCountIsWhole) {
  for (const char* text :
       {"S1050100AABB94\nS1040102CC2C\nS5030002FA\n", "S1050100AABB94\nS1040102CC2C\nS604000002F9",
        "S5030000FC\nS1050100AABB94\nS1040102CC2C\nS5030002FA\n\n"}) {
    FirmwareImage image;
    HexFileFault fault;
    ASSERT_TRUE(parseSRecord(reinterpret_cast<const uint8_t*>(text), strlen(text), &image, &fault))
        << text << ": " << fault.line << ": " << fault.message;
    EXPECT_TRUE(piecesOf(image) == (std::vector<Piece>{{0x100, {0xAA, 0xBB, 0xCC}}})) << text;
    EXPECT_TRUE(image.notes.empty()) << text;
  }
}

TEST(ImageFormats, TokenTextPlacesEverySegmentAbsolutelyAndRefusesDataBelow0x100) {
  // Two adjacent records, a start address, and data up to the last address.
  const char* hexFile =
      ":0200000400F00A\n:02000000AABB99\n:02000200CCDD53\n:0400000508000131BD\n"
      ":02000004FFFFFC\n:01FFFF005AA7\n:00000001FF\n";
  FirmwareImage image;
  HexFileFault fault;
  ASSERT_TRUE(
      parseIntelHex(reinterpret_cast<const uint8_t*>(hexFile), strlen(hexFile), &image, &fault))
      << fault.message;
  EXPECT_EQ(image.notes, std::vector<std::string>{"Line 4: start address 08000131 ignored"});
  std::string text;
  ASSERT_TRUE(hexTokenTextFor(image, &text, &fault));
  EXPECT_EQ(text, "00F00000\nAA BB CC DD\nFFFFFFFF\n5A\n");
  EXPECT_TRUE(readBack(text) ==
              (std::vector<Piece>{{0xF00000, {0xAA, 0xBB, 0xCC, 0xDD}}, {0xFFFFFFFF, {0x5A}}}));

  std::vector<uint8_t> bytes(300, 0x5A);
  ASSERT_TRUE(parseBinary(bytes.data(), 300, 0x80, &image, &fault));
  EXPECT_FALSE(hexTokenTextFor(image, &text, &fault));
  EXPECT_STREQ(fault.message,
               "the data at address 80 lies below 100, the lowest address a hex token file can "
               "name");
  EXPECT_FALSE(parseBinary(bytes.data(), 300, 0xFFFFFF00, &image, &fault));
  EXPECT_STREQ(fault.message, "the data runs past address 0xFFFFFFFF");
}

TEST(ImageFormats, RunTextLeavesTheFirstAddressToTheCursorsAndHexTokenFilesAsTheyAre) {
  const std::string hexFile = ":02000000AABB99\n:02020000CCDD53\n:00000001FF\n";
  ImageSnapshot snapshot;
  snapshot.bytes.assign(hexFile.begin(), hexFile.end());
  HexFileFault fault;
  ASSERT_TRUE(prepareRunImage(&snapshot, ImageFormat::IntelHex, 0, nullptr, &fault))
      << fault.message;
  EXPECT_EQ(std::string(snapshot.bytes.begin(), snapshot.bytes.end()), "AA BB\n00000200\nCC DD\n");
  ASSERT_TRUE(snapshot.startAddress.has_value());
  EXPECT_EQ(*snapshot.startAddress, 0u);
  unsigned long blocks = 0;
  FirmwareImage image =
      programmedImage(snapshot, runStartCursors(snapshot, ReaderCursors{0x4002, 0x4002}), &blocks);
  ASSERT_EQ(image.segments.size(), 2u);
  EXPECT_EQ(image.segments[0].address, 0u);
  EXPECT_EQ(image.segments[1].bytes, (std::vector<uint8_t>{0xCC, 0xDD}));
  EXPECT_EQ(blocks, 2u);

  const std::string tokens = "11 22\n00004000 33\n";
  snapshot.bytes.assign(tokens.begin(), tokens.end());
  ASSERT_TRUE(prepareRunImage(&snapshot, ImageFormat::HexToken, 0, nullptr, &fault));
  EXPECT_EQ(std::string(snapshot.bytes.begin(), snapshot.bytes.end()), tokens);
  EXPECT_FALSE(snapshot.startAddress.has_value());
  const ReaderCursors current{0x3000, 0x3000};
  image = programmedImage(snapshot, runStartCursors(snapshot, current), &blocks);
  EXPECT_EQ(image.segments.front().address, 0x3000u) << "leading data where the reader stands";
}

// What the checks, the map and the digests take from a parsed image stands for
// its run text: the same refusal and the same blocks as the text read back
// from the cursors a run starts from.
TEST(ImageFormats, TheParsedImageTellsWhatItsRunTextWould) {
  std::mt19937 random(23);
  for (int round = 0; round < 300; ++round) {
    FirmwareImage image;
    HexFileFault fault;
    uint64_t address = random() % 3 == 0 ? random() % 0x200 : 0x1000 + random() % 0x10000;
    const int segments = static_cast<int>(random() % 4);
    for (int i = 0; i < segments; ++i) {
      // Sizes about a block's, so that blocks end at, before and after a
      // segment's end.
      std::vector<uint8_t> bytes(1 + random() % 600, static_cast<uint8_t>(i));
      if (random() % 4 == 0) bytes.resize(256 * (1 + random() % 2));
      ASSERT_TRUE(appendImageData(&image, address, bytes.data(), bytes.size(), i + 1, &fault));
      address += bytes.size() + 1 + random() % (random() % 2 ? 4 : 0x300);
    }
    SCOPED_TRACE(round);
    std::string text;
    uint32_t start = 0;
    const bool written = runTextFor(image, &text, &start, &fault);
    const HexFileFault textFault = fault;
    EXPECT_EQ(checkRunImage(image, &fault), written);
    if (!written) {
      EXPECT_EQ(fault.line, textFault.line);
      EXPECT_STREQ(fault.message, textFault.message);
      continue;
    }
    ImageSnapshot snapshot;
    ASSERT_TRUE(setRunText(image, &snapshot, &fault));
    EXPECT_EQ(std::string(snapshot.bytes.begin(), snapshot.bytes.end()), text);
    if (image.segments.empty()) {
      EXPECT_FALSE(snapshot.startAddress.has_value());
      continue;
    }
    ASSERT_TRUE(snapshot.startAddress.has_value());
    const ReaderCursors from = runStartCursors(snapshot, ReaderCursors{0, 0});
    EXPECT_EQ(checkHexTokenFile(snapshot, from, &fault), 1) << fault.message;
    unsigned long blocks = 0;
    EXPECT_TRUE(piecesOf(programmedImage(snapshot, from, &blocks)) == piecesOf(image));
    EXPECT_EQ(runBlockCount(image), blocks);
  }
}

}  // namespace
