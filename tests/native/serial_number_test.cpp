// Serial numbers written into an image, their formats, and the serial file
// shared by stations: no number twice, the lock file kept.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "station/serial_file.h"
#include "station/serial_number.h"
#include "image/image_patch.h"
#include "tests/native/cli_runner.h"
#include "tests/native/pty_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The image as address -> byte, for comparing what a run programs.
std::vector<std::pair<uint32_t, uint8_t>> flat(const FirmwareImage& image) {
  std::vector<std::pair<uint32_t, uint8_t>> all;
  for (const ImageSegment& s : image.segments) {
    for (size_t i = 0; i < s.bytes.size(); ++i)
      all.push_back({uint32_t(s.address + i), s.bytes[i]});
  }
  return all;
}

// An image of two segments, 0x1000..0x11FF and 0x2000..0x200F, from a hex token file.
ImageSnapshot twoSegments() {
  std::string text = "1000\n";
  for (int i = 0; i < 0x200; ++i) text += std::to_string(10 + i % 80) + " ";
  text += "\n2000\n";
  for (int i = 0; i < 0x10; ++i) text += "AA ";
  ImageSnapshot snapshot;
  snapshot.bytes.assign(text.begin(), text.end());
  return snapshot;
}

TEST(ImagePatch, WhatTheReaderReadsBackHasTheBytesAndNothingElseChanged) {
  const ImageSnapshot in = twoSegments();
  const ReaderCursors from{0, 0};
  unsigned long blocks = 0;
  const FirmwareImage original = programmedImage(in, from, &blocks);
  ASSERT_EQ(original.segments.size(), 2u);
  const Bytes serial = {0x11, 0x22, 0x33, 0x44};
  // Inside a segment, in a gap, just after a segment's end, across a
  // segment's start, below the first segment (also below 0x100).
  for (uint32_t at : {0x1010u, 0x1800u, 0x1200u, 0x1FFEu, 0x800u, 0x10u, 0x2010u}) {
    SCOPED_TRACE(at);
    ImageSnapshot out;
    std::string digest;
    HexFileFault fault;
    ASSERT_TRUE(withBytesAt(original, at, serial.data(), 4, &out, &digest, &fault))
        << fault.message;
    // The new snapshot places itself, whatever the cursors.
    const FirmwareImage back =
        programmedImage(out, runStartCursors(out, {0x5000, 0x5003}), &blocks);
    auto expected = flat(original);
    expected.erase(std::remove_if(expected.begin(), expected.end(),
                                  [&](auto& p) { return p.first >= at && p.first < at + 4; }),
                   expected.end());
    for (uint32_t i = 0; i < 4; ++i) expected.push_back({at + i, serial[i]});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(flat(back), expected);
    for (size_t i = 1; i < back.segments.size(); ++i) {
      const ImageSegment& before = back.segments[i - 1];
      EXPECT_GT(back.segments[i].address, before.address + before.bytes.size());
    }
    EXPECT_EQ(digest, imageDataSha256(back));
  }
  const size_t expectedSegments[] = {2, 3, 2};
  const uint32_t places[] = {0x1010, 0x1800, 0x1200};
  for (int i = 0; i < 3; ++i) {
    FirmwareImage image = original;
    HexFileFault fault;
    ASSERT_TRUE(writeImageBytes(&image, places[i], serial.data(), 4, &fault));
    EXPECT_EQ(image.segments.size(), expectedSegments[i]);
  }
}

TEST(ImagePatch, BytesPastTheAddressSpaceAreRefusedAndTheImageKept) {
  FirmwareImage image;
  image.segments.push_back({0xFFFFFF00, Bytes(0xF0, 1), 0});
  const Bytes serial(8, 0x55);
  HexFileFault fault;
  EXPECT_FALSE(writeImageBytes(&image, 0xFFFFFFFC, serial.data(), 8, &fault));
  EXPECT_STREQ(fault.message, "the 8 bytes at address FFFFFFFC run past address 0xFFFFFFFF");
  EXPECT_EQ(image.segments.size(), 1u);
  EXPECT_TRUE(writeImageBytes(&image, 0xFFFFFFFC, serial.data(), 4, &fault));
  ASSERT_EQ(image.segments.size(), 2u);
  // The digest covers the data only, in address order.
  FirmwareImage same;
  same.segments.push_back({0x100, Bytes(0xF0, 1), 0});
  same.segments.back().bytes.insert(same.segments.back().bytes.end(), 4, 0x55);
  EXPECT_EQ(imageDataSha256(image), imageDataSha256(same));
  EXPECT_EQ(imageDataSha256(FirmwareImage()),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(SerialNumber, FormatsEncodeTheNumberOrSayWhyItDoesNotFit) {
  struct Case {
    const char* format;
    uint64_t number;
    Bytes bytes;
  } cases[] = {
      {"u32le", 0x01020304, {4, 3, 2, 1}},
      {"u32be", 0x01020304, {1, 2, 3, 4}},
      {"u64le", 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}},
      {"u64be", 0xFFFFFFFFFFFFFFFF, Bytes(8, 0xFF)},
      {"ascii:6", 1234, {'0', '0', '1', '2', '3', '4'}},
      {"ascii:20", 18446744073709551615ull,
       Bytes({'1', '8', '4', '4', '6', '7', '4', '4', '0', '7',
              '3', '7', '0', '9', '5', '5', '1', '6', '1', '5'})},
  };
  for (const Case& c : cases) {
    SerialFormat format;
    std::string error;
    ASSERT_TRUE(parseSerialFormat(c.format, &format, &error)) << c.format;
    EXPECT_EQ(serialFormatName(format), c.format);
    EXPECT_EQ(format.width, c.bytes.size());
    Bytes bytes;
    ASSERT_TRUE(encodeSerial(c.number, format, &bytes, &error)) << error;
    EXPECT_EQ(bytes, c.bytes) << c.format;
  }
  for (const char* bad : {"", "u16le", "ascii:", "ascii:0", "ascii:21", "ascii:4x", "U32LE"}) {
    SerialFormat format;
    std::string error;
    EXPECT_FALSE(parseSerialFormat(bad, &format, &error)) << bad;
  }
  SerialFormat format;
  std::string error;
  Bytes bytes;
  ASSERT_TRUE(parseSerialFormat("u32be", &format, &error));
  EXPECT_TRUE(encodeSerial(4294967295u, format, &bytes, &error));
  EXPECT_FALSE(encodeSerial(4294967296u, format, &bytes, &error));
  EXPECT_EQ(error, "serial number 4294967296 does not fit u32be (at most 4294967295)");
  ASSERT_TRUE(parseSerialFormat("ascii:3", &format, &error));
  EXPECT_FALSE(encodeSerial(1000, format, &bytes, &error));
  EXPECT_EQ(error, "serial number 1000 does not fit ascii:3 (at most 999)");
}

TEST(SerialNumber, TextIsDecimalDigitsWithinSixtyFourBits) {
  uint64_t number = 0;
  std::string error;
  EXPECT_TRUE(parseSerialNumber(" 1000\n", &number, &error));
  EXPECT_EQ(number, 1000u);
  EXPECT_TRUE(parseSerialNumber("18446744073709551615", &number, &error));
  EXPECT_EQ(number, UINT64_MAX);
  for (const char* bad : {"", " \n", "12a", "-1", "+1", "0x10", "1 2", "18446744073709551616"}) {
    EXPECT_FALSE(parseSerialNumber(bad, &number, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(SerialNumber, ThePlaceMustLieInTheAddressSpaceAndTheApplicationsFlash) {
  SerialFormat u64;
  std::string error;
  ASSERT_TRUE(parseSerialFormat("u64le", &u64, &error));
  EXPECT_TRUE(serialPlaceFits(0xFFFFFFF8, u64, nullptr, &error));
  EXPECT_FALSE(serialPlaceFits(0xFFFFFFFC, u64, nullptr, &error));
  EXPECT_NE(error.find("0xFFFFFFFC"), std::string::npos) << error;
  FlashMap map;
  ASSERT_TRUE(parseMapRange("0x0:0x8000", &map.flash, &error));
  ASSERT_TRUE(parseMapRange("0x0:0x1000", &map.boot, &error));
  EXPECT_TRUE(serialPlaceFits(0x7FF8, u64, &map, &error));
  EXPECT_FALSE(serialPlaceFits(0x7FFC, u64, &map, &error));
  EXPECT_NE(error.find("0x00007FFC"), std::string::npos) << error;
  EXPECT_NE(error.find("outside the flash"), std::string::npos) << error;
  EXPECT_FALSE(serialPlaceFits(0xFFC, u64, &map, &error));
  EXPECT_NE(error.find("boot region"), std::string::npos) << error;
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

ino_t inodeOf(const std::string& path) {
  struct stat about;
  return stat(path.c_str(), &about) == 0 ? about.st_ino : 0;
}

TEST(SerialFile, TwoStationsNeverTakeTheSameNumber) {
  const std::string dir = makeScratchDir(), path = dir + "/serial.txt";
  writeText(path, "1000\n");
  uint64_t first = 0;
  std::string error;
  ASSERT_TRUE(takeSerialNumber(path, 1000, &first, &error)) << error;
  EXPECT_EQ(first, 1000u);
  const ino_t lock = inodeOf(path + ".lock");
  ASSERT_NE(lock, 0u);
  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  pid_t children[2];
  for (pid_t& child : children) {
    child = fork();
    if (child == 0) {
      for (int i = 0; i < 20; ++i) {
        uint64_t number = 0;
        std::string why;
        // Generous: every number is synced to disk, twice, on a machine that may be busy.
        if (!takeSerialNumber(path, 60000, &number, &why)) _exit(1);
        if (write(pipes[1], &number, sizeof number) != sizeof number) _exit(2);
      }
      _exit(0);
    }
  }
  close(pipes[1]);
  std::vector<uint64_t> taken;
  uint64_t number = 0;
  while (read(pipes[0], &number, sizeof number) == sizeof number) taken.push_back(number);
  close(pipes[0]);
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<uint64_t> distinct(taken.begin(), taken.end());
  ASSERT_EQ(taken.size(), 40u);
  EXPECT_EQ(distinct.size(), 40u);
  EXPECT_EQ(*distinct.begin(), 1001u);
  EXPECT_EQ(*distinct.rbegin(), 1040u);
  EXPECT_EQ(readText(path), "1041\n");
  EXPECT_EQ(inodeOf(path + ".lock"), lock);
  removeScratchDir(dir);
}

TEST(SerialFile, AFileWithoutANumberOrAHeldLockIsRefusedAndLeftAsItIs) {
  const std::string dir = makeScratchDir(), path = dir + "/serial.txt";
  uint64_t number = 0;
  std::string error;
  EXPECT_FALSE(takeSerialNumber(path, 1000, &number, &error));
  EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
  writeText(path, "abc\n");
  EXPECT_FALSE(takeSerialNumber(path, 1000, &number, &error));
  EXPECT_NE(error.find("does not hold a serial number"), std::string::npos) << error;
  EXPECT_EQ(readText(path), "abc\n");
  writeText(path, "18446744073709551615");
  EXPECT_FALSE(takeSerialNumber(path, 1000, &number, &error));
  writeText(path, "7");
  EXPECT_TRUE(peekSerialNumber(path, 1000, &number, &error));
  EXPECT_EQ(number, 7u);
  EXPECT_EQ(readText(path), "7");
  // A holder that never lets go: the wait ends, with a message.
  const int held = open((path + ".lock").c_str(), O_RDWR);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(takeSerialNumber(path, 300, &number, &error));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_NE(error.find("another station has held the lock"), std::string::npos) << error;
  EXPECT_EQ(readText(path), "7");
  close(held);
  EXPECT_TRUE(takeSerialNumber(path, 300, &number, &error));
  EXPECT_EQ(readText(path), "8\n");
  removeScratchDir(dir);
}

}  // namespace
