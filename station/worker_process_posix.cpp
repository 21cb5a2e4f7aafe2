// A gang's worker processes on Linux and macOS: posix_spawn, pipes, signals passed on.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <climits>

#include "station/worker_process.h"

extern char** environ;

namespace {
// Workers of a gang, to pass interrupts on to.
constexpr int MaxWorkers = MaxForwardedWorkers;
std::atomic<pid_t> workers[MaxWorkers];
std::atomic<int> workerCount{0};
}  // namespace

void passSignalToWorkers(int signal) {
  int count = workerCount.load();
  for (int i = 0; i < count && i < MaxWorkers; ++i) {
    pid_t pid = workers[i].load();
    if (pid > 0) kill(pid, signal);
  }
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

bool sendWorkerInput(WorkerProcess* worker, const uint8_t* bytes, size_t size) {
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
  return ok;
}

void closeWorkerInput(WorkerProcess* worker) {
  if (worker->inputFd < 0) return;
  close(worker->inputFd);
  worker->inputFd = -1;
}

bool writeWorkerInput(WorkerProcess* worker, const uint8_t* bytes, size_t size) {
  const bool ok = sendWorkerInput(worker, bytes, size);
  closeWorkerInput(worker);
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
