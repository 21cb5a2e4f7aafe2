// The line's page for a supervisor: an HTTP server (the console's library, bounds and access
// checks) that reads the record and never writes it. A thread of its own reads the line every
// few seconds, so that any number of browsers costs the database nothing more; a serial number
// search asks the record at once. A record that goes away while serving is shown on the page
// with its reason, beside what was last read, and read again until it is back.
#pragma once

#include <chrono>
#include <string>

#include "record/record_db.h"

struct LineSettings {
  std::string listen;       // HOST:PORT (port 0: a free one)
  std::string token;        // needed on any address but the loopback
  std::string consoleHost;  // a further name the Host header may carry; may be empty
  std::chrono::milliseconds refresh{2000};  // how often the record is read
};

struct LineServer;

// Serves the record `db` (open, taken over by the server: it reads and closes it on its own
// thread) and reads it at once. The URL to open (with the token where one is needed), or
// nullptr with the reason (the address cannot be listened on).
LineServer* startLineServer(const LineSettings& settings, Db* db, std::string* url,
                            std::string* error);
// Stops serving and reading, closes the record and frees the server.
void stopLineServer(LineServer* server);
