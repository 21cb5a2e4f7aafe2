// k4471-sim: a K4471 target board with its serial bootloader, on a
// pseudo-terminal. Prints the device and "ready" once the link exists, runs
// until SIGINT or SIGTERM, then removes its link (and control FIFO).
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "sim/simulator.h"

namespace {

// What the command line gives beyond SimConfig's whole numbers.
struct SimArgs {
  SimConfig config;
  std::string link, memoryOut, control, logPath, appText, listen, resetOn, flipBit;
  uint32_t flashBase = SimConfig().flashBase;
  uint32_t flashSize = SimConfig().flashSize;
  uint32_t bootSize = SimConfig().bootSize;
};

void addOptions(CLI::App& app, SimArgs* args) {
  app.add_option("--link", args->link,
                 "Path of the symbolic link to the pseudo-terminal (replaced)")
      ->required();
  size_t optionCount = 0;
  const SimOption* options = simOptions(&optionCount);
  for (size_t i = 0; i < optionCount; ++i) {
    app.add_option(std::string("--") + options[i].name, args->config.*options[i].member,
                   options[i].help)
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
  }
  app.add_option("--flash-base", args->flashBase, "Address of the first flash byte (0x... for hex)")
      ->capture_default_str();
  app.add_option("--flash-size", args->flashSize, "Flash size in bytes")->capture_default_str();
  app.add_option("--boot-size", args->bootSize,
                 "Size of the bootloader region at the bottom of the flash, spared by erase")
      ->capture_default_str();
  app.add_option("--memory-out", args->memoryOut,
                 "Write the whole flash as raw binary here after each completed erase and "
                 "programming (atomically); one file per board: {board} in the name stands for "
                 "its number, else board 1 writes FILE and board N FILE.N");
  app.add_option("--app-text", args->appText,
                 "The line the application prints at launch; {u32le@ADDR}, {u32be@ADDR}, "
                 "{u64le@ADDR}, {u64be@ADDR} (decimal), {ascii:W@ADDR} (W bytes), "
                 "{crc32@START:SIZE} and {sha256@START:SIZE} (hexadecimal; {CRC32@...}, "
                 "{SHA256@...} in capitals) stand for values in the flash");
  app.add_option("--flip-bit", args->flipBit,
                 "Flip this bit of the flash (ADDR:BIT, BIT 0 to 7) after every programming run, "
                 "before the launch; the control line flip-bit ADDR:BIT does so for the next "
                 "run only");
  app.add_option("--control", args->control,
                 "Create this FIFO and read control lines from it: reset | set <option> <value> | "
                 "unplug (the link is gone until reset) | write-memory | flip-bit ADDR:BIT "
                 "(option: " +
                     simOptionNames() + ")");
  app.add_option("--log", args->logPath,
                 "Append each command frame the host sent (hex), each block record and each "
                 "reset to this file");
  app.add_option("--listen", args->listen,
                 "Also serve the line on this TCP port, one host at a time, e.g. 127.0.0.1:0 (port "
                 "0: a free one; prints \"listening on HOST:PORT\")");
  app.add_flag("--rfc2217", args->config.rfc2217,
               "On --listen, speak Telnet with the COM-PORT option (0xFF doubled, port settings, "
               "control lines, purges) instead of raw bytes");
  app.add_option("--reset-on", args->resetOn,
                 "The board's reset hangs on this control line (set over --rfc2217): active holds "
                 "it in reset, the release resets it and it calls again")
      ->check(CLI::IsMember({"dtr", "rts"}));
  app.add_flag("-v,--verbose", args->config.verbose, "Trace the frames both ways on stderr");
}

// The strings stay in `args`, which outlives the simulator.
SimConfig configOf(const SimArgs& args) {
  SimConfig config = args.config;
  config.linkPath = args.link.c_str();
  config.flashBase = args.flashBase;
  config.flashSize = args.flashSize;
  config.bootSize = args.bootSize;
  config.memoryOut = args.memoryOut.empty() ? nullptr : args.memoryOut.c_str();
  config.controlPath = args.control.empty() ? nullptr : args.control.c_str();
  config.logPath = args.logPath.empty() ? nullptr : args.logPath.c_str();
  config.appText = args.appText.empty() ? nullptr : args.appText.c_str();
  config.flipBit = args.flipBit.empty() ? nullptr : args.flipBit.c_str();
  config.listen = args.listen.empty() ? nullptr : args.listen.c_str();
  config.resetOn = args.resetOn.empty() ? nullptr : args.resetOn.c_str();
  return config;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "k4471-sim: a simulated K4471 target board (serial bootloader) on a pseudo-terminal.\n"
      "Publishes the pseudo-terminal as a symbolic link, calls every --call-ms until the host\n"
      "acknowledges, then serves erase, programming, block records and launch. After a launch\n"
      "it stays silent until reset (control line \"reset\"). Fault options name a command frame\n"
      "by its number since the last reset (1-based; block records do not count).",
      "k4471-sim"};
  SimArgs args;
  addOptions(app, &args);
  CLI11_PARSE(app, argc, argv);
  const SimConfig config = configOf(args);

  // The signals are taken by sigwait below; the simulator's thread must not get them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator* sim = simStart(config);
  if (!sim) return 1;
  printf("link %s -> %s\n", args.link.c_str(), simDevicePath(sim).c_str());
  if (config.listen) {
    printf("listening on %s:%d\n", args.listen.substr(0, args.listen.rfind(':')).c_str(),
           simListenPort(sim));
  }
  printf("ready\n");
  fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  simStop(sim);
  return 0;
}
