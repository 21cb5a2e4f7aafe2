// The console's HTTP server (cpp-httplib; see console_server.h for why).
#include "console/console_server.h"

#include <httplib.h>

#include <atomic>
#include <exception>
#include <memory>
#include <thread>

#include "console/console_access.h"
#include "console/console_http.h"
#include "console/event_stream.h"
#include "console/page.h"

namespace {

constexpr int OtherRequestThreads = 16;  // beside the event streams
constexpr auto IdleComment = std::chrono::seconds(10);

}  // namespace

struct ConsoleServer {
  httplib::Server http;
  std::thread listener;
  ConsoleAccess access;
  StationView* view = nullptr;
  ConsoleStop stop;
  std::atomic<bool> stopAsked{false};
  std::atomic<int> streams{0};
  std::atomic<bool> closing{false};
};

namespace {

// One client's event stream: waits for a change (at most a quarter of a
// second, for progress held back), writes what is due; ends once the
// station's end is told, or when the server closes.
bool streamEvents(ConsoleServer* server, StreamCursor* cursor, httplib::DataSink& sink) {
  ViewClock::time_point quietSince = ViewClock::now();
  uint64_t seen = UINT64_MAX;
  while (!server->closing.load()) {
    seen = viewWait(server->view, seen, std::chrono::milliseconds(250));
    const ViewClock::time_point now = ViewClock::now();
    std::string due = dueEvents(cursor, viewSnapshot(server->view), now);
    if (due.empty() && now - quietSince >= IdleComment) due = ": quiet\n\n";
    if (!due.empty()) {
      if (!sink.write(due.data(), due.size())) return false;
      quietSince = now;
    }
    if (cursor->endSent) {
      sink.done();
      return true;
    }
  }
  return false;
}

void serveEvents(ConsoleServer* server, httplib::Response& response) {
  if (server->streams.fetch_add(1) >= MostEventStreams) {
    server->streams.fetch_sub(1);
    refuseRequest(&response, 503, "Service Unavailable: too many event streams.");
    return;
  }
  auto cursor = std::make_shared<StreamCursor>();
  response.set_chunked_content_provider(
      "text/event-stream",
      [server, cursor](size_t, httplib::DataSink& sink) {
        return streamEvents(server, cursor.get(), sink);
      },
      [server](bool) { server->streams.fetch_sub(1); });
}

void askStop(ConsoleServer* server, httplib::Response& response) {
  if (!server->stopAsked.exchange(true) && server->stop.stop) {
    server->stop.stop(server->stop.context);
  }
  response.status = 202;
  response.set_content(
      "The station takes no new boards and ends when the boards in progress end.\n",
      "text/plain; charset=utf-8");
}

void addRoutes(ConsoleServer* server) {
  httplib::Server& http = server->http;
  http.set_pre_routing_handler(
      [server](const httplib::Request& request, httplib::Response& response) {
        return admitConsoleRequest(server->access, request, response);
      });
  http.Get("/", [server](const httplib::Request&, httplib::Response& response) {
    response.set_content(renderPage(viewSnapshot(server->view)), "text/html; charset=utf-8");
  });
  http.Get("/page.css", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(PageStyle, "text/css; charset=utf-8");
  });
  http.Get("/page.js", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(PageScript, "text/javascript; charset=utf-8");
  });
  http.Get("/api/state", [server](const httplib::Request&, httplib::Response& response) {
    response.set_content(stateJson(viewSnapshot(server->view)), "application/json");
  });
  http.Get("/api/events", [server](const httplib::Request&, httplib::Response& response) {
    serveEvents(server, response);
  });
  http.Post("/api/stop", [server](const httplib::Request&, httplib::Response& response) {
    askStop(server, response);
  });
}

ConsoleServer* startServing(const ConsoleSettings& settings, StationView* view, ConsoleStop stop,
                            std::string* url, std::string* error) {
  auto server = std::make_unique<ConsoleServer>();
  server->view = view;
  server->stop = stop;
  configureConsoleHttp(&server->http, MostEventStreams + OtherRequestThreads);
  addRoutes(server.get());
  if (!bindPage(&server->http, settings.listen, settings.token, settings.consoleHost,
                &server->access, url, error)) {
    *error = "the console " + *error;
    return nullptr;
  }
  ConsoleServer* running = server.get();
  server->listener = std::thread([running] { running->http.listen_after_bind(); });
  return server.release();
}

}  // namespace

bool consoleAvailable() {
  return true;
}

ConsoleServer* startConsoleServer(const ConsoleSettings& settings, StationView* view,
                                  ConsoleStop stop, std::string* url, std::string* error) {
  try {
    return startServing(settings, view, stop, url, error);
  } catch (const std::exception& e) {
    *error = std::string("the console did not start: ") + e.what();
    return nullptr;
  }
}

void stopConsoleServer(ConsoleServer* server) {
  if (!server) return;
  const ViewClock::time_point limit = ViewClock::now() + std::chrono::seconds(1);
  while (server->streams.load() > 0 && ViewClock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  server->closing = true;
  server->http.stop();
  if (server->listener.joinable()) server->listener.join();
  delete server;
}
