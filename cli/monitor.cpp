// The monitor: the application's lines read from the open port, escaped and
// shown, until an interrupt, a dead line or its stop.
#include "cli/monitor.h"

#include <cstdint>
#include <cstdio>

#include "cli/app_check.h"
#include "cli/devloop_options.h"
#include "cli/exit_codes.h"
#include "link/bootloader.h"

namespace {

using Clock = std::chrono::steady_clock;

// A line without its end is shown after this long without a byte (a prompt).
constexpr auto QuietFlush = std::chrono::milliseconds(500);
// How often the stop is asked, and the longest read between two looks.
constexpr int PollMilliseconds = 50;
// A line longer than this is shown in parts.
constexpr size_t LongestLine = 4096;

Clock::time_point lastLaunch = Clock::now();

// The length of the UTF-8 sequence at `at` that encodes a printable
// character (U+00A0 and above, no surrogate, no overlong form); 0 if none.
size_t printableUtf8(const std::string& bytes, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(bytes[at]);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead == 0xC2) {
    length = 2, low = 0xA0;  // U+0080 to U+009F are the C1 controls
  } else if (lead >= 0xC3 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (length == 0 || at + length > bytes.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(bytes[at + i]);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// What the monitor holds of the application's output between two reads.
struct Lines {
  std::string line;           // the line being printed
  bool afterCr = false;       // a LF now ends nothing (CR LF)
  bool inBootloader = false;  // said, until the application prints again
  bool restOfAnswer = false;  // the bytes up to the first line end
  Clock::time_point lastByte = Clock::now();
};

void showLine(const MonitorSetup& setup, Lines* lines) {
  if (lines->restOfAnswer) {
    lines->restOfAnswer = false;
    if (lines->line.empty()) return;
  }
  if (setup.timestamps) {
    const double seconds = std::chrono::duration<double>(Clock::now() - setup.launched).count();
    printf("[%9.3f] ", seconds);
  }
  printf("%s\n", monitorLineText(lines->line).c_str());
  fflush(stdout);
  lines->line.clear();
  lines->inBootloader = false;
}

// The bootloader's call, as it comes on the line.
std::string callFrame() {
  uint8_t call[FrameSlotCount];
  encodeReplyBytes(ReplyTargetCall, call);
  return std::string(reinterpret_cast<const char*>(call), sizeof call);
}

// Whether the bytes are nothing but a piece of a row of calls (the monitor
// may start or stop inside one).
bool onlyCallBytes(const std::string& bytes) {
  const std::string call = callFrame();
  std::string calls;
  while (calls.size() < bytes.size() + 2 * call.size()) calls += call;
  return calls.find(bytes) != std::string::npos;
}

// The start of a call at the end of the line, cut off by the end of a read.
void dropCallStart(std::string* line) {
  const std::string call = callFrame();
  for (size_t length = call.size() - 1; length > 0; --length) {
    if (line->size() >= length &&
        line->compare(line->size() - length, length, call, 0, length) == 0) {
      line->resize(line->size() - length);
      return;
    }
  }
}

// A call at the end of the line is the bootloader's, not the application's.
void takeCall(Lines* lines) {
  const std::string frame = callFrame();
  std::string& line = lines->line;
  if (line.size() < frame.size() ||
      line.compare(line.size() - frame.size(), frame.size(), frame) != 0)
    return;
  line.resize(line.size() - frame.size());
  if (onlyCallBytes(line)) line.clear();  // the end of a call the monitor came in on
  if (lines->inBootloader) return;
  lines->inBootloader = true;
  fprintf(stderr, "The board is in its bootloader (reset by hand?): its calls are not shown.\n");
}

void takeByte(const MonitorSetup& setup, Lines* lines, uint8_t byte) {
  lines->lastByte = Clock::now();
  const bool crLf = byte == '\n' && lines->afterCr;
  lines->afterCr = byte == '\r';
  if (crLf) return;
  if (byte == '\r' || byte == '\n') {
    showLine(setup, lines);
    return;
  }
  lines->line += static_cast<char>(byte);
  takeCall(lines);
  if (lines->line.size() >= LongestLine) showLine(setup, lines);
}

// Shows what is left of a line that has not ended, but a piece of a call.
void flushLine(const MonitorSetup& setup, Lines* lines) {
  if (onlyCallBytes(lines->line)) lines->line.clear();
  dropCallStart(&lines->line);
  if (!lines->line.empty()) showLine(setup, lines);
}

}  // namespace

std::string monitorLineText(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string shown;
  for (size_t at = 0; at < bytes.size();) {
    const unsigned char byte = static_cast<unsigned char>(bytes[at]);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += byte == '\\' ? "\\\\" : std::string(1, static_cast<char>(byte));
      ++at;
      continue;
    }
    const size_t length = byte >= 0x80 ? printableUtf8(bytes, at) : 0;
    if (length > 0) {
      shown += bytes.substr(at, length);
      at += length;
      continue;
    }
    shown += "\\x";
    shown += digits[byte >> 4];
    shown += digits[byte & 0xF];
    ++at;
  }
  return shown;
}

MonitorSetup monitorSetupFor(const Options& options, int runCode) {
  MonitorSetup setup;
  setup.timestamps = options.timestamps;
  setup.launched = lastLaunch;
  setup.afterAnswer = !options.expect.empty() && runCode == ExitOk;
  return setup;
}

MonitorEnd monitorApplication(const MonitorSetup& setup) {
  Lines lines;
  lines.restOfAnswer = setup.afterAnswer;
  Clock::time_point nextPoll = Clock::now();
  for (;;) {
    if (setup.stop && Clock::now() >= nextPoll) {
      if (setup.stop(setup.context)) break;
      nextPoll = Clock::now() + std::chrono::milliseconds(PollMilliseconds);
    }
    uint8_t byte = 0;
    const ReadEnd end = readAnyByte(serialPort.load(), &byte, PollMilliseconds);
    if (end == ReadEnd::Frame) {
      takeByte(setup, &lines, byte);
      continue;
    }
    if (end == ReadEnd::Aborted || interrupted.load()) {
      flushLine(setup, &lines);
      return MonitorEnd::Interrupted;
    }
    if (end == ReadEnd::LineFailed) {
      flushLine(setup, &lines);
      return MonitorEnd::LineDied;
    }
    if (Clock::now() - lines.lastByte >= QuietFlush) flushLine(setup, &lines);
  }
  flushLine(setup, &lines);
  return MonitorEnd::Stopped;
}

int launchForDevLoop(const Options& options, Progress* progress, BoardReport* board) {
  lastLaunch = Clock::now();
  return launchAndCheck(options, progress, board, keepsPortAfterRun(options));
}

int monitorAfterRun(const Options& options, int runCode) {
  const bool open = serialPort.load() != InvalidSerialPort;
  if (!open || (runCode != ExitOk && runCode != ExitAppCheckFailed) || interrupted.load()) {
    closeTargetPort();
    return runCode;
  }
  fprintf(stderr, "Monitoring the application (Ctrl-C to end):\n");
  const MonitorEnd end = monitorApplication(monitorSetupFor(options, runCode));
  closeTargetPort();
  if (end != MonitorEnd::LineDied) return runCode;
  fprintf(stderr, "error: the line to the target died while monitoring (unplugged?)\n");
  return ExitCommunicationError;
}
