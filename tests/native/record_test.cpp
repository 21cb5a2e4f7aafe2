// The line's record on SQLite: targets, times and texts, the schema, attempt rows, counters,
// the spool and the writer, history and yield (PostgreSQL: record_pg_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "cli_runner.h"
#include "pty_peer.h"
#include "record/record_query.h"
#include "record/record_spool.h"
#include "record/record_writer.h"
#include "record/serial_counter.h"
#include "record_formats.h"

namespace {

using std::chrono::hours;
using std::chrono::system_clock;

class SqliteRecord : public testing::Test {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    ASSERT_TRUE(parseDbTarget(dir + "/line.sqlite", &target, &error)) << error;
    ASSERT_TRUE(openRecord(&db, target, true)) << db.error;
  }
  void TearDown() override {
    dbClose(&db);
    removeScratchDir(dir);
  }
  size_t count(const std::string& where) {
    std::vector<DbRow> rows;
    EXPECT_TRUE(dbExec(&db, "SELECT COUNT(*) FROM k4471_attempt WHERE " + where, {}, &rows))
        << db.error;
    return rows.empty() ? 0 : std::stoul(rows[0][0].value_or("0"));
  }
  std::string dir, error;
  DbTarget target;
  Db db;
};

TEST(RecordTarget, PathsAndServersAreTold) {
  DbTarget t;
  std::string error;
  ASSERT_TRUE(parseDbTarget("line.sqlite", &t, &error));
  EXPECT_EQ(t.engine, DbEngine::Sqlite);
  ASSERT_TRUE(parseDbTarget("postgresql://ops@db.line:6543/record", &t, &error));
  EXPECT_EQ(t.engine, DbEngine::Postgres);
  EXPECT_EQ(t.user, "ops");
  EXPECT_EQ(t.host, "db.line");
  EXPECT_EQ(t.port, "6543");
  EXPECT_EQ(t.dbname, "record");
  EXPECT_EQ(t.shown, "postgresql://db.line:6543/record");  // without user details
  ASSERT_TRUE(parseDbTarget("postgresql://[::1]/r", &t, &error));
  EXPECT_EQ(t.host, "::1");
  for (const char* bad :
       {"", "postgresql://ops:secret@db/record", "postgresql://db:0/r",
        "postgresql://db/r?password=x", "postgresql://db", "mysql://db/r", "postgresql://ops@/r"}) {
    EXPECT_FALSE(parseDbTarget(bad, &t, &error)) << bad;
    EXPECT_EQ(error.find("secret"), std::string::npos) << error;
  }
  EXPECT_FALSE(parseDbTarget("postgresql://ops:secret@db/record", &t, &error));
  EXPECT_NE(error.find("password"), std::string::npos) << error;
}

TEST(RecordText, TimesAreUtcIso8601) {
  std::string stored, error;
  const std::pair<const char*, const char*> cases[] = {
      {"2026-12-07", "2026-12-07T00:00:00.000Z"},
      {"2026-12-07T09:15Z", "2026-12-07T09:15:00.000Z"},
      {"2026-12-07 09:15:02.5", "2026-12-07T09:15:02.500Z"},
      {"2026-12-07T01:15:02+02:00", "2026-12-06T23:15:02.000Z"},
      {"2024-02-29T23:59:59-01:00", "2024-03-01T00:59:59.000Z"}};
  for (const auto& c : cases) {
    ASSERT_TRUE(parseUtcTime(c.first, &stored, &error)) << c.first << ": " << error;
    EXPECT_EQ(stored, c.second) << c.first;
  }
  for (const char* bad : {"yesterday", "2026-13-01", "2026-12-07T25:00", "2026-12-07T09:15+2",
                          "2026-12-07Tx", "12/07/2026"}) {
    EXPECT_FALSE(parseUtcTime(bad, &stored, &error)) << bad;
  }
  EXPECT_EQ(utcTimeText(std::time_t{0}), "1970-01-01T00:00:00.000Z");
}

TEST(RecordText, StoredTextIsUtf8AndIdsAreDistinct) {
  EXPECT_EQ(recordText("ok \xc3\xa9 \x01"), "ok \xc3\xa9 \x01");
  EXPECT_EQ(recordText(std::string("a\0b", 3)),
            "a\xEF\xBF\xBD"
            "b");
  std::string sixReplaced;  // a stray byte, an overlong form, a surrogate: a U+FFFD a byte
  for (int i = 0; i < 6; ++i) sixReplaced += "\xEF\xBF\xBD";
  EXPECT_EQ(recordText("\xff\xc0\xaf\xed\xa0\x80"), sixReplaced);
  std::set<std::string> ids;
  for (int i = 0; i < 1000; ++i) ids.insert(newAttemptId());
  EXPECT_EQ(ids.size(), 1000u);
  EXPECT_EQ(ids.begin()->size(), 32u);
}

TEST_F(SqliteRecord, AnotherSchemaVersionIsRefusedAndNamed) {
  ASSERT_TRUE(dbExec(&db, "UPDATE k4471_schema SET version = 7"));
  dbClose(&db);
  Db other;
  EXPECT_FALSE(openRecord(&other, target, false));
  EXPECT_NE(other.error.find("version 7"), std::string::npos) << other.error;
  // The command line says so as a database error.
  std::string out = dir + "/out.txt";
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, {"history", "--db", target.path}, out)), 9);
  EXPECT_NE(readText(out).find("version 7"), std::string::npos) << readText(out);
}

TEST_F(SqliteRecord, ARowIsStartedThenCompletedAndNeverDoubledOrSetBack) {
  AttemptRow row = madeUpAttempt("st1", OutcomeStarted, system_clock::now());
  ASSERT_TRUE(writeAttempt(&db, row)) << db.error;
  AttemptRow done = row;
  done.outcome = "success";
  done.ended = utcTimeText(system_clock::now());
  done.seconds = 4.25;
  ASSERT_TRUE(writeAttempt(&db, done)) << db.error;
  ASSERT_TRUE(writeAttempt(&db, done)) << db.error;  // sent twice
  ASSERT_TRUE(writeAttempt(&db, row)) << db.error;   // the started row, late
  EXPECT_EQ(count("1 = 1"), 1u);
  std::vector<AttemptRow> rows;
  ASSERT_TRUE(queryHistory(&db, HistoryFilter(), &rows)) << db.error;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].outcome, "success");
  EXPECT_DOUBLE_EQ(rows[0].seconds, 4.25);
}

TEST_F(SqliteRecord, CountersHandOutEachNumberOnceUpToTheLargest) {
  EXPECT_EQ(createCounter(&db, "line-a", 4294967294ULL, 0xFFFFFFFFULL, "u32le"),
            CounterResult::Done);
  EXPECT_EQ(createCounter(&db, "line-a", 1, 0xFFFFFFFFULL, "u32le"), CounterResult::Exists);
  std::vector<uint64_t> numbers;
  for (int i = 0; i < 3; ++i) {
    AttemptRow row = madeUpAttempt("st1", OutcomeStarted, system_clock::now());
    CounterResult result = takeSerial(&db, "line-a", &row);
    if (i < 2) {
      ASSERT_EQ(result, CounterResult::Done) << db.error;
      numbers.push_back(*row.serial);
    } else {
      EXPECT_EQ(result, CounterResult::Exhausted);
      EXPECT_FALSE(row.serial);
    }
  }
  EXPECT_EQ(numbers, (std::vector<uint64_t>{4294967294ULL, 4294967295ULL}));
  EXPECT_EQ(count("outcome = 'started' AND counter = 'line-a'"), 2u);
  AttemptRow row = madeUpAttempt("st1", OutcomeStarted, system_clock::now());
  EXPECT_EQ(takeSerial(&db, "no-such", &row), CounterResult::Missing);
  SerialCounter counter;
  ASSERT_EQ(showCounter(&db, "line-a", &counter), CounterResult::Done);
  EXPECT_EQ(counter.issued, 2u);
  EXPECT_GT(counter.next, counter.last);
  // The database itself refuses a number issued twice, whatever a client does.
  EXPECT_FALSE(dbExec(&db,
                      "INSERT INTO k4471_serial (counter, number, attempt_id, issued)"
                      " VALUES ('line-a', 4294967295, 'x', 'now')"));
  EXPECT_EQ(db.fault, DbFault::Conflict);
}

TEST_F(SqliteRecord, TwoStationsShareOneFile) {
  ASSERT_EQ(createCounter(&db, "shared", 100, 0xFFFFFFFFULL, "u32le"), CounterResult::Done);
  const int perStation = 40;
  std::vector<uint64_t> numbers[2];
  size_t spooled[2] = {1, 1};
  auto station = [&](int which) {
    RecordWriterSetup setup;
    setup.target = target;
    setup.spoolPath = dir + "/spool" + std::to_string(which) + ".sqlite";
    setup.station = "station-" + std::to_string(which);
    std::string error;
    RecordWriter* writer = startRecordWriter(setup, &error);
    ASSERT_NE(writer, nullptr) << error;
    for (int i = 0; i < perStation; ++i) {
      AttemptRow row = madeUpAttempt(setup.station, OutcomeStarted, system_clock::now());
      ASSERT_EQ(takeBoardSerial(writer, "shared", &row, &error), CounterResult::Done) << error;
      numbers[which].push_back(*row.serial);
      row.outcome = "success";
      recordAttempt(writer, row);
    }
    spooled[which] = finishRecordWriter(writer);
  };
  std::thread first(station, 0), second(station, 1);
  first.join();
  second.join();
  std::set<uint64_t> all(numbers[0].begin(), numbers[0].end());
  all.insert(numbers[1].begin(), numbers[1].end());
  EXPECT_EQ(all.size(), 2u * perStation);
  EXPECT_EQ(*all.begin(), 100u);
  EXPECT_EQ(*all.rbegin(), 100u + 2 * perStation - 1);
  EXPECT_EQ(spooled[0] + spooled[1], 0u);
  EXPECT_EQ(count("outcome = 'success'"), 2u * perStation);
  std::vector<DbRow> rows;
  ASSERT_TRUE(dbExec(&db, "SELECT name FROM k4471_station ORDER BY name", {}, &rows));
  EXPECT_EQ(rows.size(), 2u);  // each station's heartbeat
}

// Rows written while the database is away wait in the spool, for that database only, and the
// next run with the same spool sends them.
TEST_F(SqliteRecord, TheSpoolKeepsRowsForTheirDatabaseUntilItIsBack) {
  DbTarget away;
  ASSERT_TRUE(parseDbTarget(dir + "/later/line.sqlite", &away, &error));
  RecordWriterSetup setup;
  setup.target = away;
  setup.spoolPath = dir + "/spool.sqlite";
  setup.station = "st1";
  RecordWriter* writer = startRecordWriter(setup, &error);
  ASSERT_NE(writer, nullptr) << error;
  std::vector<AttemptRow> rows;
  for (int i = 0; i < 5; ++i) {
    rows.push_back(madeUpAttempt("st1", OutcomeStarted, system_clock::now()));
    recordAttempt(writer, rows.back());
    rows.back().outcome = "success";
    recordAttempt(writer, rows.back());
  }
  EXPECT_EQ(finishRecordWriter(writer), 10u);
  // Another database does not get them.
  setup.target = target;
  writer = startRecordWriter(setup, &error);
  ASSERT_NE(writer, nullptr) << error;
  EXPECT_EQ(finishRecordWriter(writer), 0u);
  EXPECT_EQ(count("1 = 1"), 0u);
  // Their own does, once it is there.
  std::filesystem::create_directories(dir + "/later");
  setup.target = away;
  writer = startRecordWriter(setup, &error);
  ASSERT_NE(writer, nullptr) << error;
  EXPECT_EQ(finishRecordWriter(writer), 0u);
  Db later;
  ASSERT_TRUE(openRecord(&later, away, false)) << later.error;
  std::vector<AttemptRow> found;
  ASSERT_TRUE(queryHistory(&later, HistoryFilter(), &found));
  EXPECT_EQ(found.size(), 5u);
  for (const AttemptRow& row : found) EXPECT_EQ(row.outcome, "success");
  dbClose(&later);
}

TEST_F(SqliteRecord, HistoryFiltersNewestFirst) {
  auto now = system_clock::now();
  for (int i = 0; i < 6; ++i) {
    AttemptRow row = madeUpAttempt(i % 2 ? "odd" : "even", "success", now - hours(6 - i));
    row.serial = 1000 + i;
    ASSERT_TRUE(writeAttempt(&db, row)) << db.error;
  }
  std::vector<AttemptRow> rows;
  HistoryFilter filter;
  filter.station = "odd";
  filter.limit = 2;
  ASSERT_TRUE(queryHistory(&db, filter, &rows));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(*rows[0].serial, 1005u);
  EXPECT_EQ(*rows[1].serial, 1003u);
  filter = HistoryFilter();
  filter.serial = 1002;
  ASSERT_TRUE(queryHistory(&db, filter, &rows));
  ASSERT_EQ(rows.size(), 1u);
  filter = HistoryFilter();
  filter.since = utcTimeText(now - hours(2) - std::chrono::minutes(1));
  ASSERT_TRUE(queryHistory(&db, filter, &rows));
  EXPECT_EQ(rows.size(), 2u);
}

TEST(RecordYield, EachBoardCountsByItsLastAttempt) {
  auto now = system_clock::now();
  std::vector<AttemptRow> rows = {madeUpAttempt("a", "success", now - hours(3))};
  AttemptRow retried = madeUpAttempt("a", "communication-error", now - hours(3));
  rows.push_back(retried);
  rows.push_back(madeUpAttempt("a", "success", now - hours(3), 2, retried.boardId));
  rows.push_back(madeUpAttempt("a", "erase-error", now - hours(3)));
  rows.push_back(madeUpAttempt("a", OutcomeStarted, now - hours(2)));  // abandoned
  rows.push_back(madeUpAttempt("a", OutcomeStarted, now));             // still on the fixture
  rows.push_back(madeUpAttempt("b", "success", now));
  std::vector<YieldGroup> groups = yieldOf(rows, YieldBy::Station, now);
  ASSERT_EQ(groups.size(), 2u);
  const YieldGroup& a = groups[0];
  EXPECT_EQ(a.key, "a");
  EXPECT_EQ(a.boards, 4u);
  EXPECT_EQ(a.firstPass, 1u);
  EXPECT_EQ(a.afterRetries, 1u);
  EXPECT_EQ(a.failed, 1u);
  EXPECT_EQ(a.abandoned, 1u);
  EXPECT_DOUBLE_EQ(a.medianSeconds, 5.0);  // of 5, 5 and 5 + 6
  EXPECT_EQ(groups[1].boards, 1u);
  std::string csv = formatYield(groups, YieldBy::Station, RecordFormat::Csv);
  EXPECT_EQ(readCsv(csv)[1],
            (std::vector<std::string>{"a", "4", "1", "25.0", "1", "1", "1", "5.000"}));
  EXPECT_EQ(yieldOf(rows, YieldBy::Day, now).size(),
            1u + (utcTimeText(now).substr(0, 10) != utcTimeText(now - hours(3)).substr(0, 10)));
}

// Quotes, control bytes and bytes outside UTF-8 in every field, through the command line's
// history in each format.
TEST_F(SqliteRecord, HostileTextsComeOutOfHistorySafely) {
  AttemptRow sent = hostileAttempt();
  ASSERT_TRUE(writeAttempt(&db, sent)) << db.error;
  std::map<std::string, std::string> outputs;
  for (const char* format : {"table", "csv", "json", "junit"}) {
    std::string out = dir + "/" + format + ".txt";
    EXPECT_EQ(
        waitFor(spawnProgram(K4471_CLI, {"history", "--format", format, "--db", target.path}, out)),
        0)
        << readText(out);
    outputs[format] = readText(out);
  }
  expectSafeHistory(sent, outputs);
}

TEST_F(SqliteRecord, CommandLineCounters) {
  std::string out = dir + "/out.txt";
  const std::string db = "--db=" + target.path;
  EXPECT_EQ(
      waitFor(spawnProgram(
          K4471_CLI, {"counter", "create", "c1", "--start", "98", "--format", "ascii:2", db}, out)),
      0)
      << readText(out);
  EXPECT_EQ(waitFor(spawnProgram(
                K4471_CLI, {"counter", "create", "c2", "--start", "100", "--format", "ascii:2", db},
                out)),
            2);  // does not fit the format
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, {"counter", "show", "c3", db}, out)), 2);
  EXPECT_NE(readText(out).find("there are: c1"), std::string::npos) << readText(out);
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, {"counter", "show", "c1", db}, out)), 0);
  EXPECT_NE(readText(out).find("largest:   99"), std::string::npos) << readText(out);
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, {"counter", "list"}, out, "/dev/null",
                                 "K4471_DB=" + target.path)),
            0);
  EXPECT_NE(readText(out).find("c1"), std::string::npos) << readText(out);
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, {"history", "--db", dir + "/none.sqlite"}, out)), 9);
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, {"history", "--db", "postgresql://u:pw@h/d"}, out)), 2);
  EXPECT_EQ(readText(out).find("pw"), std::string::npos) << readText(out);
}

}  // namespace
