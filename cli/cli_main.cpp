// k4471-cli: program, erase and launch a target from a terminal or a script,
// with the same link and run logic as the desktop tool.
#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "cli/board_report.h"
#include "cli/exit_codes.h"
#include "cli/gang.h"
#include "cli/progress.h"
#include "cli/simulated_target.h"
#include "cli/terminal.h"
#include "image/firmware_image.h"
#include "image/hex_token_reader.h"
#include "image/image_snapshot.h"
#include "link/bootloader.h"
#include "link/trace.h"
#include "operations/run_logic.h"

namespace {

const char* const ExitCodesText =
    "Exit codes:\n"
    "  0    success\n"
    "  2    usage error (also: a port given twice, erase --all without --yes and no terminal)\n"
    "  3    file error: the file does not open, is not in its format or holds no data (each\n"
    "       refused before any board is addressed); convert cannot write OUT\n"
    "  4    the port cannot be opened, is not a serial port or is busy\n"
    "  5    erase error: the target reported a failure while erasing\n"
    "  6    communication error: the target did not answer as it should, fell silent for\n"
    "       --timeout, the line failed, or no target called within --wait\n"
    "  7    gang run: one or more targets failed (the summary names them)\n"
    "  130  interrupted (Ctrl-C, a termination request or a hang-up)\n";

const char* const PartialImageText =
    "Interrupted: the target holds a partial image; program it again.";

std::atomic<int> interrupted{0};
// Set when the wait for the target's call has run out of time.
std::atomic<int> waitExpired{0};

// A signal: waits end, and a run stops between two blocks.
void interrupt() {
  interrupted.store(1);
  requestRunStop();
  requestLinkAbort();
}

void traceToStderr(const char* text) {
  fputs(text, stderr);
}

int exitCodeOf(RunOutcome outcome) {
  switch (outcome) {
    case RunSucceeded:
      return ExitOk;
    case RunInterrupted:
      return ExitInterrupted;
    case RunFileError:
      return ExitFileError;
    case RunEraseError:
      return ExitEraseError;
    case RunCommunicationError:
      return ExitCommunicationError;
  }
  return ExitCommunicationError;
}

struct Options {
  std::string file;
  std::vector<std::string> ports;
  bool bootloader = false;
  bool all = false;
  bool yes = false;
  bool launch = false;
  bool simulate = false;
  bool quiet = false;
  bool verbose = false;
  bool events = false;
  int timeoutSeconds = 30;  // no byte for this long ends a run; 0 waits for ever
  int waitSeconds = 0;      // for the target's call; 0 waits for ever
  std::string report;       // path of the JSON report, "-" for standard output
  std::string format = "auto";
  std::string address;  // where raw binary belongs, as given
  std::string output;   // convert: the hex token file to write, "-" for standard output
  // Taken from format and address.
  bool formatByContent = true;
  ImageFormat imageFormat = ImageFormat::HexToken;
  uint32_t binaryAddress = 0;
};

// Checks --format and --address and takes their values. ExitOk, or ExitUsage
// with the reason told.
int takeFormatOptions(Options* options) {
  static const struct {
    const char* name;
    ImageFormat format;
  } formats[] = {{"token", ImageFormat::HexToken},
                 {"ihex", ImageFormat::IntelHex},
                 {"srec", ImageFormat::SRecord},
                 {"elf", ImageFormat::Elf},
                 {"bin", ImageFormat::Binary}};
  options->formatByContent = options->format == "auto";
  for (const auto& known : formats) {
    if (options->format == known.name) options->imageFormat = known.format;
  }
  const bool binary = !options->formatByContent && options->imageFormat == ImageFormat::Binary;
  if (binary && options->address.empty()) {
    fprintf(stderr,
            "error: --format bin needs --address ADDR: raw binary does not say where it "
            "belongs\n");
    return ExitUsage;
  }
  if (!binary && !options->address.empty()) {
    fprintf(stderr, "error: --address is for --format bin only\n");
    return ExitUsage;
  }
  if (binary) {
    const char* text = options->address.c_str();
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 0);
    if (*text == '-' || *text == 0 || *end != 0 || errno != 0 || value > 0xFFFFFFFFull) {
      fprintf(stderr, "error: --address %s is not an address from 0 to 0xFFFFFFFF\n", text);
      return ExitUsage;
    }
    options->binaryAddress = static_cast<uint32_t>(value);
  }
  return ExitOk;
}

// Whether a file refused as hex token text looks like raw binary.
bool looksBinary(const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size() && i < 4096; ++i) {
    const uint8_t c = bytes[i];
    if (c == 0 || c >= 0x80 || (c < 0x20 && !strchr("\t\n\v\f\r", c))) return true;
  }
  return false;
}

// What a run is waiting for, for the message when the target falls silent.
struct RunWatch {
  const RunReport* inner;
  int eraseSteps;
  int programSteps;
};

const char* waitName(const RunWatch& watch, const std::string& command) {
  if (command == "erase" || watch.eraseSteps < 20) return "erasing";
  return "programming";
}

// Chooses the port the link opens: a device path on POSIX, COMn on Windows.
bool selectPort(const std::string& device, std::string* error) {
#ifdef _WIN32
  int number = 0;
  char rest = 0;
  if (sscanf(device.c_str(), "%*1[Cc]%*1[Oo]%*1[Mm]%d%c", &number, &rest) != 1 || number < 1 ||
      number > 10) {
    *error = "--port takes COM1 to COM10 on Windows, not \"" + device + "\"";
    return false;
  }
  serialSettings.portNumber = number;
#else
  (void)error;
  setPortDevicePath(1, device.c_str());
  serialSettings.portNumber = 1;
#endif
  return true;
}

// Ends the wait for the target's call after `seconds` (0: never), unless
// `done` is set first.
std::thread startWaitLimit(int seconds, std::atomic<int>* done) {
  if (seconds <= 0) return std::thread();
  return std::thread([seconds, done] {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done->load() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (done->load()) return;
    waitExpired.store(1);
    requestLinkAbort();
  });
}

// Waits for the target's call after a reset. ExitOk once connected.
int waitForCall(const std::string& device, Progress* progress, std::string* failure) {
  std::string text =
      "Waiting for the target on " + device + ": reset the target now (Ctrl-C to stop).";
  progressNote(progress, text.c_str());
  bool lineLostNoted = false;
  for (;;) {
    int32_t result = connectToTarget(serialSettings);
    if (result == LinkOk) {
      text = "Connected to the target on " + device + " (115200 8-N-1).";
      progressNote(progress, text.c_str());
      return ExitOk;
    }
    if (waitExpired.load()) {
      *failure = "no target called on " + device;
      fprintf(stderr, "error: %s\n", failure->c_str());
      return ExitCommunicationError;
    }
    if (result == LinkAborted || interrupted.load()) {
      progressNote(progress, "Interrupted: the port is closed.");
      *failure = "Interrupted: the port is closed.";
      return ExitInterrupted;
    }
    // A port that went away while we waited is waited for; one that never
    // opened is an error.
    const bool lineLost =
        result == LinkPortUnavailable && (lineLostNoted || lastReadEnd() == ReadEnd::LineFailed);
    if (result == LinkPortUnavailable && !lineLost) {
      text = "Cannot Connect to " + device;
      fprintf(stderr, "error: COM Port Error: %s\n", text.c_str());
      *failure = "COM Port Error: " + text;
      return ExitPortError;
    }
    if (lineLost) {
      // An adapter unplugged, a board powered off: wait for it to come back.
      if (!lineLostNoted) progressNote(progress, "The line went away: waiting for it to return.");
      lineLostNoted = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      continue;
    }
    lineLostNoted = false;
    // The target did not confirm: wait for its next call.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

int waitForTarget(const std::string& device, int waitSeconds, Progress* progress,
                  std::string* failure) {
  std::atomic<int> done{0};
  std::thread limit = startWaitLimit(waitSeconds, &done);
  int code = waitForCall(device, progress, failure);
  done.store(1);
  if (limit.joinable()) limit.join();
  // A limit that struck just as the target connected must not end the run.
  if (code == ExitOk) clearLinkAbort();
  return code;
}

// Names the wait when a run ended because the target fell silent or the
// line failed; empty when it ended for another reason.
std::string lostLinkText(const RunWatch& watch, const std::string& command, int timeoutSeconds) {
  char text[160];
  switch (lastReadEnd()) {
    case ReadEnd::IdleLimit:
    case ReadEnd::TimeLimit:
      snprintf(text, sizeof text, "no reply from the target for %d s while %s",
               lastReadEnd() == ReadEnd::IdleLimit ? timeoutSeconds : TimedReadMilliseconds / 1000,
               waitName(watch, command));
      return text;
    case ReadEnd::LineFailed:
      snprintf(text, sizeof text, "the line to the target failed while %s (unplugged?)",
               waitName(watch, command));
      return text;
    default:
      return "";
  }
}

RunReport watchedReport(RunWatch* watch) {
  RunReport report = *watch->inner;
  report.context = watch;
  report.stepErase = [](void* context) {
    RunWatch* w = static_cast<RunWatch*>(context);
    ++w->eraseSteps;
    w->inner->stepErase(w->inner->context);
  };
  report.stepProgram = [](void* context) {
    RunWatch* w = static_cast<RunWatch*>(context);
    ++w->programSteps;
    w->inner->stepProgram(w->inner->context);
  };
  report.showMessage = [](void* context, const char* text, const char* caption, unsigned icon,
                          MessageOwner owner) {
    RunWatch* w = static_cast<RunWatch*>(context);
    w->inner->showMessage(w->inner->context, text, caption, icon, owner);
  };
  report.linkLost = [](void* context) {
    RunWatch* w = static_cast<RunWatch*>(context);
    w->inner->linkLost(w->inner->context);
  };
  return report;
}

// A file read for a run, turned into what the run reads.
struct LoadedImage {
  ImageSnapshot run;  // the file itself for a hex token file, else its hex token text
  ImageFormat format = ImageFormat::HexToken;
  std::string sha256;  // of the file's bytes
  ImageSnapshot file;  // the bytes of a stream, when asked for
};

// The cursors every run of the command line starts from: a fresh process's,
// or the start address of a converted image.
ReaderCursors startCursors(const ImageSnapshot& run) {
  return runStartCursors(run, ReaderCursors{0, 0});
}

// Reads the image whole, converts it from its format and refuses it before
// anyone is asked to reset a board for it. The run then programs these very
// bytes.
int loadAndCheck(const std::string& path, const Options& options, LoadedImage* loaded,
                 std::string* failure, bool keepFile = false) {
  ImageSnapshot* image = &loaded->run;
  ImageLoadFault loadFault;
  if (!loadImageFile(path.c_str(), image, &loadFault)) {
    if (interrupted.load()) {
      // Ctrl-C while waiting for a FIFO's writer.
      *failure = "Interrupted: the file was not read.";
      fprintf(stderr, "%s\n", failure->c_str());
      return ExitInterrupted;
    }
    *failure = std::string("File Error: ") +
               fileOpenErrorText(options.bootloader ? ProgramTarget::Bootloader
                                                    : ProgramTarget::Application) +
               " (" + path + ": " + imageLoadReason(loadFault) + ")";
    fprintf(stderr, "error: %s\n", failure->c_str());
    return ExitFileError;
  }
  loaded->sha256 = sha256Hex(image->bytes.data(), image->bytes.size());
  if (keepFile && image->stream) loaded->file = *image;
  loaded->format = options.formatByContent
                       ? detectImageFormat(image->bytes.data(), image->bytes.size())
                       : options.imageFormat;
  const bool binaryLooking = loaded->format == ImageFormat::HexToken && options.formatByContent &&
                             looksBinary(image->bytes);
  FirmwareImage parsed;
  HexFileFault fault;
  if (!prepareRunImage(image, loaded->format, options.binaryAddress, &parsed, &fault) ||
      !checkHexTokenFile(*image, startCursors(*image), &fault)) {
    char text[400];
    if (fault.line == 0) {
      snprintf(text, sizeof text, "File Error: %s: %s", path.c_str(), fault.message);
    } else {
      snprintf(text, sizeof text, "File Error: %s, line %d: %s.", path.c_str(), fault.line,
               fault.message);
    }
    *failure = text;
    fprintf(stderr, "error: %s\n", text);
    if (binaryLooking) {
      fprintf(stderr, "A raw binary file needs --format bin --address ADDR.\n");
    }
    return ExitFileError;
  }
  if (options.verbose) {
    for (const std::string& note : parsed.notes) fprintf(stderr, "note: %s\n", note.c_str());
  }
  return ExitOk;
}

// k4471-cli info: what a run of the file would program.
int showInfo(const Options& options) {
  LoadedImage loaded;
  std::string failure;
  if (int code = loadAndCheck(options.file, options, &loaded, &failure)) return code;
  unsigned long blocks = 0;
  const FirmwareImage image = programmedImage(loaded.run, startCursors(loaded.run), &blocks);
  unsigned long long bytes = 0;
  printf("File:     %s\n", options.file.c_str());
  printf("Format:   %s\n", imageFormatName(loaded.format));
  for (const ImageSegment& segment : image.segments) {
    const uint32_t last = static_cast<uint32_t>(segment.address + segment.bytes.size() - 1);
    printf("%s %08" PRIX32 "-%08" PRIX32 "  %zu bytes\n",
           &segment == &image.segments.front() ? "Ranges:  " : "         ", segment.address, last,
           segment.bytes.size());
    bytes += segment.bytes.size();
  }
  printf("Data:     %llu bytes in %lu block%s\n", bytes, blocks, blocks == 1 ? "" : "s");
  printf("SHA-256:  %s (of the file's bytes)\n", loaded.sha256.c_str());
  return ExitOk;
}

// k4471-cli convert: the image a run would program, as a hex token file.
int convertImage(const Options& options) {
  const std::string& out = options.output;
  if (options.file != "-" && out != "-" && sameFile(options.file, out)) {
    fprintf(stderr, "error: %s is the file to convert; convert never overwrites it\n", out.c_str());
    return ExitUsage;
  }
  LoadedImage loaded;
  std::string failure;
  if (int code = loadAndCheck(options.file, options, &loaded, &failure)) return code;
  unsigned long blocks = 0;
  const FirmwareImage image = programmedImage(loaded.run, startCursors(loaded.run), &blocks);
  std::string text;
  HexFileFault fault;
  if (!hexTokenTextFor(image, &text, &fault)) {
    fprintf(stderr,
            "error: File Error: %s: %s; program this file itself instead (both the desktop tool "
            "and k4471-cli place it)\n",
            options.file.c_str(), fault.message);
    return ExitFileError;
  }
  FILE* file = out == "-" ? stdout : fopen(out.c_str(), "wb");
  int error = file ? 0 : errno;
  if (file && fwrite(text.data(), 1, text.size(), file) != text.size()) error = errno;
  if (file && (file == stdout ? fflush(file) : fclose(file)) != 0 && error == 0) error = errno;
  if (error != 0) {
    fprintf(stderr, "error: cannot write %s: %s\n", out.c_str(), strerror(error));
    if (file && file != stdout) remove(out.c_str());
    return ExitFileError;
  }
  return ExitOk;
}

// Asks before the entire flash is erased. ExitOk to go on, ExitUsage when
// there is nobody to ask, or -1 when the answer was no.
int confirmEraseAll(const Options& options) {
  if (options.yes) return ExitOk;
  if (!isTerminal(stdin)) {
    fprintf(stderr, "error: erase --all needs --yes when there is no terminal to ask\n");
    return ExitUsage;
  }
  fprintf(stderr, "Warning: %s\nType \"yes\" to erase the entire flash: ", EraseAllWarningText);
  fflush(stderr);
  char answer[16] = {0};
  if (!fgets(answer, sizeof answer, stdin)) return -1;
  return strncmp(answer, "yes", 3) == 0 ? ExitOk : -1;
}

// Opens the report file before any board is addressed, so that a report that
// cannot be written is known before anything is programmed.
FILE* openReport(const std::string& path) {
  FILE* out = path == "-" ? stdout : fopen(path.c_str(), "w");
  if (!out) {
    fprintf(stderr, "error: cannot write the report %s: %s\n", path.c_str(), strerror(errno));
  }
  return out;
}

// Writes the report of one board, or of a gang's boards, one object a line.
bool writeReport(FILE* out, const std::string& path, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) fprintf(out, "%s\n", line.c_str());
  bool ok = fflush(out) == 0 && !ferror(out);
  if (out != stdout) ok = fclose(out) == 0 && ok;
  if (!ok) fprintf(stderr, "error: cannot write the report %s\n", path.c_str());
  return ok;
}

int runOnOneTarget(const std::string& command, const Options& options, BoardReport* board) {
  Progress progress = progressFor(options.events ? stdout : stderr, options.quiet, options.events);
  LoadedImage loaded;
  const ImageSnapshot& image = loaded.run;
  board->file = options.file;
  if (command == "program") {
    board->failedStep = "file";
    int code = loadAndCheck(options.file, options, &loaded, &board->message);
    if (code != ExitOk) return code;
    board->sha256 = loaded.sha256;
  }
  if (command == "erase" && options.all) {
    int code = confirmEraseAll(options);
    if (code == -1) {
      fprintf(stderr, "Nothing erased.\n");
      return ExitOk;
    }
    if (code != ExitOk) return code;
  }

  SimulatedTarget simulated;
  std::string device;
  board->failedStep = "port";
  if (options.simulate) {
    std::string error;
    if (!startSimulatedTarget(&simulated, &error)) {
      fprintf(stderr, "error: %s\n", error.c_str());
      board->message = error;
      return ExitPortError;
    }
    device = simulated.device;
  } else {
    if (options.ports.empty()) {
      fprintf(stderr,
              "error: no port given: use --port DEVICE (see \"k4471-cli ports\") or "
              "--simulate\n");
      return ExitUsage;
    }
    device = options.ports[0];
  }
  board->port = device;
  std::string error;
  if (!selectPort(device, &error)) {
    fprintf(stderr, "error: %s\n", error.c_str());
    board->message = error;
    return ExitUsage;
  }
  int code = claimPort(device, &board->message);
  if (code != ExitOk) {
    fprintf(stderr, "error: %s\n", board->message.c_str());
    stopSimulatedTarget(&simulated);
    return code;
  }

  board->failedStep = "connect";
  code = waitForTarget(device, options.waitSeconds, &progress, &board->message);
  if (code == ExitOk) {
    ProgramTarget target =
        options.bootloader ? ProgramTarget::Bootloader : ProgramTarget::Application;
    const RunReport inner = progressReport(&progress);
    RunWatch watch = {&inner, 0, 0};
    RunOutcome outcome = RunSucceeded;
    setReadIdleLimit(options.timeoutSeconds * 1000);
    if (command == "program") {
      runAddress = byteAddress = 0;
      ProgramTally tally;
      outcome = runProgramming(target, image, watchedReport(&watch), &tally);
      board->bytes = tally.bytes;
      board->blocks = tally.blocks;
      board->failedStep = tally.failedStep;
    } else if (command == "erase") {
      EraseMode mode = options.all ? EraseMode::EntireFlash : EraseMode::Default;
      outcome = runErase(mode, watchedReport(&watch));
      board->failedStep = outcome == RunSucceeded ? "" : "erase";
    } else {
      board->failedStep.clear();
    }
    setReadIdleLimit(0);
    code = exitCodeOf(outcome);
    progressFinish(&progress);
    board->message = progress.failure;
    if (code == ExitCommunicationError) {
      std::string why = lostLinkText(watch, command, options.timeoutSeconds);
      if (!why.empty()) {
        fprintf(stderr, "error: %s\n", why.c_str());
        board->message = why;
      }
    }
    if (outcome == RunInterrupted) {
      const char* text = command == "program"
                             ? PartialImageText
                             : "Interrupted: the erase did not finish; erase the target again.";
      progressNote(&progress, text);
      if (options.quiet || options.events) fprintf(stderr, "%s\n", text);
      board->message = text;
    }
    bool launch = command == "launch" || (options.launch && code == ExitOk);
    if (launch && code == ExitOk) {
      launchTarget();
      progressNote(&progress, "Target application launched.");
    } else {
      closeTargetPort();
    }
    if (options.simulate && command == "program" && code == ExitOk) {
      std::string verdict;
      if (!simulatedFlashHolds(&simulated, image, &verdict)) code = ExitCommunicationError;
      progressNote(&progress, verdict.c_str());
    }
  }
  stopSimulatedTarget(&simulated);
  return code;
}

int listPorts() {
  std::vector<PortInfo> ports = listSerialPorts();
  if (ports.empty()) {
    printf("No serial ports found.\n");
    return ExitOk;
  }
  for (const PortInfo& port : ports) {
    printf("%-24s %s\n", port.device.c_str(), port.description.c_str());
  }
  return ExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  prepareStandardStreams();
  auto started = std::chrono::steady_clock::now();
  std::time_t startTime = std::time(nullptr);
  CLI::App app{"Program, erase and launch a K4471 target board through its serial bootloader."};
  app.set_version_flag("--version", std::string("k4471-cli ") + K4471_VERSION);
  app.footer(ExitCodesText);
  app.require_subcommand(1);

  Options options;
  auto addFormat = [&](CLI::App* command) {
    command
        ->add_option("--format", options.format,
                     "the file's format: auto (by content: Intel HEX, S-record, ELF, else hex "
                     "token), token, ihex, srec, elf, or bin (raw binary, with --address)")
        ->capture_default_str()
        ->check(CLI::IsMember({"auto", "token", "ihex", "srec", "elf", "bin"}));
    command->add_option("--address", options.address,
                        "where a raw binary file's first byte belongs (0x4000 or 16384)");
  };
  auto addCommon = [&](CLI::App* command) {
    command->add_option("--port", options.ports,
                        "the target's serial port: a device such as /dev/ttyUSB0 (COM1 to COM10 "
                        "on Windows); give it once per board to program several at once");
    command->add_flag("--simulate", options.simulate,
                      "use a simulated target on a pseudo-terminal instead of a board");
    command->add_flag("-q,--quiet", options.quiet, "show failures only");
    command->add_flag("-v,--verbose", options.verbose,
                      "show the link's trace lines, and the start addresses the file names (they "
                      "are not programmed)");
    command
        ->add_option("--wait", options.waitSeconds,
                     "give up when no target has called after SECONDS (default: wait for "
                     "ever)")
        ->check(CLI::NonNegativeNumber);
  };
  auto addTimeout = [&](CLI::App* command) {
    command
        ->add_option("--timeout", options.timeoutSeconds,
                     "end the run when the target sends nothing for SECONDS; 0 waits for ever")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
  };

  CLI::App* program = app.add_subcommand(
      "program", "program a firmware image (hex token, Intel HEX, S-record, ELF, raw binary)");
  program
      ->add_option("FILE", options.file,
                   "the image file (- for standard input), its format recognised by its content")
      ->required();
  addFormat(program);
  program->add_flag("--bootloader", options.bootloader,
                    "program a new bootloader instead of an application");
  program->add_flag("--launch", options.launch, "start the application after programming");
  program->add_option("--report", options.report,
                      "write the result of each board as a line of JSON to this file (- for "
                      "standard output)");
  program->add_flag("--progress-events", options.events)->group("");  // for gang workers
  addCommon(program);
  addTimeout(program);

  CLI::App* erase = app.add_subcommand("erase", "erase the flash, sparing the bootloader");
  erase->add_flag("--all", options.all, "erase the entire flash, bootloader included");
  erase->add_flag("-y,--yes", options.yes, "do not ask before erasing the entire flash");
  addCommon(erase);
  addTimeout(erase);

  CLI::App* launch = app.add_subcommand("launch", "start the application on the target");
  addCommon(launch);

  CLI::App* ports = app.add_subcommand("ports", "list the serial ports of this machine");

  CLI::App* info = app.add_subcommand(
      "info",
      "show a firmware image's format, address ranges, size in bytes and blocks, and the SHA-256 "
      "of the file's bytes (as in --report)");
  info->add_option("FILE", options.file, "the image file (- for standard input)")->required();
  addFormat(info);
  info->add_flag("-v,--verbose", options.verbose, "also show the start addresses the file names");

  CLI::App* convert = app.add_subcommand(
      "convert",
      "write a firmware image as a hex token file, for earlier desktop tools in the field");
  convert->add_option("FILE", options.file, "the image file (- for standard input)")->required();
  convert->add_option("OUT", options.output, "the hex token file to write (- for standard output)")
      ->required();
  addFormat(convert);
  convert->add_flag("-v,--verbose", options.verbose,
                    "also show the start addresses the file names");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? ExitOk : ExitUsage;
  }

  if (ports->parsed()) return listPorts();
  if (int code = takeFormatOptions(&options)) return code;
  if (info->parsed()) return showInfo(options);
  if (convert->parsed()) return convertImage(options);
  if (options.verbose) setTraceSink(traceToStderr);
  if (options.events) endWithParent();
  onInterrupt(interrupt);

  std::string command = program->parsed() ? "program" : erase->parsed() ? "erase" : "launch";
  if (options.simulate && !options.ports.empty()) {
    fprintf(stderr, "error: --simulate and --port exclude each other\n");
    return ExitUsage;
  }
  for (size_t i = 0; i < options.ports.size(); ++i) {
    for (size_t j = i + 1; j < options.ports.size(); ++j) {
      if (options.ports[i] == options.ports[j]) {
        fprintf(stderr, "error: --port %s is given twice\n", options.ports[i].c_str());
        return ExitUsage;
      }
    }
  }
  if (options.ports.size() > 1 && command != "program") {
    fprintf(stderr, "error: several ports are for programming only\n");
    return ExitUsage;
  }
  FILE* report = nullptr;
  if (!options.report.empty() && !options.events) {
    report = openReport(options.report);
    if (!report) return ExitFileError;
  }
  if (options.ports.size() > 1) {
    LoadedImage loaded;
    std::string failure;
    if (int code = loadAndCheck(options.file, options, &loaded, &failure, true)) {
      // No board is addressed: each is reported with the file's fault.
      std::vector<std::string> lines;
      for (const std::string& port : options.ports) {
        BoardReport board;
        board.port = port;
        board.file = options.file;
        board.exitCode = code;
        board.started = startTime;
        board.failedStep = "file";
        board.message = failure;
        lines.push_back(boardReportLine(board));
      }
      if (report) writeReport(report, options.report, lines);
      return code;
    }
    std::vector<std::string> reports;
    std::vector<std::string> passOn = {"--timeout", std::to_string(options.timeoutSeconds),
                                       "--wait",    std::to_string(options.waitSeconds),
                                       "--format",  options.format};
    if (!options.address.empty()) passOn.insert(passOn.end(), {"--address", options.address});
    // A stream is handed to the workers as the file's own bytes.
    int code = runGang(selfPath(argv[0]), options.file, options.ports, options.bootloader,
                       options.launch, options.quiet, options.report.empty() ? nullptr : &reports,
                       loaded.file.stream ? &loaded.file : nullptr, passOn);
    // The workers were interrupted with the parent.
    if (interrupted.load()) code = ExitInterrupted;
    if (report && !writeReport(report, options.report, reports) && code == ExitOk) {
      code = ExitFileError;
    }
    return code;
  }

  BoardReport board;
  board.started = startTime;
  board.exitCode = runOnOneTarget(command, options, &board);
  if (!options.report.empty()) {
    board.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (board.exitCode == ExitOk) board.failedStep.clear();
    std::string line = boardReportLine(board);
    if (options.events) {
      // A gang's worker: the parent writes the report.
      printf("report %s\n", line.c_str());
      fflush(stdout);
    } else if (!writeReport(report, options.report, {line}) && board.exitCode == ExitOk) {
      return ExitFileError;
    }
  }
  return board.exitCode;
}
