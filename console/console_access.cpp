// The console's access checks: listen address, Host, token, Origin.
#include "console/console_access.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <random>

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string withPort(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return lower((v6 ? "[" + host + "]" : host) + ":" + std::to_string(port));
}

// Compares without stopping at the first difference.
bool sameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

std::string cookieValue(const std::string& cookies, const std::string& name) {
  size_t at = 0;
  while (at < cookies.size()) {
    size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    std::string pair = cookies.substr(at, end - at);
    pair.erase(0, pair.find_first_not_of(' '));
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    at = end + 1;
  }
  return "";
}

bool tokenCharacters(const std::string& token) {
  return std::all_of(token.begin(), token.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
  });
}

bool checkedToken(const std::string& token, const char* from, std::string* error) {
  if (token.size() >= 16 && tokenCharacters(token)) return true;
  *error =
      std::string("the console token ") + from + " must be at least 16 letters, digits or - . _ ~";
  return false;
}

}  // namespace

bool parseListenAddress(const std::string& text, ListenAddress* address, std::string* error) {
  const size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
  const std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    host.clear();  // an IPv6 address needs its brackets
  }
  const bool digits =
      !port.empty() && port.size() <= 5 &&
      std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); });
  const long number = digits ? std::strtol(port.c_str(), nullptr, 10) : -1;
  if (host.empty() || number < 0 || number > 65535) {
    *error = "--console takes HOST:PORT (such as 127.0.0.1:8080, [::1]:0 or 0.0.0.0:8080), not \"" +
             text + "\"";
    return false;
  }
  address->host = host;
  address->port = static_cast<int>(number);
  return true;
}

bool isLoopbackHost(const std::string& host) {
  const std::string name = lower(host);
  return name == "localhost" || name == "::1" || name.compare(0, 4, "127.") == 0;
}

ConsoleAccess makeConsoleAccess(const ListenAddress& listen, int boundPort,
                                const std::string& token, const std::string& machineName,
                                const std::string& consoleHost) {
  ConsoleAccess access;
  access.port = boundPort;
  access.loopback = isLoopbackHost(listen.host);
  std::vector<std::string> names = {listen.host, consoleHost};
  if (access.loopback) {
    names.insert(names.end(), {"localhost", "127.0.0.1", "::1"});
  } else {
    access.token = token;
    names.push_back(machineName);
  }
  for (const std::string& name : names) {
    if (!name.empty()) access.hosts.push_back(withPort(name, boundPort));
  }
  const bool any = listen.host == "0.0.0.0" || listen.host == "::";
  const std::string shown = any ? (!consoleHost.empty() ? consoleHost : machineName) : listen.host;
  access.urlHost = withPort(shown.empty() ? listen.host : shown, boundPort);
  return access;
}

std::string consoleUrl(const ConsoleAccess& access) {
  std::string url = "http://" + access.urlHost + "/";
  if (!access.token.empty()) url += "?token=" + access.token;
  return url;
}

std::string tokenCookieName(const ConsoleAccess& access) {
  return "k4471_console_" + std::to_string(access.port);
}

std::string tokenCookie(const ConsoleAccess& access) {
  return tokenCookieName(access) + "=" + access.token + "; Path=/; HttpOnly; SameSite=Strict";
}

Access checkAccess(const ConsoleAccess& access, const AccessRequest& request) {
  const std::string host = lower(request.host);
  if (std::find(access.hosts.begin(), access.hosts.end(), host) == access.hosts.end()) {
    return Access::WrongHost;
  }
  const bool post = request.method != "GET" && request.method != "HEAD";
  if ((post || !request.origin.empty()) && lower(request.origin) != "http://" + host) {
    return Access::ForeignOrigin;
  }
  if (access.token.empty()) return Access::Allowed;
  const std::string bearer = "Bearer ";
  if (request.authorization.compare(0, bearer.size(), bearer) == 0 &&
      sameSecret(request.authorization.substr(bearer.size()), access.token)) {
    return Access::Allowed;
  }
  if (sameSecret(cookieValue(request.cookie, tokenCookieName(access)), access.token)) {
    return Access::Allowed;
  }
  if (!post && sameSecret(request.queryToken, access.token)) return Access::AllowedSetCookie;
  return Access::NoToken;
}

bool takeConsoleToken(const std::string& file, const char* environment, std::string* token,
                      bool* made, std::string* error) {
  *made = false;
  if (!file.empty()) {
    std::ifstream in(file);
    if (!in || !std::getline(in, *token)) {
      *error = "the console token file " + file + " cannot be read";
      return false;
    }
    while (!token->empty() && std::isspace(static_cast<unsigned char>(token->back()))) {
      token->pop_back();
    }
    return checkedToken(*token, ("in " + file).c_str(), error);
  }
  if (environment && *environment) {
    *token = environment;
    return checkedToken(*token, "in K4471_CONSOLE_TOKEN", error);
  }
  std::random_device random;
  static const char digits[] = "0123456789abcdef";
  token->clear();
  for (int i = 0; i < 32; ++i) token->push_back(digits[random() & 15]);
  *made = true;
  return true;
}
