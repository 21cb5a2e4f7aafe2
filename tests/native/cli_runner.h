// Programs the tests run to their end: their output kept in a file, their
// exit code, and the report lines they print.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

#include "tests/waits.h"

// The whole file; empty when it cannot be read.
std::string readText(const std::string& path);

// Runs `program` with these arguments and the standard streams `actions` set
// up (destroyed here), with `environment` ("NAME=value") put before this
// process's environment when not empty; its pid, -1 when it did not start.
pid_t spawnProgramWith(const std::string& program, const std::vector<std::string>& arguments,
                       posix_spawn_file_actions_t* actions, const std::string& environment = "");
// The same with standard input from `inputPath` and standard output and error
// together into `outputPath`.
pid_t spawnProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& outputPath, const std::string& inputPath = "/dev/null",
                   const std::string& environment = "");
// How long waitFor lets a program run: far beyond any run of the tests, well
// within CTest's limit.
constexpr int ProgramLimitMs = 60000;
// Its exit code, or 128 plus the signal that ended it. A program still running
// after `limitMs` is killed with the programs it started, the test fails
// naming it, and the answer is -1.
int waitFor(pid_t pid, int limitMs = ProgramLimitMs);
// The worker process a gang started for `port`, waited for up to limitMs
// (Linux); 0 when none came.
pid_t gangWorker(pid_t gang, const std::string& port, int limitMs);
// Waits up to limitMs for the file to hold the words.
bool waitForWords(const std::string& path, const std::string& words, int limitMs = WaitLimitMs);

// The processes `pid` started, with their command lines (Linux).
std::map<pid_t, std::string> childrenOf(pid_t pid);
// Whether process `pid`, or one it started, has `path` open (Linux): `path`
// is resolved and compared with the links in /proc/PID/fd.
bool holdsOpen(pid_t pid, const std::string& path);

// The report lines (JSON objects, one a line) in the text, in their order.
std::vector<nlohmann::json> reportLines(const std::string& text);
// The same by the port each names.
std::map<std::string, nlohmann::json> reportsByPort(const std::string& text);
