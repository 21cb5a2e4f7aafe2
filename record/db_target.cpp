// Database targets: a SQLite file's path, or a PostgreSQL URL without a password.
#include <cctype>
#include <string>

#include "record/record_db.h"

namespace {

const char* const PostgresSchemes[] = {"postgresql://", "postgres://"};

// %XX decoded; false for a stray '%'.
bool percentDecode(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out->push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size() || !isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      return false;
    }
    out->push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
    i += 2;
  }
  return true;
}

bool validPort(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char c : port) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  }
  long value = std::stol(port);
  return value >= 1 && value <= 65535;
}

// HOST[:PORT], the host possibly in brackets (IPv6).
bool splitHostPort(const std::string& text, DbTarget* target, std::string* error) {
  std::string host = text, port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return *error = "an unclosed [ in the host", false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return *error = "text after the host's ]", false;
      port = text.substr(close + 2);
      if (port.empty()) return *error = "an empty port", false;
    }
  } else if (size_t colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) return *error = "an empty port", false;
  }
  if (host.empty()) return *error = "no host", false;
  if (!port.empty() && !validPort(port))
    return *error = "the port " + port + " is not 1 to 65535", false;
  if (!percentDecode(host, &target->host)) return *error = "a stray % in the host", false;
  target->port = port;
  return true;
}

bool parsePostgres(const std::string& text, size_t schemeLength, DbTarget* target,
                   std::string* error) {
  std::string rest = text.substr(schemeLength);
  if (rest.find('?') != std::string::npos) {
    return *error = "takes no parameters (give them through libpq's environment or PGSERVICE)",
           false;
  }
  size_t slash = rest.find('/');
  if (slash == std::string::npos || slash + 1 == rest.size()) {
    return *error = "names no database (postgresql://[USER@]HOST[:PORT]/DBNAME)", false;
  }
  std::string authority = rest.substr(0, slash);
  if (!percentDecode(rest.substr(slash + 1), &target->dbname)) {
    return *error = "a stray % in the database name", false;
  }
  if (size_t at = authority.rfind('@'); at != std::string::npos) {
    std::string user = authority.substr(0, at);
    if (user.find(':') != std::string::npos) {
      return *error =
                 "holds a password: give it through PGPASSWORD, the password file or PGSERVICE",
             false;
    }
    if (!percentDecode(user, &target->user)) return *error = "a stray % in the user", false;
    authority = authority.substr(at + 1);
  }
  if (!splitHostPort(authority, target, error)) return false;
  target->engine = DbEngine::Postgres;
  target->shown = std::string(PostgresSchemes[0]) + authority + "/" + rest.substr(slash + 1);
  return true;
}

}  // namespace

bool parseDbTarget(const std::string& text, DbTarget* target, std::string* error) {
  *target = DbTarget();
  std::string reason;
  bool good = true;
  if (text.empty()) {
    reason = "is empty";
    good = false;
  } else if (text.compare(0, 13, PostgresSchemes[0]) == 0) {
    good = parsePostgres(text, 13, target, &reason);
  } else if (text.compare(0, 11, PostgresSchemes[1]) == 0) {
    good = parsePostgres(text, 11, target, &reason);
  } else if (text.find("://") != std::string::npos) {
    reason = "is neither a file nor postgresql://[USER@]HOST[:PORT]/DBNAME";
    good = false;
  } else {
    target->engine = DbEngine::Sqlite;
    target->path = text;
    target->shown = text;
  }
  if (good) return true;
  // The target itself is not repeated: it may hold a password.
  *error = "the database target " + reason;
  *target = DbTarget();
  return false;
}
