// The report file that stations share (--report-append): each line goes out
// whole, whoever else writes to the file at the same time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "station/board_report.h"
#include "tests/native/cli_runner.h"
#include "tests/native/pty_peer.h"

namespace {

// A board's line as long as a station with a very long image path writes:
// 64 KiB, far more than a C stream's buffer.
std::string longLine(int writer, int index) {
  BoardReport board;
  board.port = "/dev/ttyUSB" + std::to_string(writer);
  board.file = std::string(64 * 1024, 'a' + writer) + ".hex";
  board.board = static_cast<unsigned long>(index + 1);
  return boardReportLine(board);
}

// Puts this process on the `which`th processor it may run on, when it may
// run on more than one: two writers then truly write at the same time,
// which a line written in pieces does not survive.
void runOnProcessor(int which) {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) return;
  for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed) && seen++ == which) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      sched_setaffinity(0, sizeof one, &one);
      return;
    }
  }
}

// Two stations append 500 lines of 64 KiB each to one report at once: every
// line of the file is one whole line of one of them. (Written by a C stream,
// as before, such a line leaves in three writes, and the two writers' pieces
// interleave: tens of torn lines of the thousand, on a busy machine too.)
TEST(ReportFile, LinesAppendedByTwoStationsAtOnceAreNeverTorn) {
  const std::string dir = makeScratchDir(), path = dir + "/line.json";
  constexpr int Lines = 500;
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  pid_t writers[2];
  for (int writer = 0; writer < 2; ++writer) {
    writers[writer] = fork();
    if (writers[writer] == 0) {
      runOnProcessor(writer);
      close(start[1]);
      char go = 0;
      if (read(start[0], &go, 1) != 0) _exit(3);  // both start together, when the pipe closes
      ReportFile report;
      if (!openReportFile(&report, path, true)) _exit(1);
      for (int i = 0; i < Lines; ++i) writeReportLine(&report, longLine(writer, i));
      _exit(closeReportFile(&report, nullptr) ? 0 : 2);
    }
  }
  close(start[0]);
  close(start[1]);
  for (pid_t writer : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::string text = readText(path);
  std::set<std::pair<std::string, unsigned long>> seen;
  size_t lines = 0, torn = 0;
  for (size_t from = 0; from < text.size();) {
    const size_t end = text.find('\n', from);
    ASSERT_NE(end, std::string::npos) << "the file ends inside a line";
    const nlohmann::json line =
        nlohmann::json::parse(text.substr(from, end - from), nullptr, false);
    ++lines;
    if (line.is_discarded()) {
      ++torn;
    } else {
      seen.insert({line["port"].get<std::string>(), line["board"].get<unsigned long>()});
      const std::string file = line["file"];
      EXPECT_EQ(file, std::string(64 * 1024, file[0]) + ".hex");
    }
    from = end + 1;
  }
  EXPECT_EQ(torn, 0u) << "of " << lines << " lines";
  EXPECT_EQ(lines, 2u * Lines);
  EXPECT_EQ(seen.size(), 2u * Lines) << "every line of both, once";
  removeScratchDir(dir);
}

// A line waits while another station holds the report's lock, and goes out
// once it is let go.
TEST(ReportFile, AnAppendedLineWaitsForTheLockOnTheReport) {
  const std::string dir = makeScratchDir(), path = dir + "/line.json";
  const int held = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  ReportFile report;
  ASSERT_TRUE(openReportFile(&report, path, true));
  BoardReport board;
  board.port = "/dev/ttyUSB0";
  std::thread writer([&] { writeReportLine(&report, boardReportLine(board)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(readText(path), "") << "not written while the lock is held";
  ASSERT_EQ(write(held, "{\"other\":1}\n", 12), 12);
  flock(held, LOCK_UN);
  writer.join();
  EXPECT_TRUE(closeReportFile(&report, nullptr));
  EXPECT_EQ(readText(path), "{\"other\":1}\n" + boardReportLine(board) + "\n");
  close(held);
  removeScratchDir(dir);
}

// Without --report-append the file is emptied first, and written a line at a time.
TEST(ReportFile, AReportNotAppendedIsEmptiedFirst) {
  const std::string dir = makeScratchDir(), path = dir + "/line.json";
  {
    ReportFile report;
    ASSERT_TRUE(openReportFile(&report, path, true));
    writeReportLine(&report, "{\"first\":1}");
    EXPECT_TRUE(closeReportFile(&report, nullptr));
  }
  ReportFile report;
  ASSERT_TRUE(openReportFile(&report, path, false));
  EXPECT_EQ(readText(path), "");
  writeReportLine(&report, "{\"second\":2}");
  EXPECT_EQ(readText(path), "{\"second\":2}\n") << "written as the board ends";
  EXPECT_TRUE(closeReportFile(&report, nullptr));
  removeScratchDir(dir);
}

}  // namespace
