// What a gang's parent and its workers say to each other, both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "station/worker_protocol.h"

namespace {

// Texts that could break a line or an escape.
const char* const AwkwardText = "two\nlines\r\n\ttabbed \\n not a break\\";

bool sameEvent(const WorkerEvent& a, const WorkerEvent& b) {
  return a.kind == b.kind && a.steps == b.steps && a.icon == b.icon && a.caption == b.caption &&
         a.text == b.text;
}

// A file holding the bytes, to read from the start.
FILE* input(const std::vector<uint8_t>& bytes) {
  FILE* file = tmpfile();
  fwrite(bytes.data(), 1, bytes.size(), file);
  rewind(file);
  return file;
}

void append(std::vector<uint8_t>* out, const ParentMessage& message) {
  const std::vector<uint8_t> bytes = encodeParentMessage(message);
  out->insert(out->end(), bytes.begin(), bytes.end());
}

TEST(WorkerProtocol, EveryEventIsOneLineAndReadsBackAsSent) {
  std::vector<WorkerEvent> events(9);
  events[0].kind = WorkerEventKind::Note;
  events[0].text = AwkwardText;
  events[1].kind = WorkerEventKind::Erase;
  events[1].steps = 20;
  events[2].kind = WorkerEventKind::Program;
  events[2].steps = 100;
  events[3].kind = WorkerEventKind::Message;
  events[3].icon = 16;
  events[3].caption = "Caption\twith a tab";
  events[3].text = AwkwardText;
  events[4].kind = WorkerEventKind::Report;
  events[4].text = R"({"message":"a\\b \"c\"\nd"})";
  events[5].kind = WorkerEventKind::Attempt;  // not to be taken for the board's end
  events[5].text = R"({"attempt":1})";
  events[6].kind = WorkerEventKind::Trace;  // never taken for a note, which sets the status
  events[6].text = "Sending ACK to TGT";
  events[7].kind = WorkerEventKind::PortAway;  // a port's notice, shown also when quiet
  events[7].text = "gone (No such file or directory)";
  events[8].kind = WorkerEventKind::PortBack;
  std::string pending;
  for (const WorkerEvent& event : events) {
    const std::string line = encodeWorkerEvent(event);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
    EXPECT_EQ(line.find('\r'), std::string::npos);
    pending += line.substr(0, line.size() - 1) + "\r\n";  // as a Windows pipe may give it
  }
  std::string line;
  for (const WorkerEvent& sent : events) {
    ASSERT_TRUE(takeLine(&pending, &line));
    WorkerEvent read;
    ASSERT_TRUE(decodeWorkerEvent(line, &read)) << line;
    EXPECT_TRUE(sameEvent(read, sent)) << line;
  }
  EXPECT_FALSE(takeLine(&pending, &line));

  WorkerEvent read;
  for (const char* wrong : {"erase", "erase x", "program 5 6", "message 1 no tab", "notes x",
                            "message x cap\ttext", "backs", "back 1", ""}) {
    EXPECT_FALSE(decodeWorkerEvent(wrong, &read)) << wrong;
  }
}

TEST(WorkerProtocol, OrdersCarryEveryByteOfTheImageAndWhatFollowsIt) {
  ParentMessage image;
  image.kind = ParentMessageKind::Image;
  for (int i = 0; i < 600; ++i) image.image.push_back(static_cast<uint8_t>(i));
  const std::string lookalike = "\ngo\nstop\n";  // a line inside the image is no message
  image.image.insert(image.image.end(), lookalike.begin(), lookalike.end());
  ParentMessage board, serial, go, stop;
  board.kind = ParentMessageKind::Board;
  board.board = 4294967295ul;
  serial.kind = ParentMessageKind::Serial;
  serial.serial = AwkwardText;
  go.kind = ParentMessageKind::Go;
  stop.kind = ParentMessageKind::Stop;
  std::vector<uint8_t> bytes;
  for (const ParentMessage* message : {&image, &board, &serial, &go, &stop}) {
    append(&bytes, *message);
  }
  FILE* in = input(bytes);
  WorkerOrders orders;
  std::string error;
  ASSERT_TRUE(readWorkerOrders(in, &orders, &error)) << error;
  EXPECT_TRUE(orders.imageGiven);
  EXPECT_EQ(orders.image.bytes, image.image);
  EXPECT_EQ(orders.board, board.board);
  EXPECT_EQ(orders.serial, AwkwardText);
  EXPECT_FALSE(readWorkerOrders(in, &orders, &error)) << "stop";
  EXPECT_EQ(error, "");
  EXPECT_FALSE(readWorkerOrders(in, &orders, &error)) << "the end of input";
  EXPECT_EQ(error, "");
  fclose(in);

  // An empty image is an image; the end of input before "go" gives no board.
  in = input(encodeParentMessage(ParentMessage{ParentMessageKind::Image, {}, 0, ""}));
  orders = WorkerOrders();
  EXPECT_FALSE(readWorkerOrders(in, &orders, &error));
  EXPECT_TRUE(orders.imageGiven);
  EXPECT_EQ(error, "");
  fclose(in);
}

TEST(WorkerProtocol, InputThatIsNoMessageIsRefusedWithItsReason) {
  const struct {
    const char* bytes;
    const char* reason;
  } cases[] = {{"image 10\nshort", "the image ended after 5 of 10 bytes"},
               {"image 268435457\n", "an image of \"268435457\" bytes"},
               {"image -1\n", "an image of \"-1\" bytes"},
               {"board x\n", "no message: \"board x\""},
               {"hello\n", "no message: \"hello\""},
               {"go", "the input ended inside a line"}};
  for (const auto& c : cases) {
    const std::string text = c.bytes;
    FILE* in = input(std::vector<uint8_t>(text.begin(), text.end()));
    WorkerOrders orders;
    std::string error;
    EXPECT_FALSE(readWorkerOrders(in, &orders, &error)) << text;
    EXPECT_EQ(error, c.reason) << text;
    fclose(in);
  }
}

// Each option a board needs reaches its worker, with its value.
TEST(WorkerProtocol, WorkerArgumentsCarryEveryOptionOfTheBoard) {
  Options options;
  options.bootloader = options.launch = options.quiet = true;
  options.timeoutSeconds = 7;
  options.waitSeconds = 9;
  options.format = "bin";
  options.address = "0x4000";
  options.flash = "0:0x80000";
  options.bootRegion = "0:0x4000";
  options.reset = "rts-inverted";
  options.resetMs = 250;
  const std::vector<std::string> arguments = workerArguments("self", "/dev/ttyX", options, true);
  auto valueOf = [&](const std::string& option) {
    auto at = std::find(arguments.begin(), arguments.end(), option);
    return at == arguments.end() || at + 1 == arguments.end() ? std::string("(none)") : *(at + 1);
  };
  EXPECT_EQ(std::vector<std::string>(arguments.begin(), arguments.begin() + 3),
            (std::vector<std::string>{"self", "program", "-"}));
  EXPECT_EQ(valueOf("--port"), "/dev/ttyX");
  EXPECT_EQ(valueOf("--timeout"), "7");
  EXPECT_EQ(valueOf("--wait"), "9");
  EXPECT_EQ(valueOf("--format"), "bin");
  EXPECT_EQ(valueOf("--address"), "0x4000");
  EXPECT_EQ(valueOf("--flash"), "0:0x80000");
  EXPECT_EQ(valueOf("--boot-region"), "0:0x4000");
  EXPECT_EQ(valueOf("--report"), "-");
  EXPECT_EQ(valueOf("--reset"), "rts-inverted");
  EXPECT_EQ(valueOf("--reset-ms"), "250");
  for (const char* flag : {"--progress-events", "--bootloader", "--launch", "--quiet"}) {
    EXPECT_NE(std::find(arguments.begin(), arguments.end(), flag), arguments.end()) << flag;
  }
  const std::vector<std::string> plain = workerArguments("self", "/dev/ttyX", Options(), false);
  for (const char* absent : {"--report", "--address", "--flash", "--bootloader", "--reset-ms"}) {
    EXPECT_EQ(std::find(plain.begin(), plain.end(), absent), plain.end()) << absent;
  }
}

}  // namespace
