// The simulator's network port: one host at a time on a TCP port, carried to
// and from the board's pseudo-terminal as a serial device server would; raw
// bytes, or the Telnet COM-PORT protocol with its control lines, one of which
// may hold the board's reset.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "sim/simulator_internal.h"

namespace {

// Host and port of "HOST:PORT"; an IPv4 address, or "localhost".
bool parseListen(const std::string& text, sockaddr_in* address, std::string* why) {
  const size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
  const std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (host == "localhost") host = "127.0.0.1";
  char* end = nullptr;
  const long number = port.empty() ? -1 : strtol(port.c_str(), &end, 10);
  memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_port = htons(uint16_t(number));
  if (number < 0 || number > 65535 || *end != 0 ||
      inet_pton(AF_INET, host.c_str(), &address->sin_addr) != 1) {
    *why = "--listen wants HOST:PORT with an IPv4 address, e.g. 127.0.0.1:0: " + text;
    return false;
  }
  return true;
}

void sendToClient(Simulator* sim, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size() && sim->net.client >= 0) {
    const ssize_t n = send(sim->net.client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      simTrace(sim, "sim  ", "the network host is gone");
      closeFd(&sim->net.client);
      return;
    }
    sent += size_t(n);
  }
}

void acceptClient(Simulator* sim) {
  const int fd = accept(sim->net.listenFd, nullptr, nullptr);
  if (fd < 0) return;
  if (sim->net.client >= 0) {  // one host at a time
    close(fd);
    return;
  }
  setCloexec(fd);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval limit{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  NetPort& net = sim->net;
  net.client = fd;
  net.parser = TelnetParser{};
  net.options = TelnetOptions{};
  if (!net.rfc2217) return;
  net.options.mine[TelnetOptionBinary] = net.options.mine[TelnetOptionSuppressGoAhead] = true;
  net.options.theirs[TelnetOptionBinary] = net.options.theirs[TelnetOptionComPort] = true;
  std::vector<uint8_t> out;
  telnetAsk(&net.options, TelnetWILL, TelnetOptionBinary, &out);
  telnetAsk(&net.options, TelnetDO, TelnetOptionBinary, &out);
  telnetAsk(&net.options, TelnetDO, TelnetOptionComPort, &out);
  sendToClient(sim, out);
}

}  // namespace

bool netPortOpen(Simulator* sim, const std::string& listen, std::string* why) {
  sockaddr_in address;
  if (!parseListen(listen, &address, why)) return false;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4) != 0) {
    *why = errnoText("cannot listen on " + listen);
    if (fd >= 0) close(fd);
    return false;
  }
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  setCloexec(fd);
  sim->net.listenFd = fd;
  sim->net.port = ntohs(address.sin_port);
  return true;
}

void netPortClose(Simulator* sim) {
  closeFd(&sim->net.client);
  closeFd(&sim->net.listenFd);
}

void netPortDrop(Simulator* sim) {
  closeFd(&sim->net.client);
}

int netPortPollFds(Simulator* sim, pollfd* fds) {
  int count = 0;
  if (sim->net.listenFd < 0) return 0;
  fds[count++] = {sim->net.listenFd, POLLIN, 0};
  if (sim->net.client < 0) return count;
  fds[count++] = {sim->net.client, POLLIN, 0};
  // A line hung up would report so at once, for ever: not until the reset.
  if (ptyLineUp(sim->line)) fds[count++] = {sim->line.slave, POLLIN, 0};
  return count;
}

void netPortServe(Simulator* sim, const pollfd* fds, int count) {
  // The host that is there first: one that hung up just before it (or
  // another) connected again is gone before the new one is looked at.
  bool newHost = false;
  for (int i = 0; i < count; ++i) {
    if (!fds[i].revents) continue;
    if (fds[i].fd == sim->net.listenFd) {
      newHost = true;
    } else if (fds[i].fd == sim->net.client) {
      netPortFromHost(sim);
    } else if (fds[i].fd == sim->line.slave && sim->net.client >= 0) {
      uint8_t buffer[4096];
      const ssize_t n = read(sim->line.slave, buffer, sizeof buffer);
      if (n <= 0) continue;
      std::vector<uint8_t> out;
      if (sim->net.rfc2217) {
        telnetEscape(buffer, size_t(n), &out);
      } else {
        out.assign(buffer, buffer + n);
      }
      sendToClient(sim, out);
    }
  }
  if (newHost) acceptClient(sim);
}

namespace {

// Host bytes for the board: into the line, as a host would write them. A line
// that is full loses the rest, as a device server's overrun would.
void toBoard(Simulator* sim, std::vector<uint8_t>* data) {
  if (data->empty() || sim->line.slave < 0) return;
  setNonblocking(sim->line.slave);
  const ssize_t n = write(sim->line.slave, data->data(), data->size());
  if (n < ssize_t(data->size())) simTrace(sim, "sim  ", "network input overrun");
  data->clear();
}

}  // namespace

void netPortFromHost(Simulator* sim) {
  NetPort& net = sim->net;
  uint8_t buffer[1024];
  const ssize_t n = recv(net.client, buffer, sizeof buffer, 0);
  if (n <= 0) {
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    closeFd(&net.client);  // the host has gone; the next may come
    return;
  }
  std::vector<uint8_t> data, answers;
  if (!net.rfc2217) {
    data.assign(buffer, buffer + n);
    toBoard(sim, &data);
    return;
  }
  // Byte by byte, so that a purge or a reset comes in its place among the data.
  std::vector<TelnetEvent> events;
  for (ssize_t i = 0; i < n; ++i) {
    telnetFeed(&net.parser, buffer + i, 1, &data, &events);
    if (events.empty()) continue;
    toBoard(sim, &data);
    for (const TelnetEvent& event : events) comPortServe(sim, event, &answers);
    events.clear();
  }
  toBoard(sim, &data);
  if (!answers.empty()) sendToClient(sim, answers);
}
