// A station whose record fails it while it runs: the database away and the spool that cannot
// be written either, and a station stopped by a signal while its board waits for a number.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "record_station.h"
#include "station/station_record.h"

namespace {

// Holds the SQLite file's write lock, as another program in the middle of writing it does:
// nothing else writes the file until `db` is closed.
bool holdWriteLock(const std::string& path, Db* db) {
  DbTarget file;
  file.path = file.shown = path;
  return dbConnect(db, file, false) && dbExec(db, "BEGIN EXCLUSIVE");
}

// The server stopped mid-loop while the spool is held by another: the next board that calls is
// not addressed, the station ends at once with a database error, and its end does not tell of
// rows in the record that are not.
TEST_F(PgStation, ASpoolThatCannotBeWrittenEitherEndsTheStationBeforeItsNextBoard) {
  const pid_t pid = station("st1", {board("a.tty")}, 1000, db, "");
  EXPECT_TRUE(waitUntil([&] { return lines("st1").size() >= 2; }, 60000)) << said("st1");
  Db holder;
  EXPECT_TRUE(holdWriteLock(dir + "/st1.spool", &holder)) << holder.error;
  EXPECT_TRUE(stopPgServer(&server));
  const bool told = waitForWords(dir + "/st1.out", "no further board is addressed", 60000);
  const SimStatus atError = simStatus(sims[0]);
  const auto since = std::chrono::steady_clock::now();
  const int code = waitFor(pid);
  const long took = millisecondsSince(since);
  dbClose(&holder);
  ASSERT_TRUE(told) << said("st1");
  EXPECT_EQ(code, 9) << said("st1");
  EXPECT_LT(took, generousBoundMs(2000)) << said("st1");
  EXPECT_NE(said("st1").find("error: the spool cannot be written: "), std::string::npos)
      << said("st1");
  const SimStatus atEnd = simStatus(sims[0]);
  EXPECT_EQ(atEnd.board, atError.board) << "no board came after the one that called";
  EXPECT_EQ(atEnd.recordsAccepted, atError.recordsAccepted);
  EXPECT_EQ(atEnd.framesReceived, 0) << "the call of the board on the fixture is not answered";
  // Each board reported a success is programmed; none is reported after the refused one.
  const std::vector<nlohmann::json> reported = lines("st1");
  EXPECT_EQ(reported.size(), static_cast<size_t>(atError.board - 1)) << said("st1");
  for (const nlohmann::json& line : reported) {
    const std::string flash = dir + "/a.tty-" + std::to_string(line["board"].get<int>()) + ".bin";
    if (line["outcome"] == "success") {
      EXPECT_NE(readText(flash), "") << flash;
    }
  }
  EXPECT_EQ(said("st1").find("Every row is in the record"), std::string::npos) << said("st1");
  EXPECT_NE(said("st1").find("are not in the record"), std::string::npos) << said("st1");
}

// A signal while a numbered board waits for the database ends the station at once (not at the
// next try), interrupted, its board not addressed: Ctrl-C and a termination request alike.
TEST_F(PgStation, ASignalEndsTheWaitForTheDatabaseAtOnce) {
  ASSERT_EQ(cli({"counter", "create", "line", "--start", "1", "--db", db}), 0);
  const std::pair<std::string, int> signals[] = {{"int", SIGINT}, {"term", SIGTERM}};
  std::vector<pid_t> pids;
  for (const auto& s : signals) pids.push_back(station(s.first, {board(s.first)}, 20, db, "line"));
  for (const auto& s : signals) {
    EXPECT_TRUE(waitUntil([&] { return lines(s.first).size() >= 1; }, 60000)) << said(s.first);
  }
  EXPECT_TRUE(stopPgServer(&server));
  for (size_t i = 0; i < pids.size(); ++i) {
    const std::string& name = signals[i].first;
    const bool waiting = waitForWords(dir + "/" + name + ".out", "database unreachable; waiting",
                                      generousBoundMs(RecordRetryMilliseconds));
    const SimStatus before = simStatus(sims[i]);
    const auto since = std::chrono::steady_clock::now();
    kill(pids[i], signals[i].second);
    const int code = waitFor(pids[i]);
    const long took = millisecondsSince(since);
    EXPECT_TRUE(waiting) << said(name);
    EXPECT_EQ(code, 0) << "as between boards, every earlier board passed: " << said(name);
    // Within one retry period: the wait ends with the signal, not after the next try.
    EXPECT_LT(took, RecordRetryMilliseconds) << name;
    EXPECT_EQ(simStatus(sims[i]).recordsAccepted, before.recordsAccepted) << name;
    EXPECT_EQ(simStatus(sims[i]).framesReceived, 0) << "the waiting board is not addressed";
  }
}

}  // namespace
