// Loopback ports and ser2net for the tests of network ports.
#include "tests/native/net_peer.h"
#include "tests/waits.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

}  // namespace

int freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

bool loopbackListening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = loopback(port);
  const bool up = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return up;
}

struct HangUpServer {
  int listener = -1;
  std::atomic<bool> stop{false};
  std::atomic<int> hungUp{0};
  std::thread thread;
};

HangUpServer* hangUpServerStart(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = loopback(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 8) != 0) {
    close(fd);
    return nullptr;
  }
  HangUpServer* server = new HangUpServer;
  server->listener = fd;
  server->thread = std::thread([server] {
    while (!server->stop) {
      pollfd waiter = {server->listener, POLLIN, 0};
      if (poll(&waiter, 1, 20) != 1) continue;
      close(accept(server->listener, nullptr, nullptr));
      ++server->hungUp;
    }
  });
  return server;
}

int hangUpServerCount(HangUpServer* server) {
  return server->hungUp;
}

void hangUpServerStop(HangUpServer* server) {
  if (!server) return;
  server->stop = true;
  server->thread.join();
  close(server->listener);
  delete server;
}

const char* ser2netProgram() {
  for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return nullptr;
}

pid_t ser2netStart(const std::string& dir, const std::string& device, int port, bool rfc2217,
                   std::string* why) {
  const char* program = ser2netProgram();
  const std::string config = dir + "/ser2net.yaml";
  std::ofstream(config) << "connection: &board\n  accepter: "
                        << (rfc2217 ? "telnet(rfc2217),tcp,127.0.0.1," : "tcp,127.0.0.1,") << port
                        << "\n  connector: serialdev," << device << ",115200n81,local\n";
  const std::string pidFile = dir + "/ser2net.pid";
  const char* argv[] = {program, "-n", "-u", "-c", config.c_str(), "-P", pidFile.c_str(), nullptr};
  pid_t server = 0;
  if (!program ||
      posix_spawn(&server, program, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    *why = "ser2net did not start";
    return 0;
  }
  if (waitUntil([port] { return loopbackListening(port); })) return server;
  *why = "ser2net did not listen on " + std::to_string(port);
  ser2netStop(server);
  return 0;
}

void ser2netStop(pid_t server) {
  if (server <= 0) return;
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
}
