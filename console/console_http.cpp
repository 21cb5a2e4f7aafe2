// The pages' shared HTTP pieces: bounds, headers, access, bind.
#include "console/console_http.h"

#include <exception>

#include "console/machine_name.h"

namespace {

const char* const Policy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "form-action 'self'; base-uri 'none'; frame-ancestors 'none'";

AccessRequest accessRequest(const httplib::Request& request) {
  AccessRequest asked;
  asked.method = request.method;
  asked.host = request.get_header_value("Host");
  asked.origin = request.get_header_value("Origin");
  asked.authorization = request.get_header_value("Authorization");
  asked.cookie = request.get_header_value("Cookie");
  asked.queryToken = request.get_param_value("token");
  return asked;
}

}  // namespace

void configureConsoleHttp(httplib::Server* http, int threads) {
  // The library's default lets a second server listen on a port already served (SO_REUSEPORT),
  // and the two would share its requests: only a port left in TIME_WAIT may be bound again.
  http->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
  });
  http->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  http->set_keep_alive_max_count(1);
  http->set_read_timeout(5, 0);
  http->set_write_timeout(5, 0);
  http->set_payload_max_length(4096);
  http->set_default_headers({{"Cache-Control", "no-store"},
                             {"X-Content-Type-Options", "nosniff"},
                             {"Referrer-Policy", "no-referrer"},
                             {"Content-Security-Policy", Policy}});
  http->set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty()) {
      response.set_content("HTTP status " + std::to_string(response.status) + "\n",
                           "text/plain; charset=utf-8");
    }
  });
  http->set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        refuseRequest(&response, 500, "Internal Server Error");
      });
}

void refuseRequest(httplib::Response* response, int status, const char* why) {
  response->status = status;
  response->set_content(std::string(why) + "\n", "text/plain; charset=utf-8");
}

httplib::Server::HandlerResponse admitConsoleRequest(const ConsoleAccess& access,
                                                     const httplib::Request& request,
                                                     httplib::Response& response) {
  switch (checkAccess(access, accessRequest(request))) {
    case Access::Allowed:
      return httplib::Server::HandlerResponse::Unhandled;
    case Access::AllowedSetCookie:
      response.set_header("Set-Cookie", tokenCookie(access));
      response.set_redirect("/", 303);
      break;
    case Access::WrongHost:
      refuseRequest(&response, 403, "Forbidden: this page does not answer to that Host.");
      break;
    case Access::ForeignOrigin:
      refuseRequest(&response, 403, "Forbidden: a request from another origin.");
      break;
    case Access::NoToken:
      refuseRequest(&response, 401,
                    "Unauthorized: open the URL printed at the start, with its token.");
      break;
  }
  return httplib::Server::HandlerResponse::Handled;
}

bool bindPage(httplib::Server* http, const std::string& listen, const std::string& token,
              const std::string& consoleHost, ConsoleAccess* access, std::string* url,
              std::string* error) {
  ListenAddress address;
  if (!parseListenAddress(listen, &address, error)) return false;
  const std::string host = address.host == "localhost" ? "127.0.0.1" : address.host;
  const int port = address.port == 0                        ? http->bind_to_any_port(host)
                   : http->bind_to_port(host, address.port) ? address.port
                                                            : -1;
  if (port <= 0) {
    *error =
        "cannot listen on " + listen + " (the port is taken, or the address is not this machine's)";
    return false;
  }
  *access = makeConsoleAccess(address, port, token, machineName(), consoleHost);
  *url = consoleUrl(*access);
  return true;
}
