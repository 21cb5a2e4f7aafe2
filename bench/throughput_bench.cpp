// Programming throughput against the simulated target: data bytes per second
// of the programming phase, and its ratio to what the protocol allows at the
// line's rate. A full block costs 280 byte times on the wire: the block-follows
// frame and its acknowledgement, the 268-byte record and its acknowledgement.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image/hex_token_reader.h"
#include "link/bootloader.h"
#include "operations/run_logic.h"
#include "sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timing {
  int eraseSteps = 0;
  Clock::time_point programmingStart;
  bool failed = false;
};

RunReport timingReport(Timing* timing) {
  RunReport report;
  report.context = timing;
  report.stepErase = [](void* c) {
    Timing* t = static_cast<Timing*>(c);
    // The twentieth step ends the erase phase; the first block follows.
    if (++t->eraseSteps == 20) t->programmingStart = Clock::now();
  };
  report.stepProgram = [](void*) {};
  report.showMessage = [](void* c, const char* text, const char*, unsigned icon, MessageOwner) {
    if (icon == IconError) {
      static_cast<Timing*>(c)->failed = true;
      fprintf(stderr, "%s\n", text);
    }
  };
  report.linkLost = [](void*) {};
  return report;
}

std::string writeImage(const std::string& dir, uint32_t bytes) {
  std::string path = dir + "/image.hex";
  FILE* file = fopen(path.c_str(), "w");
  fprintf(file, "00004000\n");
  unsigned seed = 4471;
  for (uint32_t i = 0; i < bytes; ++i) {
    seed = seed * 1103515245u + 12345u;
    fprintf(file, "%02X%c", (seed >> 16) & 0xFF, i % 16 == 15 ? '\n' : ' ');
  }
  fclose(file);
  return path;
}

double measure(const std::string& dir, const std::string& image, int baud, uint32_t bytes) {
  SimConfig config;
  std::string link = dir + "/target.tty";
  config.linkPath = link.c_str();
  config.callMs = 20;
  config.baud = baud;
  Simulator* sim = simStart(config);
  if (!sim) return -1;
  setPortDevicePath(1, link.c_str());
  if (connectToTarget(DefaultSerialSettings) != LinkOk) return -1;
  setReaderCursors(ReaderCursors{0, 0});
  Timing timing;
  ImageSnapshot snapshot;
  ImageLoadFault fault;
  if (!loadImageFile(image.c_str(), &snapshot, &fault)) return -1;
  RunOutcome outcome = runProgramming(ProgramTarget::Application, snapshot, timingReport(&timing));
  double seconds = std::chrono::duration<double>(Clock::now() - timing.programmingStart).count();
  closeTargetPort();
  simStop(sim);
  if (outcome != RunSucceeded || timing.failed) return -1;
  return bytes / seconds;
}

// ---- Over the network ----
// The same programming run over rfc2217:// to the simulated target listening
// on the loopback, and over its pseudo-terminal, both paced at `baud`: data
// bytes per second of the programming phase, or -1.
double measureLink(const std::string& dir, const std::string& image, int baud, uint32_t bytes,
                   bool overNetwork) {
  SimConfig config;
  std::string link = dir + "/net-target.tty";
  config.linkPath = link.c_str();
  config.callMs = 20;
  config.baud = baud;
  config.listen = overNetwork ? "127.0.0.1:0" : nullptr;
  config.rfc2217 = overNetwork;
  Simulator* sim = simStart(config);
  if (!sim) return -1;
  const std::string port =
      overNetwork ? "rfc2217://127.0.0.1:" + std::to_string(simListenPort(sim)) : link;
  setPortDevicePath(1, port.c_str());
  ImageSnapshot snapshot;
  ImageLoadFault fault;
  Timing timing;
  RunOutcome outcome = RunCommunicationError;
  if (connectToTarget(DefaultSerialSettings) == LinkOk &&
      loadImageFile(image.c_str(), &snapshot, &fault)) {
    setReaderCursors(ReaderCursors{0, 0});
    outcome = runProgramming(ProgramTarget::Application, snapshot, timingReport(&timing));
  }
  double seconds = std::chrono::duration<double>(Clock::now() - timing.programmingStart).count();
  closeTargetPort();
  simStop(sim);
  setPortDevicePath(1, nullptr);
  if (outcome != RunSucceeded || timing.failed) return -1;
  return bytes / seconds;
}

// Each way three times, taking turns so that a busy moment of the machine
// weighs on both; the best of each.
bool reportNetworkRatio(const std::string& dir, const std::string& image, int baud,
                        uint32_t bytes) {
  double local = 0, network = 0;
  for (int round = 0; round < 3; ++round) {
    const double viaPty = measureLink(dir, image, baud, bytes, false);
    const double viaNet = measureLink(dir, image, baud, bytes, true);
    if (viaPty < 0 || viaNet < 0) return false;
    local = viaPty > local ? viaPty : local;
    network = viaNet > network ? viaNet : network;
  }
  printf(
      "rfc2217:// on the loopback at %d baud: %.0f data bytes/s, beside %.0f over the "
      "pseudo-terminal: %.1f %% (best of 3 each)\n",
      baud, network, local, 100.0 * network / local);
  return true;
}
// ---- end of over the network ----

}  // namespace

int main(int argc, char** argv) {
  // "net KIB BAUD": only the network's throughput beside the pseudo-terminal's.
  const bool networkOnly = argc > 1 && std::string(argv[1]) == "net";
  if (networkOnly) {
    ++argv;
    --argc;
  }
  uint32_t kib = argc > 1 ? static_cast<uint32_t>(atoi(argv[1])) : 256;
  int baud = argc > 2 ? atoi(argv[2]) : 115200;
  uint32_t bytes = kib * 1024;
  char pattern[] = "/tmp/k4471-bench-XXXXXX";
  std::string dir = mkdtemp(pattern);
  std::string image = writeImage(dir, bytes);
  if (networkOnly) {
    const bool measured = reportNetworkRatio(dir, image, baud, bytes);
    unlink(image.c_str());
    rmdir(dir.c_str());
    if (!measured) fprintf(stderr, "the run failed\n");
    return measured ? 0 : 1;
  }

  double limit = baud / 10.0 * 256.0 / 280.0;
  double paced = measure(dir, image, baud, bytes);
  double unpaced = measure(dir, image, 0, bytes);
  unlink(image.c_str());
  rmdir(dir.c_str());
  if (paced < 0 || unpaced < 0) {
    fprintf(stderr, "the run failed\n");
    return 1;
  }
  printf("image: %u KiB in %u full blocks\n", kib, bytes / 256);
  printf("paced at %d baud: %.0f data bytes/s, %.1f %% of the protocol's limit (%.0f bytes/s)\n",
         baud, paced, 100.0 * paced / limit, limit);
  printf("unpaced: %.0f data bytes/s, %.1f us of host and pseudo-terminal time per block\n",
         unpaced, 1e6 * 256.0 / unpaced);
  return 0;
}
