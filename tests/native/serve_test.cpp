// k4471-cli serve, the line's page, against a record the test fills with the record library:
// stations and their heartbeats, yields, a unit's attempts, hostile texts, who is refused, and
// a record that goes away while serving (a SQLite file, then a PostgreSQL server).
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <regex>

#include "cli_runner.h"
#include "pg_server.h"
#include "pty_peer.h"
#include "record/station_status.h"
#include "record_rows.h"

namespace {

using std::chrono::system_clock;
using Json = nlohmann::json;

const char* const Hostile = "<script>alert(\"x\")</script> it's\x01\x1b[31m \xff\xc0\xaf end";
const char* const Fffd = "\xEF\xBF\xBD";

// A running `k4471-cli serve`, its URL read from what it printed.
struct Served {
  pid_t pid = -1;
  std::string out, url, host;
  int port = 0;
};

bool startServe(const std::string& dir, const std::vector<std::string>& arguments, Served* s,
                const std::string& environment = "") {
  s->out = dir + "/serve.txt";
  std::vector<std::string> all = {"serve"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  s->pid = spawnProgram(K4471_CLI, all, s->out, "/dev/null", environment);
  if (!waitForWords(s->out, "The line's page: http://")) return false;
  std::smatch found;
  const std::string text = readText(s->out);
  if (!std::regex_search(text, found, std::regex("http://([^/ ]+):([0-9]+)/[^\\s]*"))) return false;
  s->url = found[0];
  s->host = found[1];
  s->port = std::stoi(found[2]);
  return true;
}

// Ends it as Ctrl-C would: exit code 0.
int stopServe(Served* s) {
  if (s->pid > 0) kill(s->pid, SIGTERM);
  return waitFor(s->pid);
}

httplib::Result get(const Served& s, const std::string& path, httplib::Headers headers = {}) {
  httplib::Client client("127.0.0.1", s.port);
  client.set_read_timeout(30, 0);
  if (headers.find("Host") == headers.end()) {
    headers.emplace("Host", "127.0.0.1:" + std::to_string(s.port));
  }
  return client.Get(path.c_str(), headers);
}

Json getJson(const Served& s, const std::string& path) {
  auto answer = get(s, path);
  return answer && answer->status == 200 ? Json::parse(answer->body, nullptr, false) : Json();
}

// Whether the page came to say the record is (or is not) reachable; *line: the line's state it
// read last.
bool waitForReachable(const Served& s, bool reachable, Json* line) {
  return waitUntil(
      [&] {
        *line = getJson(s, "/api/line");
        return line->is_object() && line->value("reachable", !reachable) == reachable;
      },
      30000);
}

const Json* stationNamed(const Json& line, const std::string& prefix) {
  for (const Json& station : line["stations"]) {
    if (station["name"].get<std::string>().compare(0, prefix.size(), prefix) == 0) return &station;
  }
  return nullptr;
}

system_clock::time_point todayStart(system_clock::time_point now) {
  system_clock::time_point start;
  storedTime(utcTimeText(now).substr(0, 10) + "T00:00:00.000Z", &start);
  return start;
}

// Line 1 at work: a board passed, one passed at its second attempt, one failed with hostile
// texts, and one at work now. A hostile station idle for ten minutes; a third not heard from.
void fillLine(Db* db, system_clock::time_point now) {
  using std::chrono::seconds;
  auto at = [&](int secondsAgo) { return std::max(now - seconds(secondsAgo), todayStart(now)); };
  auto board = [&](const std::string& station, const std::string& outcome, int ago, uint64_t serial,
                   int attempt = 1, const std::string& boardId = "") {
    AttemptRow row = madeUpAttempt(station, outcome, at(ago), attempt, boardId);
    row.serial = serial;
    EXPECT_TRUE(writeAttempt(db, row)) << db->error;
    return row;
  };
  board("line-1", "success", 60, 1001);
  AttemptRow first = board("line-1", "communication-error", 50, 1002);
  board("line-1", "success", 40, 1002, 2, first.attemptId);
  AttemptRow failed = madeUpAttempt("line-1", "erase-error", at(30));
  failed.serial = 1003;
  failed.message = Hostile;
  failed.appLine = Hostile;
  failed.port = Hostile;
  EXPECT_TRUE(writeAttempt(db, failed)) << db->error;
  board("line-1", OutcomeStarted, 5, 1004);
  EXPECT_TRUE(writeHeartbeat(db, "line-1", "1.0.0", now));
  const std::string hostileStation = std::string("<b>line-2</b>\"") + Hostile;
  AttemptRow idle = madeUpAttempt(hostileStation, "success", now - std::chrono::minutes(10));
  idle.serial = 2001;
  EXPECT_TRUE(writeAttempt(db, idle)) << db->error;
  EXPECT_TRUE(writeHeartbeat(db, hostileStation, Hostile, now));
  EXPECT_TRUE(writeHeartbeat(db, "line-3", "1.0.0", now - std::chrono::minutes(2)));
}

class Serve : public testing::Test {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    path = dir + "/line.sqlite";
    ASSERT_TRUE(parseDbTarget(path, &target, &error)) << error;
  }
  void TearDown() override {
    if (served.pid > 0 && kill(served.pid, 0) == 0) stopServe(&served);
    removeScratchDir(dir);
  }
  void fill(system_clock::time_point now) {
    Db db;
    ASSERT_TRUE(openRecord(&db, target, true)) << db.error;
    fillLine(&db, now);
    dbClose(&db);
  }

  std::string dir, path, error;
  DbTarget target;
  Served served;
};

TEST_F(Serve, ShowsEachStationItsBoardsAndTheDaysYield) {
  const system_clock::time_point now = system_clock::now();
  fill(now);
  ASSERT_TRUE(startServe(dir, {"--db", path, "--listen", "127.0.0.1:0"}, &served))
      << readText(served.out);
  EXPECT_EQ(served.url, "http://127.0.0.1:" + std::to_string(served.port) + "/");
  const Json line = getJson(served, "/api/line");
  ASSERT_TRUE(line.is_object()) << readText(served.out);
  EXPECT_TRUE(line["reachable"].get<bool>());
  ASSERT_EQ(line["stations"].size(), 3u) << line.dump();
  const Json* one = stationNamed(line, "line-1");
  const Json* two = stationNamed(line, "<b>line-2</b>");
  const Json* three = stationNamed(line, "line-3");
  ASSERT_TRUE(one && two && three) << line.dump();
  EXPECT_EQ((*one)["state"], "alive");
  EXPECT_EQ((*two)["state"], "idle");
  EXPECT_EQ((*three)["state"], "not-heard-from");
  // Three boards ended on line 1 (the one at work is not counted yet): 1 of 3 at the first pass.
  const Json& yield = (*one)["yield"];
  EXPECT_EQ(yield["boards"], 3);
  EXPECT_EQ(yield["first_pass"], 1);
  EXPECT_EQ(yield["passed_after_retries"], 1);
  EXPECT_EQ(yield["failed"], 1);
  EXPECT_DOUBLE_EQ(yield["first_pass_yield"].get<double>(), 33.3);
  ASSERT_EQ((*one)["last_boards"].size(), 5u);
  EXPECT_EQ((*one)["last_boards"][0]["outcome"], "started");
  // The idle station's board counts for the day only when ten minutes ago was still today.
  const bool idleToday =
      utcTimeText(now - std::chrono::minutes(10)).substr(0, 10) == line["day"].get<std::string>();
  EXPECT_EQ(line["yield"]["boards"], idleToday ? 4 : 3);
  unsigned long perHour = 0;
  for (const Json& hour : line["hours"]) perHour += hour["boards"].get<unsigned long>();
  EXPECT_EQ(perHour, line["yield"]["boards"].get<unsigned long>());
}

TEST_F(Serve, FindsAUnitsEveryAttemptBySerialNumber) {
  fill(system_clock::now());
  ASSERT_TRUE(startServe(dir, {"--db", path, "--listen", "127.0.0.1:0"}, &served));
  const Json unit = getJson(served, "/api/serial?number=1002");
  ASSERT_EQ(unit["attempts"].size(), 2u) << unit.dump();
  EXPECT_EQ(unit["attempts"][0]["attempt"], 2);
  EXPECT_EQ(unit["attempts"][0]["outcome"], "success");
  EXPECT_EQ(unit["attempts"][1]["outcome"], "communication-error");
  EXPECT_EQ(getJson(served, "/api/serial?number=424242")["attempts"].size(), 0u);
  auto page = get(served, "/serial?number=1002");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("2 attempts"), std::string::npos) << page->body;
  for (const char* bad : {"abc", "", "-1", "99999999999999999999", "1%3Cscript%3E"}) {
    auto refused = get(served, std::string("/serial?number=") + bad);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 400) << bad;
    EXPECT_EQ(refused->body.find("<script"), std::string::npos) << bad;
  }
}

// Every text from the record as text: nothing of it makes markup, ends a string or shows a
// control byte or a stray byte in the page or the JSON.
TEST_F(Serve, EscapesEveryTextFromTheRecord) {
  fill(system_clock::now());
  ASSERT_TRUE(startServe(dir, {"--db", path, "--listen", "127.0.0.1:0"}, &served));
  for (const char* path : {"/", "/serial?number=1003", "/api/line", "/api/serial?number=1003"}) {
    auto answer = get(served, path);
    ASSERT_TRUE(answer) << path;
    ASSERT_EQ(answer->status, 200) << path;
    const std::string& body = answer->body;
    EXPECT_EQ(body.find('\x01'), std::string::npos) << path;
    EXPECT_EQ(body.find('\x1b'), std::string::npos) << path;
    EXPECT_EQ(body.find('\xff'), std::string::npos) << path;
    EXPECT_NE(body.find(Fffd), std::string::npos) << path;
    EXPECT_FALSE(answer->has_header("Access-Control-Allow-Origin")) << path;
    if (path[1] == 'a') {
      EXPECT_FALSE(Json::parse(body, nullptr, false).is_discarded()) << path;
      EXPECT_NE(body.find("<script>alert(\\\"x\\\")"), std::string::npos) << path;
    } else {
      EXPECT_EQ(body.find("<script"), std::string::npos) << path;
      EXPECT_EQ(body.find("<b>"), std::string::npos) << path;
      EXPECT_NE(body.find("&lt;script&gt;alert(&quot;x&quot;)"), std::string::npos) << path;
    }
  }
}

TEST_F(Serve, RefusesAWrongHostAndOtherAddressesNeedTheToken) {
  fill(system_clock::now());
  ASSERT_TRUE(startServe(dir, {"--db", path, "--listen", "127.0.0.1:0"}, &served));
  EXPECT_EQ(get(served, "/api/line", {{"Host", "evil.example"}})->status, 403);
  EXPECT_EQ(get(served, "/", {{"Host", "evil.example:" + std::to_string(served.port)}})->status,
            403);
  EXPECT_EQ(get(served, "/", {{"Host", "localhost:" + std::to_string(served.port)}})->status, 200);
  EXPECT_EQ(get(served, "/api/line", {{"Origin", "http://evil.example"}})->status, 403);
  // A second page on the same port is refused, naming the address.
  const std::string taken = "127.0.0.1:" + std::to_string(served.port), out = dir + "/out.txt";
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, {"serve", "--db", path, "--listen", taken}, out)), 2);
  EXPECT_NE(readText(out).find("cannot listen on " + taken + " (the port is taken"),
            std::string::npos)
      << readText(out);
  EXPECT_EQ(stopServe(&served), 0) << readText(served.out);

  const std::string token = "supervisor-0123456789abcdef";
  ASSERT_TRUE(startServe(dir,
                         {"--db", path, "--listen", "0.0.0.0:0", "--console-host", "line.test"},
                         &served, "K4471_CONSOLE_TOKEN=" + token));
  EXPECT_EQ(served.url, "http://line.test:" + std::to_string(served.port) + "/?token=" + token);
  const std::string host = "line.test:" + std::to_string(served.port);
  EXPECT_EQ(get(served, "/api/line", {{"Host", host}})->status, 401);
  EXPECT_EQ(get(served, "/api/line", {{"Host", host}, {"Authorization", "Bearer wrong-0123456789"}})
                ->status,
            401);
  EXPECT_EQ(
      get(served, "/api/line", {{"Host", host}, {"Authorization", "Bearer " + token}})->status,
      200);
  auto opened = get(served, "/?token=" + token, {{"Host", host}});
  EXPECT_EQ(opened->status, 303);
  EXPECT_NE(opened->get_header_value("Set-Cookie").find("HttpOnly"), std::string::npos);
  EXPECT_EQ(stopServe(&served), 0);

  // Without a token of its own it makes one and prints it.
  ASSERT_TRUE(startServe(dir, {"--db", path, "--listen", "0.0.0.0:0", "--console-host", "x.test"},
                         &served));
  EXPECT_TRUE(
      std::regex_match(served.url, std::regex("http://x\\.test:[0-9]+/\\?token=[0-9a-f]{32}")))
      << served.url;
}

TEST_F(Serve, ShowsARecordThatWentAwayAndRecoversWhenItIsBack) {
  fill(system_clock::now());
  ASSERT_TRUE(startServe(dir, {"--db", path, "--listen", "127.0.0.1:0"}, &served));
  ASSERT_TRUE(getJson(served, "/api/line")["reachable"].get<bool>());
  ASSERT_EQ(rename(path.c_str(), (path + ".away").c_str()), 0);
  Json line;
  ASSERT_TRUE(waitForReachable(served, false, &line)) << line.dump();
  EXPECT_NE(line["error"].get<std::string>().find("no such database file"), std::string::npos);
  EXPECT_EQ(line["stations"].size(), 3u) << "what was last read is still shown";
  auto page = get(served, "/");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("The record cannot be read"), std::string::npos);
  EXPECT_EQ(get(served, "/api/serial?number=1002")->status, 503);
  ASSERT_EQ(rename((path + ".away").c_str(), path.c_str()), 0);
  EXPECT_TRUE(waitForReachable(served, true, &line)) << line.dump();
  EXPECT_EQ(getJson(served, "/api/serial?number=1002")["attempts"].size(), 2u);
  EXPECT_EQ(stopServe(&served), 0) << readText(served.out);
}

TEST_F(Serve, ARecordNotThereAtTheStartIsADatabaseError) {
  const std::string out = dir + "/out.txt";
  EXPECT_EQ(
      waitFor(spawnProgram(K4471_CLI, {"serve", "--db", path, "--listen", "127.0.0.1:0"}, out)), 9);
  EXPECT_NE(readText(out).find("database error: " + path + ": no such database file"),
            std::string::npos)
      << readText(out);
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI,
                                 {"serve", "--db", "postgresql://nobody@127.0.0.1:1/none",
                                  "--listen", "127.0.0.1:0"},
                                 out)),
            9);
  EXPECT_NE(readText(out).find("127.0.0.1"), std::string::npos) << readText(out);
  fill(system_clock::now());
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, {"serve", "--db", path, "--listen", "nowhere"}, out)),
            2);
  EXPECT_EQ(waitFor(spawnProgram(K4471_CLI, {"serve", "--listen", "127.0.0.1:0"}, out)), 2);
}

// The same page from a PostgreSQL server, stopped and started again while it is served.
TEST(ServePg, ShowsAServerThatStoppedAndRecovers) {
  PgServer server;
  std::string error, dir = makeScratchDir();
  if (!pgProgramsPresent(&server.bindir)) GTEST_SKIP() << "PostgreSQL's programs are not installed";
  ASSERT_TRUE(startPgServer(&server, &error)) << error;
  DbTarget target;
  Db db;
  ASSERT_TRUE(parseDbTarget(pgTarget(server, "postgres"), &target, &error)) << error;
  ASSERT_TRUE(openRecord(&db, target, true)) << db.error;
  fillLine(&db, system_clock::now());
  dbClose(&db);
  Served served;
  ASSERT_TRUE(
      startServe(dir, {"--db", pgTarget(server, "postgres"), "--listen", "127.0.0.1:0"}, &served));
  EXPECT_EQ(getJson(served, "/api/line")["stations"].size(), 3u);
  ASSERT_TRUE(stopPgServer(&server));
  Json line;
  EXPECT_TRUE(waitForReachable(served, false, &line)) << line.dump();
  ASSERT_TRUE(restartPgServer(&server, &error)) << error;
  EXPECT_TRUE(waitForReachable(served, true, &line)) << line.dump();
  EXPECT_EQ(getJson(served, "/api/serial?number=1002")["attempts"].size(), 2u);
  EXPECT_EQ(stopServe(&served), 0) << readText(served.out);
  removePgServer(&server);
  removeScratchDir(dir);
}

}  // namespace
