// The manual's C routine for the CRC-32 an application prints, taken out of
// the manual at build time: it must give what the tool expects.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image/flash_range.h"

extern "C" unsigned long flash_crc32(const volatile unsigned char* start, unsigned long size);

namespace {

TEST(ManualCrc32, TheManualsRoutineGivesTheToolsValue) {
  const char* check = "123456789";
  const auto* bytes = reinterpret_cast<const unsigned char*>(check);
  EXPECT_EQ(flash_crc32(bytes, 9), 0xCBF43926ul);
  EXPECT_EQ(crc32Update(0, bytes, 9), 0xCBF43926u);
  EXPECT_EQ(flash_crc32(bytes, 0), 0ul) << "nothing";

  std::mt19937 random(24);
  for (size_t size : {1u, 3u, 255u, 4096u, 65536u}) {
    std::vector<uint8_t> data(size);
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
    EXPECT_EQ(flash_crc32(data.data(), size), crc32Update(0, data.data(), size)) << size;
  }
  // Fed in pieces, the tool's CRC is the same.
  std::vector<uint8_t> data(1000, 0xFF);
  const uint32_t whole = crc32Update(0, data.data(), data.size());
  EXPECT_EQ(crc32Update(crc32Update(0, data.data(), 333), data.data() + 333, 667), whole);
}

}  // namespace
