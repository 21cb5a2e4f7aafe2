// k4471-sim: a K4471 target board with its serial bootloader, on a
// pseudo-terminal. Prints the device and "ready" once the link exists, runs
// until SIGINT or SIGTERM, then removes its link (and control FIFO).
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "sim/simulator.h"

int main(int argc, char** argv) {
  CLI::App app{
      "k4471-sim: a simulated K4471 target board (serial bootloader) on a pseudo-terminal.\n"
      "Publishes the pseudo-terminal as a symbolic link, calls every --call-ms until the host\n"
      "acknowledges, then serves erase, programming, block records and launch. After a launch\n"
      "it stays silent until reset (control line \"reset\"). Fault options name a command frame\n"
      "by its number since the last reset (1-based; block records do not count).",
      "k4471-sim"};

  std::string link, memoryOut, control, logPath;
  SimConfig config;
  uint32_t flashBase = config.flashBase, flashSize = config.flashSize, bootSize = config.bootSize;
  app.add_option("--link", link, "Path of the symbolic link to the pseudo-terminal (replaced)")
      ->required();
  app.add_option("--call-ms", config.callMs,
                 "Period of the call frame before the handshake; 0: never")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--erase-blocks", config.eraseBlocks, "Block-erased replies per erase")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--erase-block-ms", config.eraseBlockMs, "Pause before each block-erased reply")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--flash-base", flashBase, "Address of the first flash byte (0x... for hex)")
      ->capture_default_str();
  app.add_option("--flash-size", flashSize, "Flash size in bytes")->capture_default_str();
  app.add_option("--boot-size", bootSize,
                 "Size of the bootloader region at the bottom of the flash, spared by erase")
      ->capture_default_str();
  app.add_option("--memory-out", memoryOut,
                 "Write the whole flash as raw binary here after each completed erase and "
                 "programming (atomically)");
  app.add_option("--baud", config.baud, "Pace both directions at 10 bits per byte; 0: full speed")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--silent-from", config.silentFromFrame,
                 "Send nothing from frame N on, until reset")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--garble-reply", config.garbleReplyToFrame, "Reply to frame N with a wrong b2")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--bad-check", config.badCheckReplyToFrame,
                 "Reply to frame N with a wrong check byte")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--unexpected-reply", config.unexpectedReplyToFrame,
                 "Refuse frame N with 8C FD E0 91")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--hangup-at", config.hangupAtFrame, "Hang the line up at frame N, until reset")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--stale-calls", config.staleCalls,
                 "Queue N calls at once at start and after each reset, as a port opened late "
                 "finds them")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--chatter-ms", config.chatterMs,
                 "Be a running application: print a line of text every N ms, never call")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--control", control,
                 "Create this FIFO and read control lines from it: reset | set <option> <value> | "
                 "unplug (the link is gone until reset) | write-memory (option: call-ms, "
                 "erase-blocks, erase-block-ms, baud, silent-from, "
                 "garble-reply, bad-check, unexpected-reply, hangup-at, stale-calls, chatter-ms)");
  app.add_option("--log", logPath,
                 "Append each command frame the host sent (hex), each block record and each "
                 "reset to this file");
  app.add_flag("-v,--verbose", config.verbose, "Trace the frames both ways on stderr");
  CLI11_PARSE(app, argc, argv);

  config.linkPath = link.c_str();
  config.flashBase = flashBase;
  config.flashSize = flashSize;
  config.bootSize = bootSize;
  config.memoryOut = memoryOut.empty() ? nullptr : memoryOut.c_str();
  config.controlPath = control.empty() ? nullptr : control.c_str();
  config.logPath = logPath.empty() ? nullptr : logPath.c_str();

  // The signals are taken by sigwait below; the simulator's thread must not get them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator* sim = simStart(config);
  if (!sim) return 1;
  printf("link %s -> %s\n", link.c_str(), simDevicePath(sim).c_str());
  printf("ready\n");
  fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  simStop(sim);
  return 0;
}
