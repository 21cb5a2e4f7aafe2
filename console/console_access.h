// Who may use the console: the listen address, the Host header a request must
// carry, the token (needed on any address but the loopback) and the Origin
// of a stop. Plain checks on the request's headers, without the server.
#pragma once

#include <string>
#include <vector>

struct ListenAddress {
  std::string host;  // without brackets: "127.0.0.1", "::1", "0.0.0.0", a name
  int port = 0;      // 0: a free one is picked
};

// HOST:PORT, [V6]:PORT. False with the reason.
bool parseListenAddress(const std::string& text, ListenAddress* address, std::string* error);
// 127.0.0.0/8, ::1 and localhost.
bool isLoopbackHost(const std::string& host);

struct ConsoleAccess {
  int port = 0;  // the port bound
  bool loopback = true;
  std::string token;               // empty on the loopback
  std::vector<std::string> hosts;  // what a Host header may be, port included, in lower case
  std::string urlHost;             // the host the printed URL names
};

// The names a Host header may carry: on the loopback localhost, 127.0.0.1
// and [::1]; elsewhere the listen address, the machine's name and
// `consoleHost` (any of them may be empty).
ConsoleAccess makeConsoleAccess(const ListenAddress& listen, int boundPort,
                                const std::string& token, const std::string& machineName,
                                const std::string& consoleHost);
// The URL to open: with ?token= where one is needed.
std::string consoleUrl(const ConsoleAccess& access);
// The cookie that carries the token (its name holds the port: cookies do not
// tell ports apart), as set after the printed URL was opened.
std::string tokenCookieName(const ConsoleAccess& access);
std::string tokenCookie(const ConsoleAccess& access);

struct AccessRequest {
  std::string method;
  std::string host, origin, authorization, cookie;  // the headers, empty when missing
  std::string queryToken;                           // ?token=
};

enum class Access {
  Allowed,
  AllowedSetCookie,  // the token came in the URL: set the cookie, and send the page's address
  WrongHost,
  ForeignOrigin,  // an Origin that is not this console's, or a POST without one
  NoToken,
};
Access checkAccess(const ConsoleAccess& access, const AccessRequest& request);

// The token: from `file` (its first line), else from `environment` (the
// value of K4471_CONSOLE_TOKEN, nullptr when unset), else a new random one
// (*made set). Tokens hold letters, digits and - . _ ~ only, at least 16 of
// them. False with the reason.
bool takeConsoleToken(const std::string& file, const char* environment, std::string* token,
                      bool* made, std::string* error);
