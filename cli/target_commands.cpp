// The commands of the command line that address a target: the port, the wait
// for the target's call, and the run on one target.
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "cli/ports.h"
#include "cli/progress.h"
#include "cli/simulated_target.h"
#include "image/hex_token_reader.h"
#include "link/bootloader.h"

namespace {

const char* const PartialImageText =
    "Interrupted: the target holds a partial image; program it again.";
const char* const NotStartedText =
    "Interrupted before the target was addressed: the target has not been changed.";

// Set when the wait for the target's call has run out of time.
std::atomic<int> waitExpired{0};

int exitCodeOf(RunOutcome outcome) {
  switch (outcome) {
    case RunSucceeded:
      return ExitOk;
    case RunInterrupted:
    case RunStoppedBeforeStart:
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

// What an interrupted run tells the user; nullptr when it was not interrupted.
const char* interruptionText(RunOutcome outcome, const std::string& command) {
  if (outcome == RunStoppedBeforeStart) return NotStartedText;
  if (outcome != RunInterrupted) return nullptr;
  return command == "program" ? PartialImageText
                              : "Interrupted: the erase did not finish; erase the target again.";
}

// What a run was waiting for, for the message when the target fell silent.
const char* waitName(const Progress& progress, const std::string& command) {
  if (command == "erase" || progress.eraseSteps < EraseBarSteps) return "erasing";
  return "programming";
}

// Chooses the port the link opens: a device path on POSIX, COMn on Windows.
bool selectPort(const std::string& device, std::string* error) {
  if (netPortKind(device) != NetPortKind::None) {
    setPortDevicePath(1, device.c_str());
    serialSettings.portNumber = 1;
    return true;
  }
#ifdef _WIN32
  setPortDevicePath(1, nullptr);
  int number = 0;
  char rest = 0;
  if (sscanf(device.c_str(), "%*1[Cc]%*1[Oo]%*1[Mm]%d%c", &number, &rest) != 1 || number < 1 ||
      number > 10) {
    *error =
        "--port takes COM1 to COM10, rfc2217://HOST:PORT or tcp://HOST:PORT on Windows, not \"" +
        device + "\"";
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
std::thread startWaitLimit(int64_t seconds, std::atomic<int>* done) {
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

// Opens the port as the link's, once, before the wait for the call. ExitOk,
// or ExitPortError with the reason in *failure.
int openPort(const std::string& device, std::string* failure) {
  if (openTargetPort(serialSettings) == LinkOk) return ExitOk;
  *failure = portFailureText(device, lastPortOpenFault());
  return ExitPortError;
}

// A port that went away while the command waited: gone while it waited for
// the call, or not there (yet) when opened again.
bool lineLostNow(int32_t result, bool lineLostNoted) {
  if (result != LinkPortUnavailable) return false;
  const PortOpenStatus status = lastPortOpenFault().status;
  if (status == PortOpenStatus::Opened) return lastReadEnd() == ReadEnd::LineFailed;
  return lineLostNoted && status == PortOpenStatus::Absent;
}

// Waits for the target's call after a reset. ExitOk once connected.
int waitForCall(const std::string& device, Progress* progress, std::string* failure) {
  std::string text =
      "Waiting for the target on " + device + ": reset the target now (Ctrl-C to stop).";
  progressNote(progress, text.c_str());
  bool lineLostNoted = false;
  // The first wait is on the port opened already; after that each attempt
  // opens it again.
  bool portOpen = true;
  for (;;) {
    int32_t result = portOpen ? awaitTargetCall() : connectToTarget(serialSettings);
    portOpen = false;
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
    // A port that went away while we waited is waited for; one that does
    // not open for another reason (another program took it) is an error.
    const bool lineLost = lineLostNow(result, lineLostNoted);
    if (result == LinkPortUnavailable && !lineLost) {
      *failure = portFailureText(device, lastPortOpenFault());
      fprintf(stderr, "error: %s\n", failure->c_str());
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

int waitForTarget(const std::string& device, int64_t waitSeconds, Progress* progress,
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

// Names the wait when a run ended because no reply came in time or the line
// failed; empty when it ended for another reason.
std::string lostLinkText(const Progress& progress, const std::string& command,
                         int64_t timeoutSeconds) {
  char text[160];
  const ReadEnd end = lastReadEnd();
  switch (end) {
    case ReadEnd::ReplyLimit:
    case ReadEnd::OtherData:
    case ReadEnd::TimeLimit:
      snprintf(text, sizeof text, "no reply from the target for %lld s while %s%s",
               static_cast<long long>(end == ReadEnd::TimeLimit ? TimedReadMilliseconds / 1000
                                                                : timeoutSeconds),
               waitName(progress, command),
               end == ReadEnd::OtherData ? "; it sent other data" : "");
      return text;
    case ReadEnd::LineFailed:
      snprintf(text, sizeof text, "the line to the target failed while %s (unplugged?)",
               waitName(progress, command));
      return text;
    default:
      return "";
  }
}

// Only the word itself agrees: any case, spaces around it allowed.
bool isYes(const char* answer) {
  while (isspace(static_cast<unsigned char>(*answer))) ++answer;
  for (const char* word = "yes"; *word; ++word, ++answer) {
    if (tolower(static_cast<unsigned char>(*answer)) != *word) return false;
  }
  for (; *answer; ++answer) {
    if (!isspace(static_cast<unsigned char>(*answer))) return false;
  }
  return true;
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
  char answer[64] = {0};
  if (!fgets(answer, sizeof answer, stdin)) return -1;
  return isYes(answer) ? ExitOk : -1;
}

}  // namespace

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
  int code = openPort(device, &board->message);
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
    RunOutcome outcome = RunSucceeded;
    setReplyLimit(options.timeoutSeconds * 1000);
    if (command == "program") {
      setReaderCursors(ReaderCursors{0, 0});
      ProgramTally tally;
      outcome = runProgramming(target, image, progressReport(&progress), &tally);
      board->bytes = tally.bytes;
      board->blocks = tally.blocks;
      board->failedStep = tally.failedStep;
    } else if (command == "erase") {
      EraseMode mode = options.all ? EraseMode::EntireFlash : EraseMode::Default;
      outcome = runErase(mode, progressReport(&progress));
      board->failedStep = outcome == RunSucceeded ? "" : "erase";
    } else {
      board->failedStep.clear();
    }
    setReplyLimit(0);
    code = exitCodeOf(outcome);
    progressFinish(&progress);
    board->message = progress.failure;
    if (code == ExitCommunicationError) {
      std::string why = lostLinkText(progress, command, options.timeoutSeconds);
      if (!why.empty()) {
        fprintf(stderr, "error: %s\n", why.c_str());
        board->message = why;
      }
    }
    if (const char* text = interruptionText(outcome, command)) {
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
