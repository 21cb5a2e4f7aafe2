// The station's console: an HTTP server on threads of its own that shows the
// station's view (/, /api/state, /api/events) and takes a stop (/api/stop).
//
// The HTTP library is Debian's libcpp-httplib-dev (cpp-httplib 0.11): a
// small, well-kept embedded server, packaged with Debian's security fixes and
// linked as Debian's native library, so no copy of it lives in this tree. It
// is native only: the Windows cross build has no console (consoleAvailable()
// is false and --console is refused). Its thread pool holds a thread per
// open connection for the connection's life, so the server sizes the pool
// for every event stream it allows plus room for the other requests, serves
// one request per connection (no idle keep-alive connection holds a thread),
// and gives every connection read and write timeouts and a size limit.
#pragma once

#include <string>

#include "console/station_view.h"

struct ConsoleSettings {
  std::string listen;       // HOST:PORT (port 0: a free one)
  std::string token;        // needed on any address but the loopback
  std::string consoleHost;  // a further name the Host header may carry; may be empty
};

// POST /api/stop: called on a server thread, at most once.
struct ConsoleStop {
  void* context = nullptr;
  void (*stop)(void* context) = nullptr;
};

// The most event streams served at once; one more is answered 503.
constexpr int MostEventStreams = 32;

struct ConsoleServer;

// Whether this build has the console.
bool consoleAvailable();
// Listens and serves the view on threads of its own; the URL to open (with
// the token where one is needed). nullptr with the reason.
ConsoleServer* startConsoleServer(const ConsoleSettings& settings, StationView* view,
                                  ConsoleStop stop, std::string* url, std::string* error);
// Gives the event streams up to a second to tell the station's end (after
// viewEnd), then stops serving and frees the server.
void stopConsoleServer(ConsoleServer* server);
