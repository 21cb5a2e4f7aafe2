// The station console's parts without a server: text made safe, the view's
// counters and events, the page and JSON, and who may use the console.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <string>

#include "console/console_access.h"
#include "console/event_stream.h"
#include "console/page.h"
#include "console/station_view.h"
#include "console/text_escape.h"

namespace {

const std::string Hostile = "<script>alert(\"x\")</script> 'q' \x01\x1b[2J \xff\xc0\xaf end";

TEST(ConsoleText, MakesStrayBytesAndControlsVisibleAndKeepsGoodUtf8) {
  EXPECT_EQ(cleanText("a\xff"
                      "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(cleanText("\xc0\xaf"), "\xEF\xBF\xBD\xEF\xBF\xBD") << "overlong";
  EXPECT_EQ(cleanText("\xed\xa0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD") << "surrogate";
  EXPECT_EQ(cleanText("\xe2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD") << "cut short";
  EXPECT_EQ(cleanText("x\ny\x7f"), "x\xE2\x90\x8Ay\xE2\x90\xA1");
  EXPECT_EQ(cleanText("\xc3\xa9\xf0\x9f\x98\x80"), "\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(htmlEscape("<a href=\"x\">'&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
}

BoardResult result(unsigned long board, int code, int attempt = 1) {
  BoardResult r;
  r.port = "p0";
  r.board = board;
  r.attempt = attempt;
  r.exitCode = code;
  r.outcome = code == 0 ? "success" : "communication-error";
  r.message = code == 0 ? "" : Hostile;
  return r;
}

TEST(StationView, CountsEachBoardOnceByItsLastAttemptAndKeepsTheLastTwenty) {
  StationView view;
  viewStart(&view, "app.hex", {"p0", "p1"});
  viewBoardStarted(&view, 0, 1, 1000, 1);
  viewBoardEnded(&view, 0, result(1, 6, 1), false);  // tried again
  viewBoardEnded(&view, 0, result(1, 0, 2), true);
  viewBoardEnded(&view, 1, result(2, 0), true);
  viewBoardEnded(&view, 1, result(3, 6), true);
  StationState state = viewSnapshot(&view);
  EXPECT_EQ(state.counters.boards, 3u);
  EXPECT_EQ(state.counters.passed, 2u);
  EXPECT_EQ(state.counters.failed, 1u);
  EXPECT_NEAR(state.counters.firstPassYield, 100.0 / 3, 0.01) << "board 1 passed at its second";
  EXPECT_EQ(state.tiles[1].state, TileState::Failed);
  EXPECT_EQ(state.tiles[1].message.find('\x01'), std::string::npos);
  for (unsigned long board = 4; board < 30; ++board)
    viewBoardEnded(&view, 0, result(board, 0), true);
  state = viewSnapshot(&view);
  ASSERT_EQ(state.recent.size(), RecentBoards);
  EXPECT_EQ(state.recent.front().board, 29u);
  EXPECT_EQ(state.recent.back().board, 10u);
  EXPECT_GT(state.counters.boardsPerHour, 0);
}

TEST(StationView, HoldsProgressBackToFourEventsASecondButNeverAStateChange) {
  StationView view;
  viewStart(&view, "app.hex", {"p0"});
  StreamCursor cursor;
  ViewClock::time_point now = ViewClock::now();
  EXPECT_NE(dueEvents(&cursor, viewSnapshot(&view), now).find("event: summary"), std::string::npos)
      << "a new client is sent everything first";
  const uint64_t before = viewSnapshot(&view).version;
  viewProgress(&view, 0, TileState::Programming, 1);
  for (int percent = 2; percent <= 50; ++percent) {
    viewProgress(&view, 0, TileState::Programming, percent);
  }
  EXPECT_LE(viewSnapshot(&view).version - before, 2u) << "readers are not woken per step";
  EXPECT_NE(dueEvents(&cursor, viewSnapshot(&view), now).find("event: tile"), std::string::npos);
  viewProgress(&view, 0, TileState::Programming, 60);
  EXPECT_EQ(dueEvents(&cursor, viewSnapshot(&view), now), "") << "progress within 250 ms";
  const std::string later =
      dueEvents(&cursor, viewSnapshot(&view), now + std::chrono::milliseconds(300));
  EXPECT_NE(later.find("\"percent\":60"), std::string::npos) << later;
  viewPortState(&view, 0, TileState::Checking);
  EXPECT_NE(dueEvents(&cursor, viewSnapshot(&view), now + std::chrono::milliseconds(301))
                .find("\"state\":\"checking\""),
            std::string::npos);
  viewEnd(&view);
  dueEvents(&cursor, viewSnapshot(&view), now + std::chrono::seconds(1));
  EXPECT_TRUE(cursor.endSent);
}

TEST(StationPage, ShowsABoardsTextAsTextInTheHtmlTheJsonAndTheEvents) {
  StationView view;
  viewStart(&view, "<b>app</b>.hex", {"/dev/tty\"0"});
  viewBoardStarted(&view, 0, 7, 1234, 1);
  viewBoardEnded(&view, 0, result(7, 8), true);
  const StationState state = viewSnapshot(&view);
  const std::string page = renderPage(state);
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_EQ(page.find("<b>app"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &#39;q&#39;"),
            std::string::npos);
  EXPECT_NE(page.find(">FAIL<"), std::string::npos);
  EXPECT_NE(page.find("class=\"tile red\""), std::string::npos);
  const nlohmann::json json = nlohmann::json::parse(stateJson(state));
  const std::string message = json["tiles"][0]["message"];
  EXPECT_EQ(message.find("<script>alert(\"x\")</script> 'q' \xE2\x90\x81"), 0u) << message;
  EXPECT_NE(message.find("\xEF\xBF\xBD\xEF\xBF\xBD end"), std::string::npos) << message;
  EXPECT_EQ(json["tiles"][0]["serial"], 1234);
  EXPECT_EQ(json["counters"]["failed"], 1);
  const nlohmann::json event = nlohmann::json::parse(tileEventData(state, 0));
  EXPECT_EQ(event["html"], renderTile(state.tiles[0], 0));
  EXPECT_EQ(tileEventData(state, 0).find('\n'), std::string::npos) << "one data line";
}

ConsoleAccess loopback() {
  ListenAddress listen;
  std::string error;
  EXPECT_TRUE(parseListenAddress("127.0.0.1:0", &listen, &error));
  return makeConsoleAccess(listen, 8080, "", "bench7", "");
}

AccessRequest get(const std::string& host) {
  AccessRequest request;
  request.method = "GET";
  request.host = host;
  return request;
}

TEST(ConsoleAccessCheck, OnTheLoopbackNamesTheLoopbackAndAStopNeedsItsOrigin) {
  const ConsoleAccess access = loopback();
  EXPECT_EQ(consoleUrl(access), "http://127.0.0.1:8080/");
  for (const char* host : {"localhost:8080", "127.0.0.1:8080", "[::1]:8080", "LOCALHOST:8080"}) {
    EXPECT_EQ(checkAccess(access, get(host)), Access::Allowed) << host;
  }
  for (const char* host : {"evil.example:8080", "127.0.0.1:8081", "localhost", "bench7:8080", ""}) {
    EXPECT_EQ(checkAccess(access, get(host)), Access::WrongHost) << host;
  }
  AccessRequest stop = get("localhost:8080");
  stop.method = "POST";
  EXPECT_EQ(checkAccess(access, stop), Access::ForeignOrigin) << "no Origin";
  stop.origin = "http://evil.example";
  EXPECT_EQ(checkAccess(access, stop), Access::ForeignOrigin);
  stop.origin = "http://127.0.0.1:8080";
  EXPECT_EQ(checkAccess(access, stop), Access::ForeignOrigin) << "another name of this host";
  stop.origin = "http://localhost:8080";
  EXPECT_EQ(checkAccess(access, stop), Access::Allowed);
  AccessRequest read = get("localhost:8080");
  read.origin = "null";
  EXPECT_EQ(checkAccess(access, read), Access::ForeignOrigin);
}

TEST(ConsoleAccessCheck, ElsewhereEveryRequestNeedsTheTokenByHeaderCookieOrTheUrlOnce) {
  ListenAddress listen;
  std::string error;
  ASSERT_TRUE(parseListenAddress("0.0.0.0:0", &listen, &error));
  const std::string token = "0123456789abcdef0123";
  const ConsoleAccess access = makeConsoleAccess(listen, 9000, token, "bench7", "line3.example");
  EXPECT_EQ(consoleUrl(access), "http://line3.example:9000/?token=" + token);
  AccessRequest request = get("bench7:9000");
  EXPECT_EQ(checkAccess(access, request), Access::NoToken);
  EXPECT_EQ(checkAccess(access, get("localhost:9000")), Access::WrongHost);
  request.authorization = "Bearer " + token;
  EXPECT_EQ(checkAccess(access, request), Access::Allowed);
  request.authorization = "Bearer " + token + "x";
  EXPECT_EQ(checkAccess(access, request), Access::NoToken);
  request.authorization.clear();
  request.cookie = "other=1; " + tokenCookieName(access) + "=" + token;
  EXPECT_EQ(checkAccess(access, request), Access::Allowed);
  request.cookie.clear();
  request.queryToken = token;
  EXPECT_EQ(checkAccess(access, request), Access::AllowedSetCookie);
  EXPECT_NE(tokenCookie(access).find("HttpOnly; SameSite=Strict"), std::string::npos);
  AccessRequest stop = get("line3.example:9000");
  stop.method = "POST";
  stop.origin = "http://line3.example:9000";
  stop.queryToken = token;
  EXPECT_EQ(checkAccess(access, stop), Access::NoToken) << "a stop never takes it from the URL";
}

TEST(ConsoleAccessCheck, TakesListenAddressesAndTokens) {
  ListenAddress listen;
  std::string error;
  EXPECT_TRUE(parseListenAddress("[::1]:0", &listen, &error));
  EXPECT_EQ(listen.host, "::1");
  EXPECT_TRUE(isLoopbackHost(listen.host));
  for (const char* bad : {"8080", "host:", "::1:80", "host:65536", "host:8x", ":80"}) {
    EXPECT_FALSE(parseListenAddress(bad, &listen, &error)) << bad;
  }
  EXPECT_FALSE(isLoopbackHost("192.168.1.4"));
  std::string token;
  bool made = false;
  ASSERT_TRUE(takeConsoleToken("", nullptr, &token, &made, &error));
  EXPECT_TRUE(made);
  EXPECT_EQ(token.size(), 32u);
  EXPECT_FALSE(takeConsoleToken("", "short", &token, &made, &error));
  EXPECT_FALSE(takeConsoleToken("", "has space in it 0123456", &token, &made, &error));
  const std::string file = testing::TempDir() + "console_token.txt";
  std::ofstream(file) << "from-the-file-0123456789\n";
  ASSERT_TRUE(takeConsoleToken(file, "from-the-environment-0123", &token, &made, &error));
  EXPECT_EQ(token, "from-the-file-0123456789");
  EXPECT_FALSE(made);
  std::remove(file.c_str());
  EXPECT_FALSE(takeConsoleToken(file, nullptr, &token, &made, &error));
}

}  // namespace
