// What every page this program serves shares on the HTTP library (cpp-httplib; see
// console_server.h for why it): the bounds on threads, connections and requests, the headers
// sent with every answer (no CORS), the access check before any route, and the bind.
#pragma once

#include <httplib.h>

#include "console/console_access.h"

// A pool of `threads`, one request per connection (no idle keep-alive connection holds a
// thread), read and write timeouts and a request-size limit on every connection, and the
// security headers on every answer; a port already served is not bound a second time.
void configureConsoleHttp(httplib::Server* http, int threads);
// An answer in plain text.
void refuseRequest(httplib::Response* response, int status, const char* why);
// Every request passes here first: a wrong Host, a foreign Origin or a missing token ends it
// (Handled); a token in the URL sets its cookie and sends the browser to the page.
httplib::Server::HandlerResponse admitConsoleRequest(const ConsoleAccess& access,
                                                     const httplib::Request& request,
                                                     httplib::Response& response);
// Binds `listen` (HOST:PORT) and says who may use the page bound there (the token needed on any
// address but the loopback, Host names beside this machine's: `consoleHost`) and the URL to
// open. False with the reason in *error.
bool bindPage(httplib::Server* http, const std::string& listen, const std::string& token,
              const std::string& consoleHost, ConsoleAccess* access, std::string* url,
              std::string* error);
