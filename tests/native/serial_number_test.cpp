// Serial numbers written into an image, their formats, and the serial file
// shared by stations: no number twice, the lock file kept.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "station/board_image.h"
#include "station/output_file.h"
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
    PatchedImage patched;
    HexFileFault fault;
    ASSERT_TRUE(withBytesAt(original, at, serial, &patched, &fault)) << fault.message;
    // The new snapshot places itself, whatever the cursors.
    const FirmwareImage back =
        programmedImage(patched.run, runStartCursors(patched.run, {0x5000, 0x5003}), &blocks);
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
    EXPECT_EQ(patched.dataSha256, imageDataSha256(back));
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

TEST(SerialNumber, EachFormatHoldsNumbersUpToItsLast) {
  const struct {
    const char* format;
    uint64_t last;
  } cases[] = {{"u32le", 4294967295u},
               {"u32be", 4294967295u},
               {"u64le", UINT64_MAX},
               {"u64be", UINT64_MAX},
               {"ascii:1", 9},
               {"ascii:3", 999},
               {"ascii:19", 9999999999999999999ull},
               {"ascii:20", UINT64_MAX}};
  for (const auto& c : cases) {
    SerialFormat format;
    std::string error;
    ASSERT_TRUE(parseSerialFormat(c.format, &format, &error));
    EXPECT_EQ(serialFormatLast(format), c.last) << c.format;
    Bytes bytes;
    EXPECT_TRUE(encodeSerial(c.last, format, &bytes, &error)) << c.format;
    if (c.last < UINT64_MAX) {
      EXPECT_FALSE(encodeSerial(c.last + 1, format, &bytes, &error)) << c.format;
    }
  }
}

// A serial file's text is quoted in the message with every byte shown: a NUL
// no longer cuts the message, a newline no longer breaks it.
TEST(SerialNumber, TextThatIsNoNumberIsQuotedWithItsControlBytesEscaped) {
  uint64_t number = 0;
  std::string error;
  EXPECT_FALSE(parseSerialNumber(std::string("12\0"
                                             "34\n",
                                             5),
                                 &number, &error));
  EXPECT_EQ(error.find('\0'), std::string::npos);
  EXPECT_NE(error.find("\"12\\x0034\" is not a serial number"), std::string::npos) << error;
  EXPECT_FALSE(parseSerialNumber("12\n34\n", &number, &error));
  EXPECT_NE(error.find("\"12\\n34\" is not a serial number"), std::string::npos) << error;
  EXPECT_FALSE(parseSerialNumber("\t7\x1b[2J\"\\\xff", &number, &error));
  EXPECT_NE(error.find("\"7\\x1B[2J\\\"\\\\\\xFF\""), std::string::npos) << error;
  EXPECT_EQ(escapedText(std::string("a\0b\r", 4)), "a\\x00b\\r");
}

TEST(SerialNumber, ThePlaceMustLieInTheAddressSpaceAndTheApplicationsFlash) {
  SerialFormat u64;
  std::string error;
  ASSERT_TRUE(parseSerialFormat("u64le", &u64, &error));
  EXPECT_TRUE(serialPlaceFits(0xFFFFFFF8, u64, nullptr, false, &error));
  EXPECT_FALSE(serialPlaceFits(0xFFFFFFFC, u64, nullptr, false, &error));
  EXPECT_NE(error.find("0xFFFFFFFC"), std::string::npos) << error;
  FlashMap map;
  ASSERT_TRUE(parseMapRange("0x0:0x8000", &map.flash, &error));
  ASSERT_TRUE(parseMapRange("0x0:0x1000", &map.boot, &error));
  EXPECT_TRUE(serialPlaceFits(0x7FF8, u64, &map, false, &error));
  EXPECT_FALSE(serialPlaceFits(0x7FFC, u64, &map, false, &error));
  EXPECT_NE(error.find("0x00007FFC"), std::string::npos) << error;
  EXPECT_NE(error.find("outside the flash"), std::string::npos) << error;
  EXPECT_FALSE(serialPlaceFits(0xFFC, u64, &map, false, &error));
  EXPECT_NE(error.find("boot region"), std::string::npos) << error;
  // A bootloader's number goes where the bootloader goes: in the boot region.
  EXPECT_TRUE(serialPlaceFits(0xFF8, u64, &map, true, &error)) << error;
  EXPECT_FALSE(serialPlaceFits(0x7FF8, u64, &map, true, &error));
  EXPECT_NE(error.find("outside the boot region"), std::string::npos) << error;
}

TEST(SerialNumber, AddressesAreHexadecimalAfter0xOrDecimalNeverOctal) {
  uint64_t value = 0;
  std::string why;
  const struct {
    const char* text;
    uint64_t value;
  } good[] = {{"0", 0},       {"0x100", 0x100}, {"0X7ff0", 0x7FF0},
              {"4096", 4096}, {"0x0", 0},       {"18446744073709551615", UINT64_MAX}};
  for (const auto& g : good) {
    EXPECT_TRUE(parseAddressNumber(g.text, &value, &why)) << g.text << ": " << why;
    EXPECT_EQ(value, g.value) << g.text;
  }
  for (const char* bad : {"0100", "00", "010000", "", "0x", "-1", "+1", " 1", "1 ", "0x1g", "1e3",
                          "18446744073709551616", "0x10000000000000000"}) {
    EXPECT_FALSE(parseAddressNumber(bad, &value, &why)) << bad;
  }
  EXPECT_FALSE(parseAddressNumber("0100", &value, &why));
  EXPECT_NE(why.find("leading 0"), std::string::npos) << why;
  MapRange range;
  EXPECT_FALSE(parseMapRange("0100:0x100", &range, &why));
  EXPECT_NE(why.find("leading 0"), std::string::npos) << why;
  ASSERT_TRUE(parseMapRange("0:256", &range, &why)) << why;
  EXPECT_EQ(range.end, 256u);
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

ino_t inodeOf(const std::string& path) {
  struct stat about;
  return stat(path.c_str(), &about) == 0 ? about.st_ino : 0;
}

// A take with no format limit: whether a number was taken.
bool take(const std::string& path, int waitMilliseconds, uint64_t* number, std::string* error,
          uint64_t last = UINT64_MAX) {
  return takeSerialNumber(path, waitMilliseconds, last, number, error) == SerialTake::Taken;
}

TEST(SerialFile, TwoStationsNeverTakeTheSameNumber) {
  const std::string dir = makeScratchDir(), path = dir + "/serial.txt";
  writeText(path, "1000\n");
  uint64_t first = 0;
  std::string error;
  ASSERT_TRUE(take(path, 1000, &first, &error)) << error;
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
        if (!take(path, 60000, &number, &why)) _exit(1);
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
  EXPECT_FALSE(take(path, 1000, &number, &error));
  EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
  writeText(path, "abc\n");
  EXPECT_FALSE(take(path, 1000, &number, &error));
  EXPECT_NE(error.find("does not hold a serial number"), std::string::npos) << error;
  EXPECT_EQ(readText(path), "abc\n");
  writeText(path, "18446744073709551615");
  EXPECT_FALSE(take(path, 1000, &number, &error));
  writeText(path, "7");
  EXPECT_TRUE(peekSerialNumber(path, 1000, &number, &error));
  EXPECT_EQ(number, 7u);
  EXPECT_EQ(readText(path), "7");
  // A holder that never lets go: the wait ends, with a message.
  const int held = open((path + ".lock").c_str(), O_RDWR);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(take(path, 300, &number, &error));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_NE(error.find("another station has held the lock"), std::string::npos) << error;
  EXPECT_EQ(readText(path), "7");
  close(held);
  EXPECT_TRUE(take(path, 300, &number, &error));
  EXPECT_EQ(readText(path), "8\n");
  removeScratchDir(dir);
}

// No number wraps or is skipped: the last number a format holds is given
// once, and the file is never advanced past a number that cannot be given.
TEST(SerialFile, TheLastNumberOfTheFormatIsGivenOnceAndTheFileNeverAdvancedPastIt) {
  const std::string dir = makeScratchDir(), path = dir + "/serial.txt";
  const struct {
    const char* holds;
    uint64_t last;
    uint64_t given;
    const char* after;
  } cases[] = {
      {"4294967295\n", 4294967295u, 4294967295u, "4294967296\n"},
      {"999\n", 999, 999, "1000\n"},
      {"18446744073709551614\n", UINT64_MAX, 18446744073709551614ull, "18446744073709551615\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.holds);
    writeText(path, c.holds);
    uint64_t number = 0;
    std::string error;
    ASSERT_EQ(takeSerialNumber(path, 1000, c.last, &number, &error), SerialTake::Taken) << error;
    EXPECT_EQ(number, c.given);
    EXPECT_EQ(readText(path), c.after);
    for (int again = 0; again < 2; ++again) {
      number = 0;
      EXPECT_EQ(takeSerialNumber(path, 1000, c.last, &number, &error), SerialTake::NoneLeft);
      EXPECT_EQ(number, c.given);
      EXPECT_EQ(error, "No serial number is left after " + std::to_string(c.given) + ".");
      EXPECT_EQ(readText(path), c.after) << "never advanced past a number that does not fit";
    }
  }
  // A file that could not be advanced at all is refused at the start.
  writeText(path, "18446744073709551615\n");
  uint64_t number = 0;
  std::string error;
  EXPECT_FALSE(peekSerialNumber(path, 1000, &number, &error));
  EXPECT_NE(error.find("holds 18446744073709551615"), std::string::npos) << error;
  // A counter shared with a wider format: none is left for this one.
  writeText(path, "5000\n");
  EXPECT_EQ(takeSerialNumber(path, 1000, 999, &number, &error), SerialTake::NoneLeft);
  EXPECT_EQ(error, "No serial number is left after 999.");
  EXPECT_EQ(readText(path), "5000\n");
  removeScratchDir(dir);
}

// The file is resolved once: a station that names it through a link locks
// and writes the file the link leads to, with its lock beside that file.
TEST(SerialFile, ALinkLeadsToTheFileWhoseLockLiesBesideIt) {
  const std::string dir = makeScratchDir(), path = dir + "/counter.txt", link = dir + "/link";
  writeText(path, "41\n");
  ASSERT_EQ(symlink("counter.txt", link.c_str()), 0);
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("../link", (dir + "/sub/again").c_str()), 0);
  char real[PATH_MAX];
  ASSERT_NE(realpath(path.c_str(), real), nullptr);
  const std::string resolved = resolveSerialFile(link);
  EXPECT_EQ(resolved, real);
  EXPECT_EQ(resolveSerialFile(dir + "/sub/again"), real);
  EXPECT_EQ(resolveSerialFile(dir + "/sub/../counter.txt"), real);
  EXPECT_EQ(serialLockPath(resolved), std::string(real) + ".lock");
  // Another station holds the lock on the file: the take through the link waits for it.
  const int held = open((path + ".lock").c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  uint64_t number = 0;
  std::string error;
  EXPECT_FALSE(take(resolved, 300, &number, &error));
  EXPECT_NE(error.find("another station has held the lock " + std::string(real) + ".lock"),
            std::string::npos)
      << error;
  close(held);
  ASSERT_TRUE(take(resolved, 300, &number, &error)) << error;
  EXPECT_EQ(number, 41u);
  EXPECT_EQ(readText(path), "42\n");
  struct stat about;
  ASSERT_EQ(lstat(link.c_str(), &about), 0);
  EXPECT_TRUE(S_ISLNK(about.st_mode)) << "the link is kept";
  EXPECT_NE(access((dir + "/link.lock").c_str(), F_OK), 0) << "no lock beside the link";
  // A file not there yet resolves through its folder, a dangling link to where it points.
  ASSERT_EQ(symlink("later.txt", (dir + "/dangling").c_str()), 0);
  const std::string folder = std::string(real).substr(0, std::string(real).rfind('/'));
  EXPECT_EQ(resolvedPath(dir + "/sub/../none.txt"), folder + "/none.txt");
  EXPECT_EQ(resolvedPath(dir + "/dangling"), folder + "/later.txt");
  EXPECT_TRUE(samePlace(dir + "/dangling", dir + "/sub/../later.txt"));
  EXPECT_FALSE(samePlace(dir + "/dangling", path));
  removeScratchDir(dir);
}

// Two names for one counter cannot be kept apart (the write replaces the
// file under one of them), and a read-only file would be replaced all the
// same: both refused, at the start and at every take.
TEST(SerialFile, AFileWithSeveralNamesOrWithoutWritePermissionIsRefusedAtEveryTake) {
  const std::string dir = makeScratchDir(), path = dir + "/serial.txt", other = dir + "/other";
  writeText(path, "5\n");
  uint64_t number = 0;
  std::string error;
  ASSERT_TRUE(take(path, 1000, &number, &error)) << error;
  ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
  EXPECT_FALSE(take(path, 1000, &number, &error));
  EXPECT_NE(error.find("has 2 names (hard links)"), std::string::npos) << error;
  EXPECT_FALSE(peekSerialNumber(path, 1000, &number, &error));
  EXPECT_EQ(readText(path), "6\n");
  EXPECT_EQ(inodeOf(path), inodeOf(other));
  ASSERT_EQ(unlink(other.c_str()), 0);
  ASSERT_TRUE(take(path, 1000, &number, &error)) << error;
  EXPECT_EQ(number, 6u);
  // Read-only by its mode, whoever runs the station (root writes anything).
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const ino_t before = inodeOf(path);
  EXPECT_FALSE(take(path, 1000, &number, &error));
  EXPECT_NE(error.find("is read-only"), std::string::npos) << error;
  EXPECT_FALSE(peekSerialNumber(path, 1000, &number, &error));
  EXPECT_EQ(readText(path), "7\n");
  EXPECT_EQ(inodeOf(path), before) << "not replaced";
  struct stat about;
  ASSERT_EQ(stat(path.c_str(), &about), 0);
  EXPECT_EQ(about.st_mode & 07777, 0444u);
  removeScratchDir(dir);
}

}  // namespace
