// Programming throughput against the simulated target: data bytes per second
// of the programming phase, and its ratio to what the protocol allows at the
// line's rate. A full block costs 280 byte times on the wire: the block-follows
// frame and its acknowledgement, the 268-byte record and its acknowledgement.
//   throughput_bench [KIB [BAUD]]          paced at BAUD, and unpaced
//   throughput_bench KIB BAUD 0,1,4,16     paced, with each message held that
//                                          many ms (a table, one row each)
//   throughput_bench net KIB BAUD          over rfc2217:// on the loopback beside
//                                          the pseudo-terminal, as a ratio
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

// One programming run against a fresh simulated target paced at `baud`, with
// each message held `latencyMs`; over rfc2217:// on the loopback when
// `overNetwork`, else over its pseudo-terminal. Data bytes per second of the
// programming phase, or -1.
double measure(const std::string& dir, const std::string& image, int baud, uint32_t bytes,
               int latencyMs = 0, bool overNetwork = false) {
  SimConfig config;
  std::string link = dir + "/target.tty";
  config.linkPath = link.c_str();
  config.callMs = 20;
  config.baud = baud;
  config.latencyMs = latencyMs;
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

// Throughput with each message held `latencies` ms each way, as a USB
// adapter's latency timer or a network holds it. Every block waits for two
// replies, so each millisecond of latency costs four per block: the model
// beside each figure.
int latencyTable(const std::string& dir, const std::string& image, int baud, uint32_t bytes,
                 const char* latencies) {
  const double wire = 280.0 * 10.0 / baud;  // seconds of one block on the wire
  const double limit = 256.0 / wire;
  printf("latency  blocks/s  data bytes/s  of the limit  model\n");
  for (const char* next = latencies; *next;) {
    char* end = nullptr;
    const int ms = static_cast<int>(strtol(next, &end, 10));
    if (end == next) break;
    next = *end == ',' ? end + 1 : end;
    const double rate = measure(dir, image, baud, bytes, ms);
    if (rate < 0) return 1;
    const double model = 256.0 / (wire + 4 * ms / 1000.0);
    printf("%4d ms  %8.1f  %12.0f  %10.1f %%  %5.1f %%\n", ms, rate / 256.0, rate,
           100.0 * rate / limit, 100.0 * model / limit);
  }
  printf("the protocol's limit at %d baud: %.0f data bytes/s (%.1f blocks/s)\n", baud, limit,
         limit / 256.0);
  return 0;
}

// Each way three times, taking turns so that a busy moment of the machine
// weighs on both; the best of each.
bool reportNetworkRatio(const std::string& dir, const std::string& image, int baud,
                        uint32_t bytes) {
  double local = 0, network = 0;
  for (int round = 0; round < 3; ++round) {
    const double viaPty = measure(dir, image, baud, bytes, 0, false);
    const double viaNet = measure(dir, image, baud, bytes, 0, true);
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

  if (argc > 3) {
    // throughput_bench KIB BAUD LATENCY,LATENCY...: the latency table only.
    int code = latencyTable(dir, image, baud, bytes, argv[3]);
    unlink(image.c_str());
    rmdir(dir.c_str());
    if (code != 0) fprintf(stderr, "the run failed\n");
    return code;
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
