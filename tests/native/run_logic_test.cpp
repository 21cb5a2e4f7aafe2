// The programming and erase runs against the simulated target and a target
// played by a script.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "image/hex_token_reader.h"
#include "link/bootloader.h"
#include "operations/run_logic.h"
#include "sim/simulator.h"
#include "tests/native/pty_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Message {
  std::string text;
  std::string caption;
  unsigned icon;
  MessageOwner owner;
};

// What a run showed, in the order it showed it.
struct Recorder {
  int eraseSteps = 0;
  int programSteps = 0;
  int linkLost = 0;
  std::vector<Message> messages;
};

RunReport reportTo(Recorder* recorder) {
  RunReport report;
  report.context = recorder;
  report.stepErase = [](void* c) { ++static_cast<Recorder*>(c)->eraseSteps; };
  report.stepProgram = [](void* c) { ++static_cast<Recorder*>(c)->programSteps; };
  report.showMessage = [](void* c, const char* text, const char* caption, unsigned icon,
                          MessageOwner owner) {
    static_cast<Recorder*>(c)->messages.push_back({text, caption, icon, owner});
  };
  report.linkLost = [](void* c) {
    ++static_cast<Recorder*>(c)->linkLost;
    closeTargetPort();
  };
  return report;
}

// The run showed one message: this one (its text holding `words`).
void expectOnlyMessage(const Recorder& recorder, const std::string& words,
                       const std::string& caption) {
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_NE(recorder.messages[0].text.find(words), std::string::npos) << recorder.messages[0].text;
  EXPECT_EQ(recorder.messages[0].caption, caption);
}

std::string writeFile(const std::string& dir, const std::string& name, const std::string& text) {
  std::ofstream(dir + "/" + name, std::ios::binary) << text;
  return dir + "/" + name;
}

// Reads the file whole and programs it, as the front ends do.
RunOutcome programFile(const std::string& path, const RunReport& report,
                       ProgramTarget target = ProgramTarget::Application) {
  ImageSnapshot image;
  if (!loadImageForRun(target, path.c_str(), &image, report)) return RunFileError;
  return runProgramming(target, image, report);
}

// A hex token file: runs of bytes at addresses, each address on a line of
// its own, padded with blanks to a given size when asked.
struct Image {
  std::string text;
  std::vector<std::pair<uint32_t, Bytes>> runs;
};

Image makeImage(const std::vector<std::pair<uint32_t, int>>& layout, size_t padTo = 0) {
  Image image;
  unsigned seed = 7;
  for (auto [address, count] : layout) {
    char token[16];
    snprintf(token, sizeof token, "%08X\n", address);
    image.text += token;
    Bytes bytes;
    for (int i = 0; i < count; ++i) {
      seed = seed * 1103515245u + 12345u;
      uint8_t byte = static_cast<uint8_t>(seed >> 16);
      bytes.push_back(byte);
      snprintf(token, sizeof token, "%02X%s", byte, i % 16 == 15 ? "\n" : " ");
      image.text += token;
    }
    image.text += "\n";
    image.runs.push_back({address, bytes});
  }
  if (image.text.size() < padTo) image.text.append(padTo - image.text.size(), ' ');
  return image;
}

// Runs against the simulated target.
class RunAgainstSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    SimConfig config;
    std::string link = dir + "/target.tty";
    config.linkPath = link.c_str();
    config.callMs = 20;
    config.eraseBlocks = 7;
    sim = simStart(config);
    ASSERT_NE(sim, nullptr);
    setPortDevicePath(1, link.c_str());
    clearLinkAbort();
    setReaderCursors(ReaderCursors{0, 0});
    ASSERT_EQ(connectToTarget(DefaultSerialSettings), LinkOk);
  }
  void TearDown() override {
    closeTargetPort();
    simStop(sim);
    setPortDevicePath(1, nullptr);
    removeScratchDir(dir);
  }
  void expectFlashHolds(const Image& image) {
    Bytes flash = simFlash(sim);
    for (const auto& [address, bytes] : image.runs) {
      ASSERT_LE(address + bytes.size(), flash.size());
      EXPECT_EQ(Bytes(flash.begin() + address, flash.begin() + address + bytes.size()), bytes)
          << "at " << address;
    }
  }
  std::string dir;
  Simulator* sim = nullptr;
  Recorder recorder;
};

TEST_F(RunAgainstSimulator, ProgramsTheImageWithBothBarsAndTheSuccessBox) {
  // 3072 bytes of file: the bar reaches 33 after the first KiB and 66 after the second.
  Image image = makeImage({{0x4000, 700}, {0x6000, 100}}, 3072);
  ASSERT_EQ(image.text.size(), 3072u);
  std::string path = writeFile(dir, "app.hex", image.text);
  EXPECT_EQ(programFile(path, reportTo(&recorder)), RunSucceeded);
  EXPECT_EQ(recorder.eraseSteps, EraseBarSteps) << "7 reported blocks and 13 to fill the bar";
  EXPECT_EQ(recorder.programSteps, 66);
  expectOnlyMessage(recorder, "Target Flash has been successfully programmed.",
                    "Programming Operation Complete");
  EXPECT_EQ(recorder.messages[0].icon, IconInformation);
  EXPECT_EQ(recorder.linkLost, 0);
  expectFlashHolds(image);
}

TEST_F(RunAgainstSimulator, ImagesWithGapsAndFullBlocksArriveIntact) {
  const std::vector<std::vector<std::pair<uint32_t, int>>> layouts = {
      {{0x4000, 256}},                              // ends on a full block
      {{0x4000, 512}, {0x4200, 3}, {0x9000, 257}},  // contiguous continuation, then a gap
      {{0x4100, 1}, {0x4102, 255}, {0x7FFFF, 1}},   // a one-byte gap, the last flash byte
  };
  for (const auto& layout : layouts) {
    Image image = makeImage(layout);
    std::string path = writeFile(dir, "gaps.hex", image.text);
    Recorder run;
    EXPECT_EQ(programFile(path, reportTo(&run)), RunSucceeded);
    expectFlashHolds(image);
  }
}

TEST_F(RunAgainstSimulator, SmallFilesNeverStepTheProgrammingBarAndImagesWithoutDataAreRefused) {
  std::string small = writeFile(dir, "small.hex", makeImage({{0x4000, 100}}).text);
  EXPECT_EQ(programFile(small, reportTo(&recorder)), RunSucceeded);
  EXPECT_EQ(recorder.programSteps, 0);

  // Nothing to program is no success: the board would be erased for nothing.
  // (The command line runs every kind of empty file through the same load.)
  size_t bytesBefore = simHostBytes(sim).size();
  Recorder emptyRun;
  EXPECT_EQ(programFile("/dev/null", reportTo(&emptyRun)), RunFileError);
  expectOnlyMessage(emptyRun, "The selected HEX file holds no data.", "File Error");
  Recorder folder;
  EXPECT_EQ(programFile(dir, reportTo(&folder)), RunFileError);
  EXPECT_EQ(folder.messages.at(0).text, "Error opening selected HEX file.");
  EXPECT_EQ(simHostBytes(sim).size(), bytesBefore);
}

TEST_F(RunAgainstSimulator, AFileRewrittenDuringTheRunChangesNothing) {
  Image image = makeImage({{0x4000, 4000}});
  static std::string path;
  path = writeFile(dir, "app.hex", image.text);
  RunReport report = reportTo(&recorder);
  // A build that finishes meanwhile: the file is emptied at the first step.
  report.stepProgram = [](void* c) {
    if (static_cast<Recorder*>(c)->programSteps++ == 0) fclose(fopen(path.c_str(), "wb"));
  };
  EXPECT_EQ(programFile(path, report), RunSucceeded);
  expectFlashHolds(image);
}

TEST_F(RunAgainstSimulator, AStopRequestEndsTheRunBetweenBlocksWithoutAMessage) {
  std::string path = writeFile(dir, "app.hex", makeImage({{0x4000, 4000}}).text);
  Recorder stopped;
  RunReport report = reportTo(&stopped);
  report.stepProgram = [](void* c) {
    ++static_cast<Recorder*>(c)->programSteps;
    requestRunStop();
  };
  ProgramTally tally;
  ImageSnapshot image;
  ASSERT_TRUE(loadImageForRun(ProgramTarget::Application, path.c_str(), &image, report));
  EXPECT_EQ(runProgramming(ProgramTarget::Application, image, report, &tally), RunInterrupted);
  clearRunStop();
  EXPECT_TRUE(stopped.messages.empty()) << "no success, no communication error";
  EXPECT_EQ(stopped.linkLost, 0);
  EXPECT_GT(tally.blocks, 0u);
  EXPECT_LT(tally.blocks, 16u);
  EXPECT_EQ(tally.bytes, tally.blocks * 256u);
  EXPECT_EQ(simStatus(sim).recordsReceived, static_cast<int>(tally.blocks));
}

// Intel HEX data records of the bytes from an address below 64 KiB, and the
// end record.
std::string intelHex(const std::vector<std::pair<uint32_t, Bytes>>& pieces) {
  std::string text;
  for (const auto& [address, bytes] : pieces) {
    for (size_t at = 0; at < bytes.size(); at += 16) {
      const uint32_t offset = static_cast<uint32_t>(address + at);
      Bytes record = {static_cast<uint8_t>(std::min<size_t>(16, bytes.size() - at)),
                      static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), 0};
      record.insert(record.end(), bytes.begin() + at, bytes.begin() + at + record[0]);
      uint8_t sum = 0;
      for (uint8_t byte : record) sum = static_cast<uint8_t>(sum + byte);
      record.push_back(static_cast<uint8_t>(-sum));
      text += ":";
      for (uint8_t byte : record)
        text += "0123456789ABCDEF"[byte >> 4], text += "0123456789ABCDEF"[byte & 15];
      text += "\n";
    }
  }
  return text + ":00000001FF\n";
}

TEST_F(RunAgainstSimulator, IntelHexAtAddressZeroLandsThereWhereverTheReaderStood) {
  // A vector table at 0 that fills more than a block, and code after a gap.
  Image image = makeImage({{0x0000, 300}, {0x1000, 40}});
  setReaderCursors(
      ReaderCursors{0x4003, 0x4003});  // where an earlier file may have left the reader
  std::string path = writeFile(dir, "boot.hex", intelHex(image.runs));
  EXPECT_EQ(programFile(path, reportTo(&recorder), ProgramTarget::Bootloader), RunSucceeded);
  expectFlashHolds(image);
  EXPECT_EQ(simStatus(sim).recordsReceived, 3);
}

// Bad files are refused before the target is addressed; faults name their
// line, or only the place when the format has no lines.
TEST_F(RunAgainstSimulator, BadFileIsRefusedBeforeTheTargetIsAddressed) {
  std::string text = intelHex({{0, Bytes(20, 1)}});
  text.replace(text.find("\n:") - 2, 2, "00");  // the first record's checksum
  size_t bytesBefore = simHostBytes(sim).size();
  for (const auto& [file, shown] :
       {std::pair<std::string, std::string>{"00004000 01 02\n00003000 03\n", "\nLine 2: "},
        {text, "\nLine 1: Intel HEX checksum mismatch"},
        {"\x7F"
         "ELF\x01\x01\x01",
         "\nELF header lies past the end of the file.\n"}}) {
    Recorder refused;
    EXPECT_EQ(
        programFile(writeFile(dir, "bad", file), reportTo(&refused), ProgramTarget::Bootloader),
        RunFileError);
    expectOnlyMessage(refused, shown, "File Error");
    EXPECT_EQ(refused.messages[0].icon, IconError);
  }
  EXPECT_EQ(simHostBytes(sim).size(), bytesBefore);
  EXPECT_EQ(programFile(dir + "/none.hex", reportTo(&recorder), ProgramTarget::Bootloader),
            RunFileError);
  expectOnlyMessage(recorder, "Error opening selected hex file.", "File Error");
}

TEST_F(RunAgainstSimulator, EraseRunsFillTheBarAndReportToTheMainWindow) {
  EXPECT_EQ(runErase(EraseMode::Default, reportTo(&recorder)), RunSucceeded);
  EXPECT_EQ(recorder.eraseSteps, EraseBarSteps);
  expectOnlyMessage(recorder, "Target Flash has been successfully erased.",
                    "Erase Operation Complete");
  EXPECT_EQ(recorder.messages[0].icon, IconInformation);
  EXPECT_EQ(recorder.messages[0].owner, MessageOwner::MainWindow);

  simControl(sim, "set erase-blocks 25");
  Recorder all;
  EXPECT_EQ(runErase(EraseMode::EntireFlash, reportTo(&all)), RunSucceeded);
  EXPECT_EQ(all.eraseSteps, 25) << "no fill steps after twenty blocks";
  EXPECT_EQ(all.messages.at(0).icon, IconWarning);
}

TEST_F(RunAgainstSimulator, ALineThatHangsUpEndsTheRunAsACommunicationErrorAtOnce) {
  std::string path = writeFile(dir, "app.hex", makeImage({{0x4000, 2000}}).text);
  simControl(sim, "set hangup-at 5");  // the second block-follows frame
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(programFile(path, reportTo(&recorder)), RunCommunicationError);
  EXPECT_LT(millisecondsSince(start), generousBoundMs(2 * BlockingSliceMilliseconds));
  expectOnlyMessage(recorder, CommunicationErrorText, "Error");
  EXPECT_EQ(recorder.linkLost, 1);
}

TEST_F(RunAgainstSimulator, SilentTargetCanBeAbandonedAndTheLinkIsLost) {
  std::string path = writeFile(dir, "app.hex", makeImage({{0x4000, 2000}}).text);
  simControl(sim, "set silent-from 4");  // answers the start and two blocks, then nothing
  // The person gives up once the target has fallen silent.
  Simulator* target = sim;
  std::thread user([target] {
    EXPECT_TRUE(waitUntil([target] { return simStatus(target).silent; }));
    requestLinkAbort();
  });
  EXPECT_EQ(programFile(path, reportTo(&recorder)), RunCommunicationError);
  user.join();
  expectOnlyMessage(recorder, CommunicationErrorText, "Error");
  EXPECT_EQ(recorder.linkLost, 1);
  clearLinkAbort();
}

// Error paths against a target whose replies the test writes.
class RunAgainstScript : public PtyLinkTest {
 protected:
  void SetUp() override {
    PtyLinkTest::SetUp();
    scriptStart(&script, peer, {{0, reply(ReplyTargetCall), 100}, {4, reply(ReplyAckConfirmed)}});
    ASSERT_EQ(connectToTarget(settings), LinkOk);
    scriptFinish(&script, peer);
    dir = makeScratchDir();
  }
  void TearDown() override {
    PtyLinkTest::TearDown();
    removeScratchDir(dir);
  }
  static Bytes reply(int32_t code) { return replyBytes(code); }

  std::string dir;
  Recorder recorder;
};

TEST_F(RunAgainstScript, UnexpectedEraseReplyNamesTheBlockAndKeepsTheLink) {
  scriptStart(&script, peer,
              {{4, reply(ReplyEraseAck) + reply(ReplyBlockErased) + reply(ReplyBlockErased) +
                       reply(ReplyBlockErased) + reply(ReplyAppAck)}});
  EXPECT_EQ(runErase(EraseMode::Default, reportTo(&recorder)), RunEraseError);
  scriptFinish(&script, peer);
  EXPECT_EQ(recorder.eraseSteps, 3);
  expectOnlyMessage(recorder,
                    "Unexpected Error encountered erasing Block: 4.\nTerminating operation.",
                    "Erase Error");
  EXPECT_EQ(recorder.messages[0].owner, MessageOwner::Dialog);
  EXPECT_EQ(recorder.linkLost, 0);

  // The same for an application run whose erase is answered with the bootloader's reply.
  std::string path = writeFile(dir, "app.hex", "00004000 01\n");
  Recorder program;
  scriptStart(&script, peer, {{4, reply(ReplyAppAck) + reply(ReplyBootAck)}});
  EXPECT_EQ(programFile(path, reportTo(&program)), RunEraseError);
  scriptFinish(&script, peer);
  expectOnlyMessage(program, "erasing Block: 1.", "Erase Error");
  EXPECT_EQ(program.linkLost, 0);
  EXPECT_NE(serialPort.load(), InvalidSerialPort);
}

TEST_F(RunAgainstScript, RejectedStartLosesTheLink) {
  scriptStart(&script, peer, {{4, reply(ReplyStatusE0)}});
  EXPECT_EQ(runErase(EraseMode::EntireFlash, reportTo(&recorder)), RunCommunicationError);
  scriptFinish(&script, peer);
  expectOnlyMessage(recorder, CommunicationErrorText, "Error");
  EXPECT_EQ(recorder.linkLost, 1);
}

TEST_F(RunAgainstScript, FailingThirdBlockEndsTheRunAsACommunicationError) {
  std::string path = writeFile(dir, "app.hex", makeImage({{0x4000, 1000}}).text);
  Bytes ack = reply(ReplyAppAck);
  // Start and erase, two blocks acknowledged, the third refused.
  scriptStart(&script, peer,
              {{4, ack + ack},
               {4, ack},
               {268, ack},
               {4, ack},
               {268, ack},
               {4, ack},
               {268, reply(ReplyStatusE0)}});
  EXPECT_EQ(programFile(path, reportTo(&recorder)), RunCommunicationError);
  expectOnlyMessage(recorder, CommunicationErrorText, "Error");
  EXPECT_EQ(recorder.linkLost, 1);
  // Start, then three block-follows frames and two records: no end of programming.
  Bytes sent = scriptFinish(&script, peer, 200);
  EXPECT_EQ(sent.size(), 4u + 3 * 4u + 3 * 268u);
}

TEST_F(RunAgainstScript, AnAbandonOrAStopBeforeTheStartSendsNothing) {
  std::string path = writeFile(dir, "app.hex", makeImage({{0x4000, 600}}).text);
  ImageSnapshot image;
  ASSERT_TRUE(
      loadImageForRun(ProgramTarget::Application, path.c_str(), &image, reportTo(&recorder)));
  // Abandoned while the file was read: the communication error and the link
  // lost, as for an abandon during the start (the port is left open here, so
  // that the erase meets an open port too).
  RunReport report = reportTo(&recorder);
  report.linkLost = [](void* c) { ++static_cast<Recorder*>(c)->linkLost; };
  requestLinkAbort();
  EXPECT_EQ(runProgramming(ProgramTarget::Application, image, report), RunCommunicationError);
  EXPECT_EQ(runErase(EraseMode::EntireFlash, report), RunCommunicationError);
  EXPECT_EQ(recorder.linkLost, 2);
  ASSERT_EQ(recorder.messages.size(), 2u);
  for (const Message& shown : recorder.messages) EXPECT_EQ(shown.text, CommunicationErrorText);

  // A stop of the command line (which also asks the link to abort): nothing shown.
  Recorder stopped;
  requestRunStop();
  EXPECT_EQ(runProgramming(ProgramTarget::Application, image, reportTo(&stopped)),
            RunStoppedBeforeStart);
  EXPECT_EQ(runErase(EraseMode::Default, reportTo(&stopped)), RunStoppedBeforeStart);
  clearRunStop();
  clearLinkAbort();
  EXPECT_TRUE(stopped.messages.empty());
  EXPECT_EQ(stopped.linkLost, 0);
  EXPECT_EQ(ptyReceive(peer, 300), Bytes()) << "not one byte may reach the target";
}

// A board that restarts into its application during the erase and prints
// text: the front end's reply limit ends the wait for the next progress reply
// however long the text goes on.
TEST_F(RunAgainstScript, ALimitedWaitForAnEraseReplyEndsWhileTheLineKeepsTalking) {
  std::atomic<bool> talking{true};
  std::thread chatter([&] {
    for (int tick = 0; talking && tick < 1000; ++tick) {
      std::string line = "app running, tick " + std::to_string(tick) + "\r\n";
      ptySend(peer, Bytes(line.begin(), line.end()));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  scriptStart(&script, peer, {{4, reply(ReplyEraseAck) + reply(ReplyBlockErased)}});
  setReplyLimit(300);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(runErase(EraseMode::Default, reportTo(&recorder)), RunCommunicationError);
  EXPECT_LT(millisecondsSince(start), generousBoundMs(300));
  setReplyLimit(0);
  EXPECT_EQ(lastReadEnd(), ReadEnd::OtherData);
  EXPECT_EQ(recorder.eraseSteps, 1);
  expectOnlyMessage(recorder, CommunicationErrorText, "Error");
  talking = false;
  chatter.join();
  scriptFinish(&script, peer);
}

}  // namespace
