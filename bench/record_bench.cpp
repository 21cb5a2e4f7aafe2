// The time a board spends on the record: its serial number taken with its started row (one
// transaction) and its completed row written, on a SQLite file and on a PostgreSQL server on
// the loopback (started here, with its commits synced). Median and worst of N boards.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "record/record_text.h"
#include "record/serial_counter.h"
#include "tests/native/pg_server.h"

namespace {

using Clock = std::chrono::steady_clock;

AttemptRow newRow() {
  AttemptRow row;
  row.attemptId = row.boardId = newAttemptId();
  row.station = "bench";
  row.port = "/dev/ttyUSB0";
  row.file = "blink.hex";
  row.sha256 = std::string(64, 'b');
  row.started = utcTimeText(std::chrono::system_clock::now());
  row.toolVersion = "bench";
  return row;
}

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One board: numbered (take + completed) or not (started + completed). Its time in ms, or -1.
double oneBoard(Db* db, bool numbered) {
  AttemptRow row = newRow();
  auto start = Clock::now();
  bool good =
      numbered ? takeSerial(db, "bench", &row) == CounterResult::Done : writeAttempt(db, row);
  row.outcome = "success";
  row.ended = utcTimeText(std::chrono::system_clock::now());
  row.seconds = 4;
  good = good && writeAttempt(db, row);
  return good ? millisecondsSince(start) : -1;
}

void measure(const char* name, const std::string& text, int boards) {
  DbTarget target;
  std::string error;
  Db db;
  if (!parseDbTarget(text, &target, &error) || !openRecord(&db, target, true)) {
    fprintf(stderr, "%s: %s%s\n", name, error.c_str(), db.error.c_str());
    return;
  }
  createCounter(&db, "bench", 1, 0xFFFFFFFFULL, "u32le");
  for (bool numbered : {true, false}) {
    std::vector<double> times;
    for (int i = 0; i < boards; ++i) times.push_back(oneBoard(&db, numbered));
    if (std::count(times.begin(), times.end(), -1.0) > 0) {
      fprintf(stderr, "%s: %s\n", name, db.error.c_str());
      return;
    }
    std::sort(times.begin(), times.end());
    printf("%-26s %-37s median %6.2f ms, 99th %6.2f ms, worst %6.2f ms (%d boards)\n", name,
           numbered ? "number + started row, completed row" : "started row, completed row",
           times[times.size() / 2], times[times.size() * 99 / 100], times.back(), boards);
  }
  dbClose(&db);
}

}  // namespace

int main(int argc, char** argv) {
  int boards = argc > 1 ? std::atoi(argv[1]) : 500;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("k4471-record-bench-" + newAttemptId());
  std::filesystem::create_directories(folder);
  measure("SQLite (WAL, local disk)", (folder / "line.sqlite").string(), boards);
  std::filesystem::remove_all(folder);
  PgServer server;
  server.durable = true;
  std::string error;
  if (!startPgServer(&server, &error)) {
    fprintf(stderr, "PostgreSQL: %s\n", error.c_str());
    return 1;
  }
  measure("PostgreSQL (loopback)", pgTarget(server, "postgres"), boards);
  removePgServer(&server);
  return 0;
}
