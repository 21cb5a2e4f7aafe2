// What a gang's parent and its workers say to each other, both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "station/plan_message.h"
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
  in = input(encodeParentMessage(ParentMessage{ParentMessageKind::Image, {}, 0, "", ""}));
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

// A plan with every field away from its default.
Options unusualPlan() {
  Options plan;
  plan.image.file = "fw\tname\n.hex";
  plan.link.ports = {"/dev/ttyX", "rfc2217://host:4000"};
  plan.image.bootloader = plan.all = plan.yes = plan.launch = plan.link.simulate = true;
  plan.quiet = plan.verbose = plan.reporting.append = true;
  plan.link.timeoutSeconds = LongestWaitSeconds;
  plan.link.waitSeconds = 9;
  plan.expect = {AwkwardText, "crc={crc32:0x4000:0x100}"};
  plan.link.otherPorts = {"usb:1a2b:3c4d"};
  plan.expectTimeoutSeconds = 11;
  plan.reporting.path = "-";
  plan.image.format = "bin";
  plan.image.address = "0x4000";
  plan.image.output = "out.hex";
  plan.flashMap.flash = "0:0x80000";
  plan.flashMap.bootRegion = "0:0x4000";
  plan.image.formatByContent = false;
  plan.image.imageFormat = ImageFormat::Binary;
  plan.image.binaryAddress = 0xFFFFFFFFu;
  plan.flashMap.map.flash = {true, 0x100, 0x100000000ull};
  plan.flashMap.map.boot = {true, 0x200, 0x4000};
  plan.station.loop = true;
  plan.station.count = 4294967295ul;
  plan.station.swapSeconds = 0.1;  // no exact binary fraction
  plan.station.retries = 100;
  plan.serials.serialAt = "0x7FF0";
  plan.serials.serialFormat = "ascii:20";
  plan.serials.serialStart = "007";
  plan.serials.serialFile = "serial.txt";
  plan.serials.numbered = true;
  plan.serials.serialAddress = 0x7FF0;
  plan.serials.serial = SerialFormat{SerialEncoding::Ascii, 20};
  plan.serials.firstSerial = 18446744073709551614ull;
  plan.serials.serialPath = "/tmp/serial.txt";
  plan.link.reset = "rts-inverted";
  plan.link.resetMs = 250;
  plan.station.console = "127.0.0.1:8080";
  plan.station.consoleTokenFile = "token";
  plan.station.consoleHost = "station";
  plan.monitor = plan.timestamps = plan.watch = plan.force = true;
  plan.settleMs = 1000;
  return plan;
}

bool sameRange(const MapRange& a, const MapRange& b) {
  return a.given == b.given && a.start == b.start && a.end == b.end;
}

// Field by field: a field that the message forgets keeps its default, and
// differs here.
void expectSamePlan(const Options& got, const Options& sent) {
  EXPECT_EQ(got.image.file, sent.image.file);
  EXPECT_EQ(got.link.ports, sent.link.ports);
  EXPECT_EQ(got.link.otherPorts, sent.link.otherPorts);
  const bool flags[][2] = {{got.image.bootloader, sent.image.bootloader},
                           {got.all, sent.all},
                           {got.yes, sent.yes},
                           {got.launch, sent.launch},
                           {got.link.simulate, sent.link.simulate},
                           {got.quiet, sent.quiet},
                           {got.verbose, sent.verbose},
                           {got.reporting.append, sent.reporting.append},
                           {got.image.formatByContent, sent.image.formatByContent},
                           {got.station.loop, sent.station.loop},
                           {got.serials.numbered, sent.serials.numbered},
                           {got.monitor, sent.monitor},
                           {got.timestamps, sent.timestamps},
                           {got.watch, sent.watch},
                           {got.force, sent.force}};
  for (size_t i = 0; i < sizeof flags / sizeof flags[0]; ++i) {
    EXPECT_EQ(flags[i][0], flags[i][1]) << "flag " << i;
  }
  EXPECT_EQ(got.link.timeoutSeconds, sent.link.timeoutSeconds);
  EXPECT_EQ(got.link.waitSeconds, sent.link.waitSeconds);
  EXPECT_EQ(got.expect, sent.expect);
  EXPECT_EQ(got.expectTimeoutSeconds, sent.expectTimeoutSeconds);
  EXPECT_EQ(got.reporting.path, sent.reporting.path);
  EXPECT_EQ(got.image.format, sent.image.format);
  EXPECT_EQ(got.image.address, sent.image.address);
  EXPECT_EQ(got.image.output, sent.image.output);
  EXPECT_EQ(got.flashMap.flash, sent.flashMap.flash);
  EXPECT_EQ(got.flashMap.bootRegion, sent.flashMap.bootRegion);
  EXPECT_EQ(got.image.imageFormat, sent.image.imageFormat);
  EXPECT_EQ(got.image.binaryAddress, sent.image.binaryAddress);
  EXPECT_TRUE(sameRange(got.flashMap.map.flash, sent.flashMap.map.flash));
  EXPECT_TRUE(sameRange(got.flashMap.map.boot, sent.flashMap.map.boot));
  EXPECT_EQ(got.station.count, sent.station.count);
  EXPECT_EQ(got.station.swapSeconds, sent.station.swapSeconds);
  EXPECT_EQ(got.station.retries, sent.station.retries);
  EXPECT_EQ(got.serials.serialAt, sent.serials.serialAt);
  EXPECT_EQ(got.serials.serialFormat, sent.serials.serialFormat);
  EXPECT_EQ(got.serials.serialStart, sent.serials.serialStart);
  EXPECT_EQ(got.serials.serialFile, sent.serials.serialFile);
  EXPECT_EQ(got.serials.serialAddress, sent.serials.serialAddress);
  EXPECT_EQ(got.serials.serial.encoding, sent.serials.serial.encoding);
  EXPECT_EQ(got.serials.serial.width, sent.serials.serial.width);
  EXPECT_EQ(got.serials.firstSerial, sent.serials.firstSerial);
  EXPECT_EQ(got.serials.serialPath, sent.serials.serialPath);
  EXPECT_EQ(got.link.reset, sent.link.reset);
  EXPECT_EQ(got.link.resetMs, sent.link.resetMs);
  EXPECT_EQ(got.station.console, sent.station.console);
  EXPECT_EQ(got.station.consoleTokenFile, sent.station.consoleTokenFile);
  EXPECT_EQ(got.station.consoleHost, sent.station.consoleHost);
  EXPECT_EQ(got.settleMs, sent.settleMs);
}

// The worker reads the plan its parent sent, every field as it was, and
// then the orders that follow it.
TEST(WorkerProtocol, ThePlanReachesTheWorkerWhole) {
  const Options sent = unusualPlan();
  std::vector<uint8_t> bytes = planMessage(sent);
  append(&bytes, ParentMessage{ParentMessageKind::Go, {}, 0, "", ""});
  FILE* in = input(bytes);
  Options got;
  got.role = RunRole::Worker;
  std::string error;
  ASSERT_TRUE(readWorkerPlan(in, &got, &error)) << error;
  expectSamePlan(got, sent);
  EXPECT_EQ(got.role, RunRole::Worker) << "the worker's entry says what it is";
  WorkerOrders orders;
  EXPECT_TRUE(readWorkerOrders(in, &orders, &error)) << error;
  fclose(in);

  // A worker's plan is the gang's, less what the parent keeps to itself.
  const Options worker = workerPlan(sent, "/dev/ttyW", true);
  EXPECT_EQ(worker.link.ports, std::vector<std::string>{"/dev/ttyW"});
  EXPECT_EQ(worker.image.file, "-");
  EXPECT_EQ(worker.reporting.path, "-");
  EXPECT_EQ(workerPlan(sent, "/dev/ttyW", false).reporting.path, "");
  EXPECT_TRUE(worker.serials.serialStart.empty() && worker.serials.serialFile.empty() &&
              worker.serials.serialPath.empty());
  EXPECT_EQ(worker.serials.firstSerial, 0u);
  EXPECT_EQ(worker.station.count, 0u);
  EXPECT_FALSE(worker.link.simulate || worker.reporting.append || worker.monitor || worker.watch);
  EXPECT_TRUE(worker.station.console.empty());
  EXPECT_TRUE(worker.serials.numbered && worker.launch && worker.station.loop && worker.verbose);
  EXPECT_EQ(worker.serials.serialAddress, sent.serials.serialAddress);
  EXPECT_EQ(worker.expect, sent.expect);
}

TEST(WorkerProtocol, AWorkerRefusesInputThatIsNoPlan) {
  const std::string goFirst = "go\n";
  std::string badField = encodePlan(unusualPlan());
  badField.replace(badField.find("\"count\":4294967295"), 18, "\"count\":-1");
  const struct {
    std::vector<uint8_t> bytes;
    const char* reason;
  } cases[] = {
      {{}, "the input ended before the plan"},
      {std::vector<uint8_t>(goFirst.begin(), goFirst.end()), "no plan first"},
      {encodeParentMessage(ParentMessage{ParentMessageKind::Plan, {}, 0, "", "[1]"}),
       "the plan is no JSON object"},
      {encodeParentMessage(ParentMessage{ParentMessageKind::Plan, {}, 0, "", "{}"}),
       "the plan has no file"},
      {encodeParentMessage(ParentMessage{ParentMessageKind::Plan, {}, 0, "", badField}),
       "the plan's count does not fit"},
  };
  for (const auto& c : cases) {
    FILE* in = input(c.bytes);
    Options plan;
    std::string error;
    EXPECT_FALSE(readWorkerPlan(in, &plan, &error)) << c.reason;
    EXPECT_EQ(error, c.reason);
    fclose(in);
  }
}

}  // namespace
