#include <fcntl.h>
#include <libserialport.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "cli/exit_codes.h"
#include "cli/terminal.h"

extern char** environ;

namespace {
void (*interruptHandler)() = nullptr;

// Workers of a gang, to pass interrupts on to.
constexpr int MaxWorkers = MaxForwardedWorkers;
std::atomic<pid_t> workers[MaxWorkers];
std::atomic<int> workerCount{0};

void onSignal(int signal) {
  int saved = errno;
  if (interruptHandler) interruptHandler();
  int count = workerCount.load();
  for (int i = 0; i < count && i < MaxWorkers; ++i) {
    pid_t pid = workers[i].load();
    if (pid > 0) kill(pid, signal);
  }
  errno = saved;
}

// The descriptor holding the claimed port's lock, for the life of the process.
int claimedPort = -1;
}  // namespace

void prepareStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // open gives the lowest free descriptor: this one.
      int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) close(opened);
    }
  }
  signal(SIGPIPE, SIG_IGN);
}

bool enableEscapeSequences(FILE*) {
  return true;
}

void endWithParent() {
#ifdef __linux__
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  // The parent may have ended before the request was made.
  if (getppid() == 1) raise(SIGTERM);
#endif
}

void forwardInterruptsTo(const WorkerProcess& worker) {
  int index = workerCount.load();
  if (index >= MaxWorkers) return;
  workers[index].store(static_cast<pid_t>(worker.id));
  workerCount.store(index + 1);
}

namespace {

// Errors of a device that is not there (yet): unplugged, or a line hung up.
bool isAbsence(int error) {
  return error == ENOENT || error == ENXIO || error == ENODEV || error == EIO;
}

// Opens and locks the port. ExitOk with the descriptor in *fd, else
// ExitPortError with the reason and the open's errno in *error (0 when it
// opened but is busy or no serial port).
int takePort(const std::string& device, int* fd, int* error, std::string* message) {
  *fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  *error = *fd < 0 ? errno : 0;
  if (*fd < 0) {
    if (*error == EBUSY) {
      *message = device + ": port busy (" + strerror(*error) + ")";
    } else {
      *message = "COM Port Error: Cannot Connect to " + device + ": " + strerror(*error);
      if (*error == EACCES || *error == EPERM) *message += " (is the user in the dialout group?)";
    }
    return ExitPortError;
  }
  struct stat about;
  if (fstat(*fd, &about) != 0 || !S_ISCHR(about.st_mode) || !isatty(*fd)) {
    close(*fd);
    *message = device + " is not a serial port";
    return ExitPortError;
  }
  if (flock(*fd, LOCK_EX | LOCK_NB) != 0) {
    int failure = errno;
    close(*fd);
    *message =
        device + ": port busy (" +
        (failure == EWOULDBLOCK ? std::string("another program is using it") : strerror(failure)) +
        ")";
    return ExitPortError;
  }
  return ExitOk;
}

}  // namespace

int claimPort(const std::string& device, std::string* message) {
  int fd = -1, error = 0;
  int code = takePort(device, &fd, &error, message);
  if (code != ExitOk) return code;
  if (claimedPort >= 0) close(claimedPort);
  claimedPort = fd;
  return ExitOk;
}

int reclaimPort(const std::string& device, std::string* message) {
  // The lock on the device that went away goes first: the device back may be
  // that very one.
  if (claimedPort >= 0) close(claimedPort);
  claimedPort = -1;
  int fd = -1, error = 0;
  int code = takePort(device, &fd, &error, message);
  if (code != ExitOk) return isAbsence(error) ? -1 : code;
  claimedPort = fd;
  return ExitOk;
}

std::string portOpenError(const std::string& device) {
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return "";
  }
  return strerror(errno);
}

bool samePort(const std::string& a, const std::string& b) {
  struct stat first, second;
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return a == b;
  if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) return first.st_rdev == second.st_rdev;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool isTerminal(FILE* stream) {
  return isatty(fileno(stream)) != 0;
}

void onInterrupt(void (*handler)()) {
  interruptHandler = handler;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

std::vector<PortInfo> listSerialPorts() {
  std::vector<PortInfo> ports;
  sp_port** list = nullptr;
  if (sp_list_ports(&list) != SP_OK) return ports;
  for (int i = 0; list[i]; ++i) {
    PortInfo info;
    info.device = sp_get_port_name(list[i]);
    std::string description;
    if (const char* text = sp_get_port_description(list[i])) description = text;
    if (sp_get_port_transport(list[i]) == SP_TRANSPORT_USB) {
      int vendor = 0, product = 0;
      if (sp_get_port_usb_vid_pid(list[i], &vendor, &product) == SP_OK) {
        char ids[32];
        snprintf(ids, sizeof ids, " [USB %04x:%04x]", vendor, product);
        description += ids;
      }
      if (const char* maker = sp_get_port_usb_manufacturer(list[i])) {
        description += std::string(", ") + maker;
      }
      if (const char* serial = sp_get_port_usb_serial(list[i])) {
        description += std::string(", serial ") + serial;
      }
    }
    info.description = description;
    ports.push_back(info);
  }
  sp_free_port_list(list);
  return ports;
}

bool startWorker(const std::vector<std::string>& arguments, WorkerProcess* worker, bool feedInput) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  int inputFds[2] = {-1, -1};
  if (feedInput && pipe(inputFds) != 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
  if (feedInput) {
    posix_spawn_file_actions_adddup2(&actions, inputFds[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, inputFds[0]);
    posix_spawn_file_actions_addclose(&actions, inputFds[1]);
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (feedInput) close(inputFds[0]);
  if (failed != 0) {
    close(pipeFds[0]);
    if (feedInput) close(inputFds[1]);
    return false;
  }
  worker->id = pid;
  worker->outputFd = pipeFds[0];
  worker->inputFd = inputFds[1];
  // Later workers must not hold this one's input open.
  if (feedInput) fcntl(inputFds[1], F_SETFD, FD_CLOEXEC);
  fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
  return true;
}

bool writeWorkerInput(WorkerProcess* worker, const uint8_t* bytes, size_t size) {
  if (worker->inputFd < 0) return false;
  bool ok = true;
  while (size > 0) {
    ssize_t put = write(worker->inputFd, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {  // the worker ended: SIGPIPE is ignored, EPIPE tells
      ok = false;
      break;
    }
    bytes += put;
    size -= static_cast<size_t>(put);
  }
  close(worker->inputFd);
  worker->inputFd = -1;
  return ok;
}

long readWorkerOutput(WorkerProcess* worker, char* buffer, size_t size) {
  for (;;) {
    ssize_t got = read(worker->outputFd, buffer, size);
    if (got < 0 && errno == EINTR) continue;
    return got < 0 ? 0 : static_cast<long>(got);
  }
}

int waitWorker(WorkerProcess* worker) {
  if (worker->outputFd >= 0) close(worker->outputFd);
  worker->outputFd = -1;
  int status = 0;
  while (waitpid(static_cast<pid_t>(worker->id), &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string selfPath(const char* argv0) {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length > 0) return std::string(path, static_cast<size_t>(length));
  return argv0;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat first, second;
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}
