// k4471-cli: program, erase and launch a target from a terminal or a script,
// with the same link and run logic as the desktop tool.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli/board_report.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/gang.h"
#include "cli/terminal.h"
#include "link/serial_port.h"
#include "link/trace.h"

namespace {

const char* const ExitCodesText =
    "Exit codes:\n"
    "  0    success\n"
    "  2    usage error (also: a port given twice, erase --all without --yes and no terminal)\n"
    "  3    file error: the file does not open, is not in its format or holds no data (each\n"
    "       refused before any board is addressed); convert cannot write OUT\n"
    "  4    the port cannot be opened, is not a serial port or is busy\n"
    "  5    erase error: the target reported a failure while erasing\n"
    "  6    communication error: the target did not answer as it should, gave no reply\n"
    "       within --timeout, the line failed, or no target called within --wait\n"
    "  7    gang run: one or more targets failed (the summary names them)\n"
    "  130  interrupted (Ctrl-C, a termination request or a hang-up)\n";

// A signal: waits end, and a run stops between two blocks.
void interrupt() {
  interrupted.store(1);
  requestRunStop();
  requestLinkAbort();
}

// Whole seconds from 0 to LongestWaitSeconds: larger values are refused
// rather than wrapped into a short wait.
CLI::Validator secondsUpToAYear() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const char* digits = text.c_str();
        size_t count = strspn(digits, "0123456789");
        if (count == 0 || digits[count] != '\0') return "takes whole seconds, not \"" + text + "\"";
        if (count > 9 || std::stoll(text) > LongestWaitSeconds) {
          return "takes at most " + std::to_string(LongestWaitSeconds) +
                 " seconds (one year), not " + text;
        }
        return std::string();
      },
      "");
}

void traceToStderr(const char* text) {
  fputs(text, stderr);
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

}  // namespace

std::atomic<int> interrupted{0};

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
                     "ever; at most 31536000, one year)")
        ->type_name("SECONDS")
        ->check(secondsUpToAYear());
  };
  auto addTimeout = [&](CLI::App* command) {
    command
        ->add_option("--timeout", options.timeoutSeconds,
                     "end the run when a reply of the target has not come SECONDS after its "
                     "wait began (0 waits for ever; at most 31536000, one year)")
        ->type_name("SECONDS")
        ->capture_default_str()
        ->check(secondsUpToAYear());
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
