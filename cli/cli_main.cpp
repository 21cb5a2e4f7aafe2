// k4471-cli: program, erase and launch a target from a terminal or a script,
// with the same link and run logic as the desktop tool.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/devloop_options.h"
#include "cli/exit_codes_text.h"
#include "cli/image_commands.h"
#include "cli/number_options.h"
#include "cli/watch.h"
#include "station/monitor.h"
#include "station/port_selection.h"
#include "cli/ports.h"
#include "cli/record_commands.h"
#include "cli/reset_line.h"
#include "cli/serve_command.h"
#include "station/station_console.h"
#include "cli/station_file.h"
#include "station/station_record.h"
#include "cli/station_options.h"
#include "image/image_snapshot.h"
#include "link/bootloader.h"
#include "link/serial_port.h"
#include "link/trace.h"
#include "operations/exit_codes.h"
#include "operations/run_logic.h"
#include "station/app_check.h"
#include "station/board_report.h"
#include "station/board_run.h"
#include "station/gang.h"
#include "station/interrupt.h"
#include "station/output_file.h"
#include "station/run_image.h"
#include "station/say.h"
#include "station/station_worker.h"
#include "station/worker_process.h"
#include "station/worker_protocol.h"

namespace {

// A signal: waits end, and a run stops between two blocks.
void interrupt() {
  interrupted.store(1);
  requestRunStop();
  requestLinkAbort();
}

void traceToStderr(const char* text) {
  fputs(text, stderr);
}

// Checks the ports before anything is opened: ExitOk, or ExitUsage told.
int checkPorts(const Options& options, TargetCommand command) {
  if (options.link.simulate && !options.link.ports.empty()) {
    fprintf(stderr, "error: --simulate and --port exclude each other\n");
    return ExitUsage;
  }
  for (const std::string& port : options.link.ports) {
    const std::string problem = netAddressProblem(port);
    if (problem.empty()) continue;
    fprintf(stderr, "error: --port %s: %s\n", port.c_str(), problem.c_str());
    return ExitUsage;
  }
  std::string error;
  if (checkPortTexts(options.link.ports, &error) != ExitOk) {
    fprintf(stderr, "error: %s\n", error.c_str());
    return ExitUsage;
  }
  setOtherPorts(options.link.otherPorts);
  if (options.link.ports.size() > 1 && command != TargetCommand::Program) {
    fprintf(stderr, "error: several ports are for programming only\n");
    return ExitUsage;
  }
  // Each worker must be reachable by an interrupt, or the gang could not stop.
  if (options.link.ports.size() > static_cast<size_t>(MaxForwardedWorkers)) {
    fprintf(stderr, "error: at most %d ports at once (%zu given)\n", MaxForwardedWorkers,
            options.link.ports.size());
    return ExitUsage;
  }
  return ExitOk;
}

// A report that is the image file (under any name) would empty it before it
// is read: ExitOk, or ExitUsage told.
int checkReportPath(const Options& options) {
  if (options.reporting.path.empty() || options.reporting.path == "-") return ExitOk;
  const std::string image = options.image.file == "-" ? "/dev/stdin" : options.image.file;
  if (!sameFile(image, options.reporting.path)) return ExitOk;
  fprintf(stderr, "error: --report %s is the image file: the report would overwrite it\n",
          options.reporting.path.c_str());
  return ExitUsage;
}

// Several boards at once, each by a worker fed the bytes read here.
int programGang(const Options& options, ReportFile* report, const char* argv0,
                std::time_t startTime, StationRecord* record) {
  LoadedImage loaded;
  const Failure failure = loadForGang(options, &loaded);
  if (failure.exitCode != ExitOk) {
    // No board is addressed: each is reported with the file's fault.
    for (const std::string& port : options.link.ports) {
      BoardReport board;
      board.port = port;
      board.slot = slotOf(options, static_cast<size_t>(&port - options.link.ports.data()));
      board.file = options.image.file;
      board.exitCode = reportFailure(failure, &board);
      board.started = startTime;
      writeReportLine(report, boardReportLine(board));
    }
    closeReportFile(report, nullptr);
    return failure.exitCode;
  }
  const GangRun run = {selfPath(argv0), &options, report->open ? report : nullptr, &loaded.file,
                       record};
  int code = runGang(run);
  // The workers were interrupted with the parent.
  // A station stopped between two boards ends by its boards' results.
  if (interrupted.load() && !options.station.loop) code = ExitInterrupted;
  const char* boards =
      code == ExitOk ? "every board is programmed" : "the summary above gives each board's result";
  if (!closeReportFile(report, boards) && code == ExitOk) code = ExitFileError;
  return code;
}

void addFormatOptions(CLI::App* command, Options* options) {
  command
      ->add_option("--format", options->image.format,
                   "the file's format: auto (by content: Intel HEX, S-record, ELF, else hex "
                   "token), token, ihex, srec, elf, or bin (raw binary, with --address)")
      ->capture_default_str()
      ->check(CLI::IsMember({"auto", "token", "ihex", "srec", "elf", "bin"}));
  command->add_option("--address", options->image.address,
                      "where a raw binary file's first byte belongs (0x4000 or 16384)");
}

void addMapOptions(CLI::App* command, Options* options) {
  command->add_option("--flash", options->flashMap.flash,
                      "the board's flash as START:SIZE (0x0:0x80000): an image with data "
                      "outside it is refused before the board is addressed");
  command->add_option("--boot-region", options->flashMap.bootRegion,
                      "the bootloader's part of the flash as START:SIZE (0x0:0x4000): an "
                      "application touching it, or a --bootloader image outside it, is refused");
}

void addCommonOptions(CLI::App* command, Options* options) {
  command->add_option("--port", options->link.ports,
                      "the target's serial port: a device such as /dev/ttyUSB0 (COM1 to COM256 "
                      "on Windows), a USB adapter by its identity or place, usb:VID:PID[:SERIAL] "
                      "or usb-path:LOCATION (Linux), or a serial server's port on the network, "
                      "rfc2217://HOST:PORT or tcp://HOST:PORT (PORT 1 to 65535); give it once per "
                      "board to program several at once");
  command->add_flag("--simulate", options->link.simulate,
                    "use a simulated target on a pseudo-terminal instead of a board");
  command->add_flag("-q,--quiet", options->quiet, "show failures only");
  command->add_flag("-v,--verbose", options->verbose,
                    "show the link's trace lines, a USB serial adapter's latency settings, and "
                    "the start addresses the file names (they are not programmed)");
  command
      ->add_option("--wait", options->link.waitSeconds,
                   "give up when no target has called after SECONDS (default: wait for "
                   "ever; at most 31536000, one year)")
      ->type_name("SECONDS")
      ->check(secondsUpToAYear());
  addResetOptions(command, options);
}

void addTimeoutOption(CLI::App* command, Options* options) {
  command
      ->add_option("--timeout", options->link.timeoutSeconds,
                   "end the run when a reply of the target has not come SECONDS after its "
                   "wait began (0 waits for ever; at most 31536000, one year)")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(secondsUpToAYear());
}

// The check that the launched application runs: a line it prints.
CLI::Option* addExpectOptions(CLI::App* command, Options* options) {
  CLI::Option* expect =
      command
          ->add_option("--expect", options->expect,
                       "after the launch, keep the port open and pass only when a line the "
                       "application prints contains TEXT ({serial}: the board's serial number "
                       "in decimal, leading zeros allowed, a whole run of digits; with program, "
                       "{crc32:START:SIZE} and {sha256:START:SIZE}: the CRC-32 and SHA-256 of "
                       "that flash range as the run leaves it, in hexadecimal, which need "
                       "--flash and --boot-region); give it again for texts on further lines, "
                       "in any order; else exit code 8")
          ->type_name("TEXT")
          ->allow_extra_args(false)
          ->check(oneLineText());
  command
      ->add_option("--expect-timeout", options->expectTimeoutSeconds,
                   "how long the application has to print the --expect text (1 to 31536000)")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(secondsUpToAYear())
      ->check(CLI::Range(int64_t{1}, LongestWaitSeconds))
      ->needs(expect);
  return expect;
}

CLI::App* addProgramCommand(CLI::App* app, Options* options) {
  CLI::App* program = app->add_subcommand(
      "program", "program a firmware image (hex token, Intel HEX, S-record, ELF, raw binary)");
  program->add_option("FILE", options->image.file,
                      "the image file (- for standard input), its format recognised by its "
                      "content; required unless the --station-file names it");
  addFormatOptions(program, options);
  addMapOptions(program, options);
  program->add_flag("--bootloader", options->image.bootloader,
                    "program a new bootloader instead of an application");
  CLI::Option* launch =
      program->add_flag("--launch", options->launch, "start the application after programming");
  addExpectOptions(program, options)->needs(launch);
  addMonitorOptions(program, launch, options);
  addWatchOptions(program, options);
  CLI::Option* reportOption = program->add_option(
      "--report", options->reporting.path,
      "write the result of each board as a line of JSON to this file (- for standard output) as "
      "the board ends; the file is emptied first, and may not be the image file, the serial "
      "file or its lock");
  reportOption->type_name("FILE");
  program
      ->add_flag("--report-append", options->reporting.append,
                 "add the lines to the end of the --report file instead of emptying it, each "
                 "with one write under a lock on the file, so that stations sharing it never "
                 "tear each other's lines")
      ->needs(reportOption);
  addStationOptions(program, options);
  addStationFileOption(program, options);
  addConsoleOptions(program, options);
  addRecordOptions(program, options);
  addCommonOptions(program, options);
  addTimeoutOption(program, options);
  return program;
}

// The subcommands, to learn which one was given.
struct Subcommands {
  CLI::App* program;
  CLI::App* erase;
  CLI::App* launch;
  CLI::App* ports;
  CLI::App* info;
  CLI::App* convert;
  CLI::App* worker;
  std::string workerPort;
  RecordCommands record;
};

void addImageCommands(CLI::App* app, Options* options, Subcommands* commands) {
  CLI::App* info = app->add_subcommand(
      "info",
      "show a firmware image's format, address ranges, size in bytes and blocks, and the SHA-256 "
      "of the file's bytes (as in --report)");
  info->add_option("FILE", options->image.file, "the image file (- for standard input)")
      ->required();
  addFormatOptions(info, options);
  addMapOptions(info, options);
  info->add_flag("-v,--verbose", options->verbose, "also show the start addresses the file names");

  CLI::App* convert = app->add_subcommand(
      "convert",
      "write a firmware image as a hex token file, for earlier desktop tools in the field");
  convert->add_option("FILE", options->image.file, "the image file (- for standard input)")
      ->required();
  convert
      ->add_option("OUT", options->image.output,
                   "the hex token file to write (- for standard output)")
      ->required();
  addFormatOptions(convert, options);
  convert->add_flag("-v,--verbose", options->verbose,
                    "also show the start addresses the file names");
  commands->info = info;
  commands->convert = convert;
}

void buildCommandLine(CLI::App* app, Options* options, Subcommands* commands) {
  app->set_version_flag("--version", std::string("k4471-cli ") + K4471_VERSION);
  app->footer(ExitCodesText);
  app->require_subcommand(1);
  commands->program = addProgramCommand(app, options);
  commands->erase = app->add_subcommand("erase", "erase the flash, sparing the bootloader");
  commands->erase->add_flag("--all", options->all, "erase the entire flash, bootloader included");
  commands->erase->add_flag("-y,--yes", options->yes, "do not ask before erasing the entire flash");
  addCommonOptions(commands->erase, options);
  addRecordOptions(commands->erase, options);
  addTimeoutOption(commands->erase, options);
  commands->launch = app->add_subcommand("launch", "start the application on the target");
  addExpectOptions(commands->launch, options);
  addMonitorOptions(commands->launch, nullptr, options);
  addCommonOptions(commands->launch, options);
  addRecordOptions(commands->launch, options);
  commands->ports = app->add_subcommand("ports", "list the serial ports of this machine");
  commands->ports->add_flag("--json",
                            "as one JSON array: each port's device, description and USB identity "
                            "(vendor_id, product_id, serial, manufacturer, product; null when "
                            "unknown)");
  addImageCommands(app, options, commands);
  // A gang's worker, started by its parent, which hands it its plan.
  commands->worker = app->add_subcommand("worker", "")->group("");
  commands->worker->add_option("PORT", commands->workerPort)->required();
}

// The options of a command that addresses a target, checked before anything
// is opened: ExitOk, or ExitUsage told.
int checkTargetOptions(Options* options, TargetCommand command) {
  if (int code = checkPorts(*options, command)) return code;
  if (int code = checkDevLoopOptions(*options, command)) return code;
  if (int code = checkReportPath(*options)) return code;
  if (int code = takeResetOptions(*options)) return code;
  if (int code = checkConsoleOptions(*options)) return code;
  std::string why;
  if (!checkExpectTexts(*options, command, &why)) {
    fprintf(stderr, "error: %s\n", why.c_str());
    return ExitUsage;
  }
  return takeStationOptions(options).exitCode;
}

// A gang's worker (`worker PORT`): its plan from the parent, then its board
// or, in a station, every board that calls on its port.
int runWorker(std::time_t startTime, std::chrono::steady_clock::time_point started) {
  endWithParent();
  onInterrupt(interrupt);
  passCrossingCalls(2);
  Options plan;
  plan.role = RunRole::Worker;
  sayToParent(stdout);  // every line for the person goes to the parent as an event
  long long size = 0;
  ImageLoadFault fault;
  FILE* in = openImageFile("-", &size, &fault);
  std::string error = "no input";
  if (!in || !readWorkerPlan(in, &plan, &error)) {
    say("error: File Error: the input from the gang: %s\n", error.c_str());
    return ExitFileError;
  }
  if (plan.verbose) setTraceSink(traceToParent);
  // A port by USB identity or place opened again must not find a sibling's adapter.
  setOtherPorts(plan.link.otherPorts);
  if (int code = takeResetOptions(plan)) return code;
  if (plan.station.loop) return runStationWorker(plan);
  ReportFile report;  // not opened: the worker's lines go to its parent
  return runOneBoard(TargetCommand::Program, plan, &report, nullptr, startTime, started);
}

}  // namespace

int main(int argc, char** argv) {
  prepareStandardStreams();
  auto started = std::chrono::steady_clock::now();
  std::time_t startTime = std::time(nullptr);
  CLI::App app{"Program, erase and launch a K4471 target board through its serial bootloader."};
  Options options;
  Subcommands commands;
  buildCommandLine(&app, &options, &commands);
  RecordOptions recordOptions;
  addRecordCommands(&app, &recordOptions, &commands.record);
  ServeOptions serveOptions;
  CLI::App* serve = addServeCommand(&app, &serveOptions);
  app.name(argv[0]);  // as the usage line names it
  const std::vector<std::string> given(argv + 1, argv + argc);
  int parsed = ExitOk;
  if (!parseCommandLine(&app, given, &parsed)) return parsed;
  if (commands.program->parsed()) {
    if (int code = takeStationFile(&app, commands.program, given, &options)) return code;
  }

  if (recordCommandGiven(commands.record)) return runRecordCommand(commands.record, recordOptions);
  if (serve->parsed()) return runServe(serveOptions);
  if (commands.ports->parsed()) return listPorts(commands.ports->get_option("--json")->count() > 0);
  if (commands.worker->parsed()) return runWorker(startTime, started);
  if (int code = takeFormatOptions(&options)) return code;
  if (commands.info->parsed()) return showInfo(options);
  if (commands.convert->parsed()) return convertImage(options);
  if (options.verbose) setTraceSink(traceToStderr);
  onInterrupt(interrupt);
  // A board behind a network or a serial server may call again before our
  // acknowledgement reaches it; that call is no missing confirmation.
  passCrossingCalls(2);

  const TargetCommand command = commands.program->parsed() ? TargetCommand::Program
                                : commands.erase->parsed() ? TargetCommand::Erase
                                                           : TargetCommand::Launch;
  if (int code = checkTargetOptions(&options, command)) return code;
  ReportFile report;
  if (!options.reporting.path.empty() &&
      !openReportFile(&report, options.reporting.path, options.reporting.append)) {
    return ExitFileError;
  }
  int code = ExitOk;
  StationRecord* record = openStationRecord(options, K4471_VERSION, &code);
  if (code != ExitOk) return code;
  if (options.watch) {
    code = runWatch(options, &report, record);
    closeStationRecord(record);
    return code;
  }
  const bool gang = options.link.ports.size() > 1 || options.station.loop || recordNumbers(record);
  code = gang ? programGang(options, &report, argv[0], startTime, record)
              : runOneBoard(command, options, &report, record, startTime, started);
  if (!gang && options.monitor) code = monitorAfterRun(options, code);
  closeStationRecord(record);
  return code;
}
