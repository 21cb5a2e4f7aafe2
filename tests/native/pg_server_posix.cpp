// A PostgreSQL server of a test's own, on the loopback, in a temporary folder.
#include "pg_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "record/record_db.h"

extern char** environ;

namespace {

// Runs the program to its end (as postgres when we are root), its output into the log file.
bool runAsServer(const PgServer& server, std::vector<std::string> arguments) {
  if (geteuid() == 0) arguments.insert(arguments.begin(), {"runuser", "-u", "postgres", "--"});
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string log = server.folder + "/tool.log";
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (failed || waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A port of the loopback nobody listens on now (not 5432).
int freePort() {
  for (int tries = 0; tries < 20; ++tries) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    close(fd);
    if (port != 0 && port != 5432) return port;
  }
  return 0;
}

bool startCluster(PgServer* server) {
  std::string options = "-p " + std::to_string(server->port) + " -k " + server->folder +
                        " -c listen_addresses=127.0.0.1 -c max_connections=40" +
                        (server->durable ? "" : " -c fsync=off");
  server->running =
      runAsServer(*server, {server->bindir + "/pg_ctl", "-D", server->folder + "/data", "-l",
                            server->folder + "/log", "-w", "-t", "120", "-o", options, "start"});
  return server->running;
}

std::string lastLines(const std::string& path) {
  std::string text;
  if (FILE* file = fopen(path.c_str(), "r")) {
    char buffer[4096];
    size_t count = 0;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, count);
    fclose(file);
  }
  return text.size() > 1500 ? text.substr(text.size() - 1500) : text;
}

}  // namespace

bool pgProgramsPresent(std::string* bindir) {
  FILE* pipe = popen("pg_config --bindir 2>/dev/null", "r");
  char line[1024] = "";
  bool read = pipe && fgets(line, sizeof line, pipe) != nullptr;
  if (pipe) pclose(pipe);
  std::string folder = read ? line : "";
  while (!folder.empty() && (folder.back() == '\n' || folder.back() == ' ')) folder.pop_back();
  if (folder.empty() || access((folder + "/initdb").c_str(), X_OK) != 0 ||
      access((folder + "/pg_ctl").c_str(), X_OK) != 0) {
    folder = "/usr/lib/postgresql/15/bin";  // Debian's, when pg_config is another version's
    if (access((folder + "/initdb").c_str(), X_OK) != 0) return false;
  }
  *bindir = folder;
  return true;
}

bool startPgServer(PgServer* server, std::string* error) {
  if (!pgProgramsPresent(&server->bindir)) return *error = "no PostgreSQL programs", false;
  char pattern[] = "/tmp/k4471-pg-XXXXXX";
  if (!mkdtemp(pattern)) return *error = "no temporary folder", false;
  server->folder = pattern;
  chmod(pattern, 0777);  // the postgres user writes its data and socket here
  bool made =
      runAsServer(*server, {server->bindir + "/initdb", "-D", server->folder + "/data", "-U",
                            "postgres", "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"});
  for (int tries = 0; made && tries < 3 && !server->running; ++tries) {
    server->port = freePort();
    startCluster(server);
  }
  if (server->running) return true;
  *error = std::string(made ? "pg_ctl start" : "initdb") + " failed:\n" +
           lastLines(server->folder + "/tool.log") + lastLines(server->folder + "/log");
  removePgServer(server);
  return false;
}

bool stopPgServer(PgServer* server) {
  if (!server->running) return true;
  bool stopped = runAsServer(*server, {server->bindir + "/pg_ctl", "-D", server->folder + "/data",
                                       "-w", "-t", "120", "-m", "fast", "stop"});
  if (stopped) server->running = false;
  return stopped;
}

bool restartPgServer(PgServer* server, std::string* error) {
  if (startCluster(server)) return true;
  *error = "pg_ctl start failed:\n" + lastLines(server->folder + "/log");
  return false;
}

void removePgServer(PgServer* server) {
  stopPgServer(server);
  std::error_code ignored;
  if (!server->folder.empty()) std::filesystem::remove_all(server->folder, ignored);
  server->folder.clear();
}

std::string pgTarget(const PgServer& server, const std::string& dbname, const std::string& user) {
  return "postgresql://" + user + "@127.0.0.1:" + std::to_string(server.port) + "/" + dbname;
}

bool startPgServerFor(PgServer* server, const std::string& dbname, std::string* error) {
  error->clear();
  if (!pgProgramsPresent(&server->bindir)) return true;
  if (!startPgServer(server, error)) return false;
  Db admin;
  DbTarget target;
  parseDbTarget(pgTarget(*server, "postgres"), &target, error);
  const bool made = dbConnect(&admin, target, false) && dbExec(&admin, "CREATE DATABASE " + dbname);
  if (!made) *error = "CREATE DATABASE: " + admin.error;
  dbClose(&admin);
  return made;
}
