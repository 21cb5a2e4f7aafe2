// The application's proof of its flash, end to end: k4471-cli expects the
// CRC-32 and SHA-256 of flash ranges ({crc32:...}, {sha256:...} in --expect)
// and simulated boards print them from what their flash really holds.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "image/flash_range.h"
#include "sim/simulator.h"
#include "tests/native/sim_boards.h"
#include "tests/native/cli_runner.h"
#include "tests/native/pty_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Two pieces with a gap between them; the serial number goes at 0x4200.
const Bytes PieceA = [] {
  Bytes b;
  for (int i = 0; i < 20; ++i) b.push_back(static_cast<uint8_t>(i * 7 + 1));
  return b;
}();
const Bytes PieceB = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};

std::string hexByte(uint8_t byte) {
  char text[4];
  snprintf(text, sizeof text, "%02X", byte);
  return text;
}

// One record: the count, the address bytes, the type and the data, with its check.
std::string record(const char* lead, const Bytes& head, const Bytes& data, bool ihex) {
  Bytes all = head;
  all.insert(all.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t byte : all) sum = static_cast<uint8_t>(sum + byte);
  std::string text = lead;
  for (uint8_t byte : all) text += hexByte(byte);
  return text + hexByte(ihex ? static_cast<uint8_t>(-sum) : static_cast<uint8_t>(~sum)) + "\n";
}

std::string intelHex() {
  std::string text;
  for (const auto& piece : {std::make_pair(0x4000u, PieceA), std::make_pair(0x4100u, PieceB)}) {
    const Bytes head = {static_cast<uint8_t>(piece.second.size()),
                        static_cast<uint8_t>(piece.first >> 8), 0, 0};
    text += record(":", head, piece.second, true);
  }
  return text + ":00000001FF\n";
}

std::string sRecords() {
  std::string text;
  for (const auto& piece : {std::make_pair(0x4000u, PieceA), std::make_pair(0x4100u, PieceB)}) {
    const Bytes head = {static_cast<uint8_t>(piece.second.size() + 3),
                        static_cast<uint8_t>(piece.first >> 8), 0};
    text += record("S1", head, piece.second, false);
  }
  return text + "S9030000FC\n";
}

// An ELF file with the two pieces as loadable segments, without sections.
std::string elf() {
  std::string out(
      "\x7F"
      "ELF\x01\x01\x01",
      7);
  out.resize(16, '\0');
  auto put = [&out](uint32_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  };
  for (uint32_t value : {2u, 0x28u}) put(value, 2);
  for (uint32_t value : {1u, 0u, 52u, 0u, 0u}) put(value, 4);
  for (uint32_t value : {52u, 32u, 2u, 40u, 0u, 0u}) put(value, 2);
  const uint32_t data = 52 + 2 * 32;
  for (uint32_t value : {1u, data, 0x4000u, 0x4000u, 20u, 20u, 5u, 4u}) put(value, 4);
  for (uint32_t value : {1u, data + 20, 0x4100u, 0x4100u, 12u, 12u, 5u, 4u}) put(value, 4);
  out.append(PieceA.begin(), PieceA.end());
  out.append(PieceB.begin(), PieceB.end());
  return out;
}

std::string hexToken() {
  std::string text = "00004000";
  for (uint8_t byte : PieceA) text += " " + hexByte(byte);
  text += "\n00004100";
  for (uint8_t byte : PieceB) text += " " + hexByte(byte);
  return text + "\n";
}

const std::vector<std::string> Map = {"--flash", "0x0:0x80000", "--boot-region", "0x0:0x4000"};
const std::vector<std::string> Numbered = {"--serial-at", "0x4200", "--serial-start", "1000"};

class CliProof : public ::testing::Test {
 protected:
  void SetUp() override { dir = makeScratchDir(); }
  void TearDown() override {
    stopSimBoards(&boards);
    removeScratchDir(dir);
  }
  std::string file(const std::string& name, const std::string& text) {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::string board(const std::string& name, const std::string& appText) {
    SimConfig config;
    config.appText = keptText(&boards, appText);
    return startSimBoard(&boards, dir + "/" + name, config, 2);
  }
  // `program IMAGE --port PORT --launch --report -` and the rest; standard
  // output and error in one.
  std::pair<int, std::string> program(const std::string& image, const std::string& port,
                                      std::vector<std::string> rest) {
    std::vector<std::string> arguments = {"program",  image,      "--port", port,
                                          "--launch", "--report", "-"};
    arguments.insert(arguments.end(), rest.begin(), rest.end());
    const std::string out = dir + "/out.txt";
    const int code = waitFor(spawnProgram(K4471_CLI, arguments, out));
    return {code, readText(out)};
  }
  static std::vector<std::string> with(std::vector<std::string> a,
                                       const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
  std::string dir;
  SimBoards boards;
  std::vector<Simulator*>& sims = boards.sims;
};

const char* const BothText = "sn={u32le@0x4200} crc={crc32@0x4000:0x400} sha={sha256@0x4000:0x400}";
const char* const BothExpect = "sn={serial} crc={crc32:0x4000:0x400} sha={sha256:0x4000:0x400}";

TEST_F(CliProof, EachFormatIsProvedByTheDigestsItsBoardPrints) {
  std::string binary(PieceA.begin(), PieceA.end());
  const struct {
    std::string file;
    std::vector<std::string> options;
  } cases[] = {{file("a.hex", intelHex()), {}},
               {file("a.srec", sRecords()), {}},
               {file("a.elf", elf()), {}},
               {file("a.bin", binary), {"--format", "bin", "--address", "0x4000"}},
               {file("a.txt", hexToken()), {}}};
  const std::string port = board("a.tty", BothText);
  for (const auto& c : cases) {
    simReset(sims[0]);
    auto [code, said] =
        program(c.file, port, with(with(with({"--expect", BothExpect}, Map), Numbered), c.options));
    EXPECT_EQ(code, 0) << c.file << "\n" << said;
    nlohmann::json line = reportLines(said).at(0);
    EXPECT_EQ(line["proved"], true) << c.file << " " << line;
    ASSERT_EQ(line["proof"].size(), 2u);
    EXPECT_EQ(line["proof"][0]["start"], 0x4000);
    EXPECT_EQ(line["proof"][0]["size"], 0x400);
    EXPECT_EQ(line["proof"][0]["crc32"].get<std::string>().size(), 8u);
    EXPECT_EQ(line["proof"][1]["sha256"].get<std::string>().size(), 64u);
  }
}

TEST_F(CliProof, OneBitFlippedAnywhereInTheRangeFailsTheBoardWithTheValues) {
  const std::string image = file("a.hex", intelHex());
  const std::string port = board("a.tty", BothText);
  for (const char* flip : {"0x4000:0", "0x4200:3", "0x43FF:7"}) {
    simReset(sims[0]);
    simControl(sims[0], (std::string("flip-bit ") + flip).c_str());
    auto [code, said] =
        program(image, port,
                with(with({"--expect", BothExpect, "--expect-timeout", "1", "--retries", "1"}, Map),
                     Numbered));
    EXPECT_EQ(code, 8) << flip << "\n" << said;
    const nlohmann::json line = reportLines(said).back();
    EXPECT_EQ(line["outcome"], "app-check-failed");
    EXPECT_EQ(line["attempt"], 1) << "not retried";
    EXPECT_EQ(line["proved"], false);
    const std::string message = line["message"];
    for (const char* value : {"crc32", "sha256"}) {
      const std::string expected = line["proof"][value == std::string("crc32") ? 0 : 1][value];
      EXPECT_NE(message.find(expected), std::string::npos) << message;
    }
    EXPECT_NE(message.find("988 of its 1024 bytes taken as 0xFF"), std::string::npos) << message;
    EXPECT_NE(message.find("the last line it printed: \"sn="), std::string::npos) << message;
  }
}

TEST_F(CliProof, ARangeThatMissesPartOfTheImagePassesUnproved) {
  const std::string image = file("a.hex", intelHex());
  const std::string port = board("a.tty", "crc={CRC32@0x4000:0x100} sha={SHA256@0x4000:0x100}");
  auto [code, said] = program(
      image, port,
      with({"--expect", "crc={crc32:0x4000:0x100}", "--expect", "sha={sha256:0x4000:0x100}"}, Map));
  EXPECT_EQ(code, 0) << "upper-case digits: " << said;
  EXPECT_EQ(reportLines(said).at(0)["proved"], false) << said;

  simReset(sims[0]);
  std::tie(code, said) = program(image, port, {});
  EXPECT_EQ(code, 0) << said;
  EXPECT_FALSE(reportLines(said).at(0).contains("proved")) << "a board not checked";
}

TEST_F(CliProof, PlaceholdersThatDoNotFitAreRefusedBeforeTheBoard) {
  const std::string image = file("a.hex", intelHex());
  const std::string port = board("a.tty", BothText);
  const struct {
    std::vector<std::string> arguments;
    const char* named;
  } cases[] = {
      {{"--expect", "{crc32:0x7F00:0x200}", "--flash", "0x0:0x8000", "--boot-region", "0x0:0x4000"},
       "{crc32:0x7F00:0x200} lies outside the flash"},
      {with({"--expect", "{sha256:0x3F00:0x200}"}, Map),
       "{sha256:0x3F00:0x200} touches the boot region"},
      {{"--expect", "{crc32:0x4000:0x100}", "--boot-region", "0x0:0x4000"},
       "{crc32:0x4000:0x100} needs --flash and --boot-region"},
      {with({"--expect", "{crc32:04000:0x100}"}, Map), "has a leading 0"},
      {with({"--expect", "{crc23:0x4000:0x100}"}, Map), "{crc23:0x4000:0x100} is no placeholder"},
      {with({"--expect", "{crc32:0x4000:0x100", "--expect", "x"}, Map), "is not closed"},
      {with({"--expect", "{crc32:0x4000:0x100}", "--bootloader"}, Map),
       "lies outside the boot region"},
      {with({"--expect", "{serial}{crc32:0x4000:0x100}"}, with(Map, Numbered)), "cannot touch"},
  };
  for (const auto& c : cases) {
    auto [code, said] = program(image, port, c.arguments);
    EXPECT_EQ(code, 2) << said;
    EXPECT_NE(said.find(c.named), std::string::npos) << said;
  }
  const std::string out = dir + "/launch.txt";
  const int code = waitFor(
      spawnProgram(K4471_CLI, {"launch", "--port", port, "--expect", "{crc32:0x4000:0x100}"}, out));
  EXPECT_EQ(code, 2) << readText(out);
  EXPECT_NE(readText(out).find("program only"), std::string::npos) << readText(out);
  EXPECT_TRUE(simHostBytes(sims[0]).empty()) << "no board was addressed";
}

// Four bytes whose CRC-32 begins with a 0 digit.
Bytes bytesWithLeadingZeroCrc() {
  for (uint32_t n = 0;; ++n) {
    const Bytes bytes = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), 0x5A};
    if (crc32Update(0, bytes.data(), bytes.size()) < 0x10000000u) return bytes;
  }
}

TEST_F(CliProof, ACrcWithALeadingZeroMustBePrintedWhole) {
  const Bytes bytes = bytesWithLeadingZeroCrc();
  std::string text = "00004000";
  for (uint8_t byte : bytes) text += " " + hexByte(byte);
  const std::string image = file("zero.txt", text + "\n");
  char crc[16];
  snprintf(crc, sizeof crc, "%08x", crc32Update(0, bytes.data(), bytes.size()));
  ASSERT_EQ(crc[0], '0');
  const std::string whole = board("whole.tty", "crc={crc32@0x4000:4}");
  const std::string cut = board("cut.tty", std::string("crc=") + (crc + 1));
  const std::vector<std::string> expect = with({"--expect", "crc={crc32:0x4000:4}"}, Map);
  auto [code, said] = program(image, whole, expect);
  EXPECT_EQ(code, 0) << said;
  EXPECT_EQ(reportLines(said).at(0)["proved"], true) << "the range holds the whole image";
  std::tie(code, said) = program(image, cut, with(expect, {"--expect-timeout", "1"}));
  EXPECT_EQ(code, 8) << said;
}

TEST_F(CliProof, TwoTextsMayComeOnTwoLinesInEitherOrder) {
  const std::string image = file("a.hex", intelHex());
  const std::string port =
      board("a.tty", "sha={sha256@0x4000:0x400}\r\nboot ok\r\ncrc={crc32@0x4000:0x400}");
  auto [code, said] = program(
      image, port,
      with({"--expect", "crc={crc32:0x4000:0x400}", "--expect", "sha={sha256:0x4000:0x400}"}, Map));
  EXPECT_EQ(code, 0) << said;
  EXPECT_EQ(reportLines(said).at(0)["proved"], true);
}

TEST_F(CliProof, AStationsBoardsEachProveTheirOwnNumber) {
  const std::string image = file("a.hex", intelHex());
  std::vector<std::string> arguments = {"program", image};
  for (const char* name : {"a.tty", "b.tty", "c.tty"}) {
    arguments.insert(arguments.end(),
                     {"--port", board(name, "sn={u32le@0x4200} c={crc32@0x4000:0x400}")});
  }
  arguments = with(with(with(arguments, {"--launch", "--expect",
                                         "sn={serial} c={crc32:0x4000:0x400}", "--report", "-"}),
                        Map),
                   Numbered);
  const std::string out = dir + "/out.txt";
  const int code = waitFor(spawnProgram(K4471_CLI, arguments, out));
  const std::string said = readText(out);
  EXPECT_EQ(code, 0) << said;
  std::set<std::string> crcs;
  for (const nlohmann::json& line : reportLines(said)) {
    EXPECT_EQ(line["proved"], true) << line;
    crcs.insert(line["proof"][0]["crc32"].get<std::string>());
  }
  EXPECT_EQ(crcs.size(), 3u) << "each board's number is in its range";
}

}  // namespace
