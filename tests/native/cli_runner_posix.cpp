// Programs run to their end with their output kept, and what they said.
#include "tests/native/cli_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

// The command line of each program started, to name one that has to be killed.
std::mutex startedMutex;
std::map<pid_t, std::string> started;

std::string commandLine(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) line += (line.empty() ? "" : " ") + word;
  return line;
}

std::string takeCommandLine(pid_t pid) {
  std::lock_guard<std::mutex> lock(startedMutex);
  const auto found = started.find(pid);
  if (found == started.end()) return "pid " + std::to_string(pid);
  const std::string line = found->second;
  started.erase(found);
  return line;
}

// Kills `pid` and what it started, children first, and reaps `pid`.
void killWithChildren(pid_t pid) {
  for (const auto& child : childrenOf(pid)) killWithChildren(child.first);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

pid_t spawnProgramWith(const std::string& program, const std::vector<std::string>& arguments,
                       posix_spawn_file_actions_t* actions, const std::string& environment) {
  std::vector<std::string> all = {program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv, envp;
  for (std::string& a : all) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  std::string added = environment;
  if (!added.empty()) envp.push_back(&added[0]);
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(actions);
  if (pid > 0) {
    std::lock_guard<std::mutex> lock(startedMutex);
    started[pid] = commandLine(all);
  }
  return pid;
}

pid_t spawnProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& outputPath, const std::string& inputPath,
                   const std::string& environment) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  return spawnProgramWith(program, arguments, &actions, environment);
}

int waitFor(pid_t pid, int limitMs) {
  if (pid <= 0) return -1;
  int status = 0;
  pid_t ended = 0;
  if (!waitUntil([&] { return (ended = waitpid(pid, &status, WNOHANG)) != 0; }, limitMs)) {
    killWithChildren(pid);
    ADD_FAILURE() << "still running after " << limitMs / 1000.0
                  << " s, killed: " << takeCommandLine(pid);
    return -1;
  }
  takeCommandLine(pid);
  if (ended != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool waitForWords(const std::string& path, const std::string& words, int limitMs) {
  return waitUntil([&] { return readText(path).find(words) != std::string::npos; }, limitMs);
}

std::map<pid_t, std::string> childrenOf(pid_t pid) {
  std::map<pid_t, std::string> children;
  std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
  std::istringstream list(readText(path));
  for (pid_t child; list >> child;) {
    children[child] = readText("/proc/" + std::to_string(child) + "/cmdline");
  }
  return children;
}

bool holdsOpen(pid_t pid, const std::string& path) {
  std::error_code error;
  const std::filesystem::path wanted = std::filesystem::canonical(path, error);
  if (error) return false;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    std::error_code unreadable;
    if (std::filesystem::read_symlink(entry.path(), unreadable) == wanted) return true;
  }
  for (const auto& child : childrenOf(pid)) {
    if (holdsOpen(child.first, path)) return true;
  }
  return false;
}

std::vector<nlohmann::json> reportLines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '{') lines.push_back(nlohmann::json::parse(line));
  }
  return lines;
}

std::map<std::string, nlohmann::json> reportsByPort(const std::string& text) {
  std::map<std::string, nlohmann::json> byPort;
  for (const nlohmann::json& line : reportLines(text)) {
    if (line.contains("port") && line["port"].is_string()) byPort[line["port"]] = line;
  }
  return byPort;
}

pid_t gangWorker(pid_t gang, const std::string& port, int limitMs) {
  const std::string children =
      "/proc/" + std::to_string(gang) + "/task/" + std::to_string(gang) + "/children";
  for (int waited = 0; waited <= limitMs; waited += 20) {
    std::istringstream list(readText(children));
    for (pid_t child; list >> child;) {
      std::string command = readText("/proc/" + std::to_string(child) + "/cmdline");
      std::replace(command.begin(), command.end(), '\0', ' ');
      if (command.find(" " + port + " ") != std::string::npos &&
          command.find(" worker ") != std::string::npos) {
        return child;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}
