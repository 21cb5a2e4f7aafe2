#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/hex_token_reader.h"
#include "link/trace.h"

namespace {

struct Block {
  uint32_t base;
  std::vector<uint8_t> bytes;
  int endOfFile;
};

FILE* fileOf(const std::string& text) {
  FILE* file = tmpfile();
  fwrite(text.data(), 1, text.size(), file);
  rewind(file);
  return file;
}

// Reads a whole file as a programming run does, checking every record's
// layout on the way.
std::vector<Block> readAll(const std::string& text, int* tokenSeen = nullptr) {
  FILE* file = fileOf(text);
  std::vector<Block> blocks;
  int seen = 0;
  for (int guard = 0; guard < 10000; ++guard) {
    BlockRecord record;
    memset(&record, 0xEE, sizeof record);
    int end = readNextBlock(&record, &seen, file);
    EXPECT_LE(record.byteCount, 256u);
    for (uint32_t i = record.byteCount; i < 256; ++i) EXPECT_EQ(record.data[i], 0);
    EXPECT_EQ(record.checkValue, blockCheckValue(record));
    blocks.push_back({record.baseAddress,
                      std::vector<uint8_t>(record.data, record.data + record.byteCount), end});
    if (end) break;
  }
  fclose(file);
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
  void SetUp() override { runAddress = byteAddress = 0; }
};

TEST_F(Reader, EmptyFileGivesOneEmptyRecordAndLeavesTheFlag) {
  int seen = 0;
  for (const char* text : {"", "  \r\n\t\n"}) {
    auto blocks = readAll(text, &seen);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].endOfFile, 1);
    EXPECT_TRUE(blocks[0].bytes.empty());
    EXPECT_EQ(seen, 0);
  }
}

TEST_F(Reader, DataAndAddressTokensSplitAt0x100) {
  auto blocks = readAll("00001000 FF 0x00000100 0XaB 0000000F");
  // 0x100 after one byte at 0x1000 lies below the expected address: ignored.
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].base, 0x1000u);
  EXPECT_EQ(blocks[0].bytes, (std::vector<uint8_t>{0xFF, 0xAB, 0x0F}));
}

TEST_F(Reader, LongRunContinuesInTheNextRecord) {
  auto blocks = readAll(run(0x2000, 300));
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].base, 0x2000u);
  EXPECT_EQ(blocks[0].bytes.size(), 256u);
  EXPECT_EQ(blocks[0].endOfFile, 0);
  EXPECT_EQ(blocks[1].base, 0x2100u);
  EXPECT_EQ(blocks[1].bytes.size(), 44u);
  EXPECT_EQ(blocks[1].bytes[0], 0x00);
  EXPECT_EQ(blocks[1].endOfFile, 1);
}

TEST_F(Reader, ContiguousAddressContinuesTheRecord) {
  auto blocks = readAll("00003000 01 02 00003002 03");
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].base, 0x3000u);
  EXPECT_EQ(blocks[0].bytes, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(Reader, GapEndsTheRecordAndTheAddressIsReadAgain) {
  FILE* file = fileOf("00003000 01 02 00004000 03");
  BlockRecord record;
  int seen = 0;
  EXPECT_EQ(readNextBlock(&record, &seen, file), 0);
  EXPECT_EQ(record.baseAddress, 0x3000u);
  EXPECT_EQ(record.byteCount, 2u);
  EXPECT_EQ(ftell(file), 15) << "the position stands at the gap address's first digit";
  EXPECT_EQ(readNextBlock(&record, &seen, file), 1);
  EXPECT_EQ(record.baseAddress, 0x4000u);
  EXPECT_EQ(record.byteCount, 1u);
  EXPECT_EQ(record.data[0], 3);
  fclose(file);
}

TEST_F(Reader, ShortGapAddressWithSingleSpacesIsNotReadTwice) {
  // A fixed step back of eight bytes would land inside "BB" and read it again.
  auto blocks = readAll("1000 AA BB 2000 CC");
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].base, 0x1000u);
  EXPECT_EQ(blocks[0].bytes, (std::vector<uint8_t>{0xAA, 0xBB}));
  EXPECT_EQ(blocks[1].base, 0x2000u);
  EXPECT_EQ(blocks[1].bytes, (std::vector<uint8_t>{0xCC}));
}

TEST_F(Reader, DataEndingOnAFullRecordGivesAnEmptyLastRecord) {
  int seen = 0;
  auto blocks = readAll(run(0x4000, 256), &seen);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].endOfFile, 0);
  EXPECT_EQ(blocks[1].base, 0x4100u);
  EXPECT_TRUE(blocks[1].bytes.empty());
  EXPECT_EQ(seen, 1);
}

TEST_F(Reader, FullRecordBeforeAGapTakesTheAddressWithoutSteppingBack) {
  auto blocks = readAll(run(0x4000, 256) + run(0x8000, 2));
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[1].base, 0x8000u);
  EXPECT_EQ(blocks[1].bytes.size(), 2u);
}

TEST_F(Reader, LeadingDataContinuesFromTheCursorOfThePreviousRun) {
  auto first = readAll("11 22 33");
  EXPECT_EQ(first[0].base, 0u);
  EXPECT_EQ(first[0].bytes.size(), 3u);
  auto second = readAll("44");
  EXPECT_EQ(second[0].base, runAddress);
  EXPECT_EQ(second[0].base, 0u) << "runAddress still holds the start of the last run";
  readAll(run(0x5000, 256));
  auto third = readAll("55");
  EXPECT_EQ(third[0].base, 0x5100u);
}

TEST_F(Reader, NonHexTokenEndsReadingInsteadOfLooping) {
  auto blocks = readAll("00001000 01 ZZ 02 03");
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].endOfFile, 1);
  EXPECT_EQ(blocks[0].bytes, (std::vector<uint8_t>{1}));
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
  FILE* file = fileOf(text);
  HexFileFault fault;
  uint32_t run = runAddress, next = byteAddress;
  int ok = checkHexTokenFile(file, &fault);
  EXPECT_EQ(ftell(file), 0) << "the check leaves the file at its start";
  EXPECT_EQ(runAddress, run);
  EXPECT_EQ(byteAddress, next);
  fclose(file);
  return {ok, fault.line, fault.message};
}

TEST_F(Reader, CheckAcceptsEveryFileInTheFormat) {
  for (const char* text : {"", "\n\n", "00001000 01 02\r\n00001002 03\r\n00002000 04",
                           "0x00000100 0XFF 00", "11 22", "   1000 aa\n\t2000 bb", "FFFFFFFF 01"}) {
    Checked result = check(text);
    EXPECT_EQ(result.ok, 1) << text << ": " << result.message;
  }
  EXPECT_EQ(check(run(0x4000, 300) + run(0x9000, 3)).ok, 1);
}

TEST_F(Reader, CheckPlacesLeadingDataWhereTheReaderWill) {
  // Leading data continues from the cursor; an address below where it ends
  // would be ignored by the reader, so the file is refused.
  runAddress = byteAddress = 0x5000;
  Checked result = check("11 22\n1000 33");
  EXPECT_EQ(result.ok, 0);
  EXPECT_EQ(result.line, 2);
  EXPECT_EQ(check("11 22\n6000 33").ok, 1);
  EXPECT_EQ(check("1000 33").ok, 1) << "a file that starts with an address starts afresh";
}

TEST_F(Reader, CheckRefusesWhatLiesOutsideTheFormatWithTheLine) {
  struct Case {
    const char* text;
    int line;
    const char* words;
  } cases[] = {
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
