// Programs the tests run to their end: their output kept in a file, their
// exit code, and the report lines they print.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

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
// Its exit code, or 128 plus the signal that ended it.
int waitFor(pid_t pid);
// The worker process a gang started for `port`, waited for up to limitMs
// (Linux); 0 when none came.
pid_t gangWorker(pid_t gang, const std::string& port, int limitMs);
// Waits up to limitMs for the file to hold the words.
bool waitForWords(const std::string& path, const std::string& words, int limitMs);

// The report lines (JSON objects, one a line) in the text, in their order.
std::vector<nlohmann::json> reportLines(const std::string& text);
// The same by the port each names.
std::map<std::string, nlohmann::json> reportsByPort(const std::string& text);
