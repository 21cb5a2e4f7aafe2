#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "image/hex_token_reader.h"
#include "tests/native/pty_peer.h"
#include "link/trace.h"

namespace {

struct Block {
  uint32_t base;
  std::vector<uint8_t> bytes;
  int endOfFile;
};

ImageSnapshot imageOf(const std::string& text) {
  ImageSnapshot image;
  image.bytes.assign(text.begin(), text.end());
  return image;
}

// Reads a whole file as a programming run does, checking every record's
// layout on the way.
std::vector<Block> readAll(const std::string& text, int* tokenSeen = nullptr) {
  ImageSnapshot image = imageOf(text);
  ImageSource source = imageSource(image);
  std::vector<Block> blocks;
  int seen = 0;
  for (int guard = 0; guard < 10000; ++guard) {
    BlockRecord record;
    memset(&record, 0xEE, sizeof record);
    int end = readNextBlock(&record, &seen, &source);
    EXPECT_LE(record.byteCount, 256u);
    for (uint32_t i = record.byteCount; i < 256; ++i) EXPECT_EQ(record.data[i], 0);
    EXPECT_EQ(record.checkValue, blockCheckValue(record));
    blocks.push_back({record.baseAddress,
                      std::vector<uint8_t>(record.data, record.data + record.byteCount), end});
    if (end) break;
  }
  if (tokenSeen) *tokenSeen = seen;
  return blocks;
}

std::string run(uint32_t address, int count, int first = 0) {
  char text[16];
  snprintf(text, sizeof text, "%08X\n", address);
  std::string out = text;
  for (int i = 0; i < count; ++i) {
    snprintf(text, sizeof text, "%02X ", (first + i) & 0xFF);
    out += text;
  }
  return out + "\n";
}

class Reader : public ::testing::Test {
 protected:
  void SetUp() override { setReaderCursors(ReaderCursors{0, 0}); }
};

// Each file read whole: the records it gives, as base, byte count, first
// byte and end-of-file flag. Only data sets the token flag.
TEST_F(Reader, RecordsSplitAtGapsAndFullBlocks) {
  struct Case {
    std::string text;
    std::vector<std::vector<uint32_t>> records;
  } const cases[] = {
      {"", {{0, 0, 0, 1}}},  // an empty file gives one empty record
      {"  \r\n\t\n", {{0, 0, 0, 1}}},
      // 0x100 after one byte at 0x1000 lies below the expected address: ignored.
      {"00001000 FF 0x00000100 0XaB 0000000F", {{0x1000, 3, 0xFF, 1}}},
      {run(0x2000, 300), {{0x2000, 256, 0, 0}, {0x2100, 44, 0, 1}}},
      {"00003000 01 02 00003002 03", {{0x3000, 3, 1, 1}}},  // contiguous: one record
      {"00003000 01 02 00004000 03", {{0x3000, 2, 1, 0}, {0x4000, 1, 3, 1}}},
      // A fixed step back of eight bytes would land inside "BB" and read it again.
      {"1000 AA BB 2000 CC", {{0x1000, 2, 0xAA, 0}, {0x2000, 1, 0xCC, 1}}},
      {run(0x4000, 256), {{0x4000, 256, 0, 0}, {0x4100, 0, 0, 1}}},
      {run(0x4000, 256) + run(0x8000, 2), {{0x4000, 256, 0, 0}, {0x8000, 2, 0, 1}}},
      {"00001000 01 ZZ 02 03", {{0x1000, 1, 1, 1}}},  // a non-hex token ends the file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    setReaderCursors(ReaderCursors{0, 0});
    auto blocks = readAll(c.text);
    ASSERT_EQ(blocks.size(), c.records.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_EQ(blocks[i].base, c.records[i][0]);
      EXPECT_EQ(blocks[i].bytes.size(), c.records[i][1]);
      if (!blocks[i].bytes.empty()) {
        EXPECT_EQ(blocks[i].bytes[0], c.records[i][2]);
      }
      EXPECT_EQ(blocks[i].endOfFile, int(c.records[i][3]));
    }
  }
  int seen = 0;
  readAll(" \n", &seen);
  EXPECT_EQ(seen, 0);
  readAll(run(0x4000, 256), &seen);
  EXPECT_EQ(seen, 1);
}

TEST_F(Reader, LeadingDataContinuesFromTheCursorOfThePreviousRun) {
  auto first = readAll("11 22 33");
  EXPECT_EQ(first[0].base, 0u);
  EXPECT_EQ(first[0].bytes.size(), 3u);
  auto second = readAll("44");
  EXPECT_EQ(second[0].base, readerCursors().runAddress);
  EXPECT_EQ(second[0].base, 0u) << "runAddress still holds the start of the last run";
  readAll(run(0x5000, 256));
  auto third = readAll("55");
  EXPECT_EQ(third[0].base, 0x5100u);
}

TEST_F(Reader, TraceLineNamesBaseAndCount) {
  static std::string traced;
  traced.clear();
  setTraceSink([](const char* text) { traced += text; });
  readAll("0000ABC0 01 02");
  setTraceSink(nullptr);
  EXPECT_EQ(traced, "\nbase:abc0 nbytes:2 ");
}

// The file check.

struct Checked {
  int ok;
  int line;
  std::string message;
};

Checked check(const std::string& text) {
  HexFileFault fault;
  const ReaderCursors before = readerCursors();
  int ok = checkHexTokenFile(imageOf(text), before, &fault);
  EXPECT_EQ(readerCursors().runAddress, before.runAddress);
  EXPECT_EQ(readerCursors().byteAddress, before.byteAddress);
  return {ok, fault.line, fault.message};
}

TEST_F(Reader, CheckAcceptsEveryFileInTheFormat) {
  for (std::string text :
       {std::string("00001000 01 02\r\n00001002 03\r\n00002000 04"),
        std::string("0x00000100 0XFF 00"), std::string("11 22"),
        std::string("   1000 aa\n\t2000 bb"), std::string("FFFFFFFF 01"),
        run(0x4000, 300) + run(0x9000, 3), "1000 " + std::string(63, '0') + "1"}) {
    Checked result = check(text);
    EXPECT_EQ(result.ok, 1) << text << ": " << result.message;
  }
}

// Leading data continues from the cursors: an address below where it ends
// would be ignored by the reader, and a run past a full block would come
// apart, so either file is refused.
TEST_F(Reader, CheckFollowsTheCursorsThatAnEarlierFileLeft) {
  setReaderCursors(ReaderCursors{0x5000, 0x5000});
  Checked below = check("11 22\n1000 33");
  EXPECT_EQ(below.ok, 0);
  EXPECT_EQ(below.line, 2);
  EXPECT_EQ(check("11 22\n6000 33").ok, 1);
  EXPECT_EQ(check("1000 33").ok, 1) << "a file that starts with an address starts afresh";
  // After this file the next record starts at 0x4000, the next byte at 0x4002.
  readAll("00004000 01 02");
  ASSERT_EQ(readerCursors().runAddress, 0x4000u);
  ASSERT_EQ(readerCursors().byteAddress, 0x4002u);
  std::string data;
  for (int i = 0; i < 300; ++i) data += "5A ";
  // Past a full block the reader would go on at 0x4102, two bytes off.
  Checked apart = check(data);
  EXPECT_EQ(apart.ok, 0);
  EXPECT_NE(apart.message.find("4102 instead of 4100"), std::string::npos) << apart.message;
  // A shorter run stays in one record, at 0x4000, where the reader puts it.
  EXPECT_EQ(check("11 22 33\n4003 44").ok, 1);
  auto blocks = readAll("11 22 33\n4003 44");
  EXPECT_EQ(blocks[0].base, 0x4000u);
  EXPECT_EQ(blocks[0].bytes, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));
}

TEST_F(Reader, CheckRefusesWhatLiesOutsideTheFormatWithTheLine) {
  const std::string tooLong = "1000 01\n" + std::string(64, '0') + "1";
  struct Case {
    const char* text;
    int line;
    const char* words;
  } cases[] = {
      {"", 0, "The selected HEX file holds no data."},
      {"\n \t\r\n", 0, "The selected HEX file holds no data."},
      {tooLong.c_str(), 2, "longer than 64"},
      {"1000 01\n02 G3", 2, "not a hexadecimal number"},
      {"1000 01,02", 1, "separated"},
      {"1000 01\n\n123456789 02", 3, "32 bits"},
      {"1000 01\n-1", 2, "not a hexadecimal number"},
      {"1000 0x", 1, "not a hexadecimal number"},
      {"1000\n2000 01", 1, "has no data"},
      {"1000 01 02\n2000", 2, "end of the file"},
      {"2000 01 02\n1000 03", 2, "lies below"},
      {"2000 01 02\n2001 03", 2, "lies below"},
      {"FFFFFFFF 01 02", 1, "past address 0xFFFFFFFF"},
  };
  for (const Case& c : cases) {
    Checked result = check(c.text);
    EXPECT_EQ(result.ok, 0) << c.text;
    EXPECT_EQ(result.line, c.line) << c.text;
    EXPECT_NE(result.message.find(c.words), std::string::npos) << c.text << ": " << result.message;
  }
}

}  // namespace

namespace {

TEST(Image, Sha256MatchesTheStandardVectors) {
  auto hash = [](const std::string& text) {
    return sha256Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };
  EXPECT_EQ(hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hash("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hash(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // The same bytes added in pieces that end inside, at and across block
  // boundaries.
  std::string text;
  for (int i = 0; i < 1000; ++i) text.push_back(static_cast<char>(i * 7));
  for (size_t piece : {1, 3, 55, 63, 64, 65, 130}) {
    Sha256 digest;
    sha256Start(&digest);
    for (size_t at = 0; at < text.size(); at += piece) {
      const size_t count = std::min(piece, text.size() - at);
      sha256Add(&digest, reinterpret_cast<const uint8_t*>(text.data()) + at, count);
      sha256Add(&digest, nullptr, 0);
    }
    EXPECT_EQ(sha256Finish(&digest), hash(text)) << piece;
  }
}

TEST(Image, LoaderRefusesFoldersAndFilesOver256MiB) {
  std::string dir = makeScratchDir();
  ImageSnapshot image;
  ImageLoadFault fault;
  EXPECT_FALSE(loadImageFile(dir.c_str(), &image, &fault));
  EXPECT_EQ(fault.status, ImageLoadStatus::NotAFile);

  // A sparse file: refused by its size, before a byte of it is read.
  std::string big = dir + "/big.hex";
  FILE* file = fopen(big.c_str(), "wb");
  ASSERT_EQ(ftruncate(fileno(file), (off_t{256} << 20) + 1), 0);
  fclose(file);
  EXPECT_FALSE(loadImageFile(big.c_str(), &image, &fault));
  EXPECT_EQ(fault.status, ImageLoadStatus::TooLarge);
  EXPECT_TRUE(image.bytes.empty());
  removeScratchDir(dir);
}

}  // namespace
