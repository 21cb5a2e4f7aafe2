// k4471-cli: program, erase and launch a target from a terminal or a script,
// with the same link and run logic as the desktop tool.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cli/exit_codes.h"
#include "cli/gang.h"
#include "cli/progress.h"
#include "cli/simulated_target.h"
#include "cli/terminal.h"
#include "image/hex_token_reader.h"
#include "link/bootloader.h"
#include "link/trace.h"
#include "operations/run_logic.h"

namespace {

const char* const ExitCodesText =
    "Exit codes:\n"
    "  0    success\n"
    "  2    usage error\n"
    "  3    file error: the file does not open or is not a hex token file\n"
    "  4    the port cannot be opened\n"
    "  5    erase error: the target reported a failure while erasing\n"
    "  6    communication error: the target did not answer as it should, fell silent for\n"
    "       --timeout, the line failed, or no target called within --wait\n"
    "  7    gang run: one or more targets failed (the summary names them)\n"
    "  130  interrupted (Ctrl-C)\n";

std::atomic<int> interrupted{0};
// Set when the wait for the target's call has run out of time.
std::atomic<int> waitExpired{0};

void interrupt() {
  interrupted.store(1);
  requestLinkAbort();
}

void traceToStderr(const char* text) {
  fputs(text, stderr);
}

int exitCodeOf(RunOutcome outcome) {
  if (interrupted.load()) return ExitInterrupted;
  switch (outcome) {
    case RunSucceeded:
      return ExitOk;
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
};

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
int waitForCall(const std::string& device, Progress* progress) {
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
      fprintf(stderr, "error: no target called on %s\n", device.c_str());
      return ExitCommunicationError;
    }
    if (result == LinkAborted || interrupted.load()) {
      progressNote(progress, "Interrupted: the port is closed.");
      return ExitInterrupted;
    }
    // A port that went away while we waited is waited for; one that never
    // opened is an error.
    const bool lineLost =
        result == LinkPortUnavailable && (lineLostNoted || lastReadEnd() == ReadEnd::LineFailed);
    if (result == LinkPortUnavailable && !lineLost) {
      text = "Cannot Connect to " + device;
      fprintf(stderr, "error: COM Port Error: %s\n", text.c_str());
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

int waitForTarget(const std::string& device, int waitSeconds, Progress* progress) {
  std::atomic<int> done{0};
  std::thread limit = startWaitLimit(waitSeconds, &done);
  int code = waitForCall(device, progress);
  done.store(1);
  if (limit.joinable()) limit.join();
  // A limit that struck just as the target connected must not end the run.
  if (code == ExitOk) clearLinkAbort();
  return code;
}

// Names the wait when a run ended because the target fell silent or the
// line failed.
void explainLostLink(const RunWatch& watch, const std::string& command, int timeoutSeconds) {
  switch (lastReadEnd()) {
    case ReadEnd::IdleLimit:
      fprintf(stderr, "error: no reply from the target for %d s while %s\n", timeoutSeconds,
              waitName(watch, command));
      break;
    case ReadEnd::TimeLimit:
      fprintf(stderr, "error: no reply from the target for %d s while %s\n",
              TimedReadMilliseconds / 1000, waitName(watch, command));
      break;
    case ReadEnd::LineFailed:
      fprintf(stderr, "error: the line to the target failed while %s (unplugged?)\n",
              waitName(watch, command));
      break;
    default:
      break;
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

// Refuses a file before anyone is asked to reset a board for it.
int checkFileFirst(const std::string& path, bool bootloader) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) {
    fprintf(stderr, "error: File Error: %s (%s)\n",
            fileOpenErrorText(bootloader ? ProgramTarget::Bootloader : ProgramTarget::Application),
            path.c_str());
    return ExitFileError;
  }
  HexFileFault fault;
  int ok = checkHexTokenFile(file, &fault);
  fclose(file);
  if (!ok) {
    fprintf(stderr, "error: File Error: %s, line %d: %s.\n", path.c_str(), fault.line,
            fault.message);
    return ExitFileError;
  }
  return ExitOk;
}

bool confirmEraseAll(const Options& options) {
  if (options.yes) return true;
  fprintf(stderr, "Warning: %s\nType \"yes\" to erase the entire flash: ", EraseAllWarningText);
  fflush(stderr);
  char answer[16] = {0};
  if (!fgets(answer, sizeof answer, stdin)) return false;
  return strncmp(answer, "yes", 3) == 0;
}

int runOnOneTarget(const std::string& command, const Options& options) {
  Progress progress = progressFor(options.events ? stdout : stderr, options.quiet, options.events);
  if (command == "program") {
    if (int code = checkFileFirst(options.file, options.bootloader)) return code;
  }
  if (command == "erase" && options.all && !confirmEraseAll(options)) {
    fprintf(stderr, "Nothing erased.\n");
    return ExitOk;
  }

  SimulatedTarget simulated;
  std::string device;
  if (options.simulate) {
    std::string error;
    if (!startSimulatedTarget(&simulated, &error)) {
      fprintf(stderr, "error: %s\n", error.c_str());
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
  std::string error;
  if (!selectPort(device, &error)) {
    fprintf(stderr, "error: %s\n", error.c_str());
    return ExitUsage;
  }

  int code = waitForTarget(device, options.waitSeconds, &progress);
  if (code == ExitOk) {
    ProgramTarget target =
        options.bootloader ? ProgramTarget::Bootloader : ProgramTarget::Application;
    const RunReport inner = progressReport(&progress);
    RunWatch watch = {&inner, 0, 0};
    setReadIdleLimit(options.timeoutSeconds * 1000);
    if (command == "program") {
      runAddress = byteAddress = 0;
      code = exitCodeOf(runProgramming(target, options.file.c_str(), watchedReport(&watch)));
    } else if (command == "erase") {
      EraseMode mode = options.all ? EraseMode::EntireFlash : EraseMode::Default;
      code = exitCodeOf(runErase(mode, watchedReport(&watch)));
    }
    setReadIdleLimit(0);
    progressFinish(&progress);
    if (code == ExitCommunicationError) explainLostLink(watch, command, options.timeoutSeconds);
    bool launch = command == "launch" || (options.launch && code == ExitOk);
    if (launch && code == ExitOk) {
      launchTarget();
      progressNote(&progress, "Target application launched.");
    } else {
      closeTargetPort();
    }
    if (options.simulate && command == "program" && code == ExitOk) {
      std::string verdict;
      if (!simulatedFlashHolds(&simulated, options.file, &verdict)) code = ExitCommunicationError;
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
  CLI::App app{"Program, erase and launch a K4471 target board through its serial bootloader."};
  app.set_version_flag("--version", std::string("k4471-cli ") + K4471_VERSION);
  app.footer(ExitCodesText);
  app.require_subcommand(1);

  Options options;
  auto addCommon = [&](CLI::App* command) {
    command->add_option("--port", options.ports,
                        "the target's serial port: a device such as /dev/ttyUSB0 (COM1 to COM10 "
                        "on Windows); give it once per board to program several at once");
    command->add_flag("--simulate", options.simulate,
                      "use a simulated target on a pseudo-terminal instead of a board");
    command->add_flag("-q,--quiet", options.quiet, "show failures only");
    command->add_flag("-v,--verbose", options.verbose, "show the link's trace lines");
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

  CLI::App* program = app.add_subcommand("program", "program a hex token file into the flash");
  program->add_option("FILE", options.file, "the hex token file")->required();
  program->add_flag("--bootloader", options.bootloader,
                    "program a new bootloader instead of an application");
  program->add_flag("--launch", options.launch, "start the application after programming");
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

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? ExitOk : ExitUsage;
  }

  if (ports->parsed()) return listPorts();
  if (options.verbose) setTraceSink(traceToStderr);
  onInterrupt(interrupt);

  std::string command = program->parsed() ? "program" : erase->parsed() ? "erase" : "launch";
  if (options.simulate && !options.ports.empty()) {
    fprintf(stderr, "error: --simulate and --port exclude each other\n");
    return ExitUsage;
  }
  if (options.ports.size() > 1) {
    if (command != "program") {
      fprintf(stderr, "error: several ports are for programming only\n");
      return ExitUsage;
    }
    if (int code = checkFileFirst(options.file, options.bootloader)) return code;
    const std::vector<std::string> passOn = {"--timeout", std::to_string(options.timeoutSeconds),
                                             "--wait", std::to_string(options.waitSeconds)};
    return runGang(selfPath(argv[0]), options.file, options.ports, options.bootloader,
                   options.launch, options.quiet, passOn);
  }
  return runOnOneTarget(command, options);
}
