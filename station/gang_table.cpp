// A gang's ports on the terminal: the progress table and the gang's summary.
#include "station/gang_table.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "operations/exit_codes.h"
#include "operations/run_logic.h"
#include "station/progress.h"

namespace {

void drawTable(std::vector<Target>& targets, std::mutex& lock, bool redraw, bool station) {
  std::lock_guard<std::mutex> hold(lock);
  if (redraw) fprintf(stderr, "\x1b[%zuA", targets.size());
  for (const Target& t : targets) {
    std::string bar = t.programSteps > 0 ? progressBarText(t.programSteps, ProgramBarSteps, 20, '#')
                                         : progressBarText(t.eraseSteps, EraseBarSteps, 20, '=');
    std::string status = t.status.substr(0, 60);
    if (station) {
      status = "board " + std::to_string(t.board) + ", " + std::to_string(t.passed) + " passed, " +
               std::to_string(t.failed) + " failed: " + status.substr(0, 40);
    }
    fprintf(stderr, "\x1b[2K%-20s [%s] %s\n", targetName(t).c_str(), bar.c_str(), status.c_str());
  }
  fflush(stderr);
}

}  // namespace

void showProgress(std::vector<Target>& targets, std::mutex& lock, bool station) {
  drawTable(targets, lock, false, station);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bool all = true;
    {
      std::lock_guard<std::mutex> hold(lock);
      for (const Target& t : targets) all = all && t.finished;
    }
    drawTable(targets, lock, true, station);
    if (all) break;
  }
}

int summarise(const std::vector<Target>& targets) {
  int failed = 0;
  fprintf(stderr, "\n%-20s %-22s %s\n", "PORT", "RESULT", "MESSAGE");
  for (const Target& t : targets) {
    if (t.exitCode != ExitOk) ++failed;
    fprintf(stderr, "%-20s %-22s %s\n", targetName(t).c_str(), resultText(t), t.outcome.c_str());
  }
  if (failed == 0) {
    fprintf(stderr, "All %zu targets programmed.\n", targets.size());
    return ExitOk;
  }
  std::string names;
  for (const Target& t : targets) {
    if (t.exitCode != ExitOk) names += (names.empty() ? "" : ", ") + targetName(t);
  }
  fprintf(stderr, "%d of %zu targets failed: %s\n", failed, targets.size(), names.c_str());
  return ExitSomeTargetsFailed;
}

int summariseStation(const std::vector<Target>& targets, unsigned long passed, unsigned long failed,
                     int fault) {
  fprintf(stderr, "\n%-20s %-8s %-8s %-8s %s\n", "PORT", "BOARDS", "PASSED", "FAILED", "LAST");
  bool interruptedBoard = false;
  std::string died;
  for (const Target& t : targets) {
    fprintf(stderr, "%-20s %-8lu %-8lu %-8lu %s\n", targetName(t).c_str(), t.passed + t.failed,
            t.passed, t.failed, t.outcome.c_str());
    interruptedBoard = interruptedBoard || t.boardInterrupted;
    if (workerDied(t.exitCode)) died += (died.empty() ? "" : ", ") + targetName(t);
  }
  fprintf(stderr, "%lu boards: %lu passed, %lu failed.\n", passed + failed, passed, failed);
  if (!died.empty()) fprintf(stderr, "The worker died on %s.\n", died.c_str());
  if (interruptedBoard) return ExitInterrupted;
  if (fault) return fault;
  return failed == 0 && died.empty() ? ExitOk : ExitSomeTargetsFailed;
}
