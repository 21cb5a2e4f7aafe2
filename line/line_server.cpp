// The line's page served (cpp-httplib, with the console's bounds and access checks).
#include "line/line_server.h"

#include <httplib.h>

#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "console/console_http.h"
#include "line/line_page.h"
#include "line/line_snapshot.h"
#include "record/attempt_row.h"

namespace {

constexpr int RequestThreads = 16;

}  // namespace

struct LineServer {
  httplib::Server http;
  std::thread listener, reader;
  ConsoleAccess access;
  LineSettings settings;
  DbTarget target;
  std::mutex dbLock;  // the record: one reading at a time
  Db db;
  std::mutex shownLock;  // what the page shows
  LineSnapshot shown;
  std::mutex stopLock;
  std::condition_variable stopWake;
  bool stopping = false;
};

namespace {

// The record open for a reading (dbLock held); false with the reason.
bool takeRecord(LineServer* s, std::string* fault) {
  if (dbConnected(s->db) || openRecord(&s->db, s->target, false)) return true;
  *fault = dbFaultText(s->db);
  return false;
}

// After a reading: a connection that failed is made again next time, and a SQLite file is
// opened again for each reading, so that a file removed or replaced is seen as such.
void releaseRecord(LineServer* s, bool failed) {
  if (failed || s->target.engine == DbEngine::Sqlite) dbClose(&s->db);
}

void readOnce(LineServer* s) {
  LineSnapshot read;
  std::string fault;
  {
    std::lock_guard<std::mutex> hold(s->dbLock);
    if (takeRecord(s, &fault) && !readLine(&s->db, std::chrono::system_clock::now(), &read)) {
      fault = dbFaultText(s->db);
    }
    releaseRecord(s, !fault.empty());
  }
  std::lock_guard<std::mutex> hold(s->shownLock);
  if (fault.empty()) {
    s->shown = read;
  } else {
    s->shown.target = s->target.shown;
    s->shown.fault = fault;
  }
}

void readEvery(LineServer* s) {
  std::unique_lock<std::mutex> lock(s->stopLock);
  while (!s->stopping) {
    s->stopWake.wait_for(lock, s->settings.refresh, [s] { return s->stopping; });
    if (s->stopping) break;
    lock.unlock();
    readOnce(s);
    lock.lock();
  }
}

LineSnapshot shownLine(LineServer* s) {
  std::lock_guard<std::mutex> hold(s->shownLock);
  return s->shown;
}

// A serial number as the record holds it: decimal digits, at most the databases' largest.
bool serialAsked(const std::string& text, uint64_t* serial) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *serial = std::strtoull(text.c_str(), nullptr, 10);
  return *serial <= 9223372036854775807ULL;
}

// The unit's attempts, with the answer's status.
UnitAnswer askUnit(LineServer* s, const httplib::Request& request, int* status) {
  UnitAnswer unit;
  unit.asked = request.get_param_value("number");
  *status = 200;
  if (!serialAsked(unit.asked, &unit.serial)) {
    unit.refusal = "A serial number is a whole number of up to 19 decimal digits.";
    *status = 400;
    return unit;
  }
  std::lock_guard<std::mutex> hold(s->dbLock);
  if (takeRecord(s, &unit.fault) && !readUnit(&s->db, unit.serial, &unit.attempts)) {
    unit.fault = dbFaultText(s->db);
  }
  releaseRecord(s, !unit.fault.empty());
  if (!unit.fault.empty()) *status = 503;
  return unit;
}

void addRoutes(LineServer* s) {
  httplib::Server& http = s->http;
  http.set_pre_routing_handler([s](const httplib::Request& request, httplib::Response& response) {
    return admitConsoleRequest(s->access, request, response);
  });
  http.Get("/", [s](const httplib::Request&, httplib::Response& response) {
    response.set_content(renderLinePage(shownLine(s)), "text/html; charset=utf-8");
  });
  http.Get("/line.css", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(LineStyle, "text/css; charset=utf-8");
  });
  http.Get("/api/line", [s](const httplib::Request&, httplib::Response& response) {
    response.set_content(lineJson(shownLine(s)), "application/json");
  });
  http.Get("/serial", [s](const httplib::Request& request, httplib::Response& response) {
    const UnitAnswer unit = askUnit(s, request, &response.status);
    response.set_content(renderUnitPage(unit), "text/html; charset=utf-8");
  });
  http.Get("/api/serial", [s](const httplib::Request& request, httplib::Response& response) {
    const UnitAnswer unit = askUnit(s, request, &response.status);
    if (!unit.refusal.empty()) return refuseRequest(&response, 400, unit.refusal.c_str());
    response.set_content(unitJson(unit), "application/json");
  });
}

LineServer* startServing(const LineSettings& settings, Db* db, std::string* url,
                         std::string* error) {
  auto server = std::make_unique<LineServer>();
  server->settings = settings;
  configureConsoleHttp(&server->http, RequestThreads);
  addRoutes(server.get());
  if (!bindPage(&server->http, settings.listen, settings.token, settings.consoleHost,
                &server->access, url, error)) {
    return nullptr;
  }
  server->target = db->target;
  server->db = *db;
  *db = Db();
  LineServer* running = server.release();
  readOnce(running);
  running->reader = std::thread([running] { readEvery(running); });
  running->listener = std::thread([running] { running->http.listen_after_bind(); });
  return running;
}

}  // namespace

LineServer* startLineServer(const LineSettings& settings, Db* db, std::string* url,
                            std::string* error) {
  try {
    return startServing(settings, db, url, error);
  } catch (const std::exception& e) {
    *error = std::string("the line's page did not start: ") + e.what();
    return nullptr;
  }
}

void stopLineServer(LineServer* server) {
  if (!server) return;
  {
    std::lock_guard<std::mutex> hold(server->stopLock);
    server->stopping = true;
  }
  server->stopWake.notify_all();
  if (server->reader.joinable()) server->reader.join();
  server->http.stop();
  if (server->listener.joinable()) server->listener.join();
  dbClose(&server->db);
  delete server;
}
