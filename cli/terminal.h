// What the command line needs of the operating system besides the serial port.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

bool isTerminal(FILE* stream);
// Ctrl-C (and a termination request) call the handler once, from a signal
// context: it may only touch atomics.
void onInterrupt(void (*handler)());

struct PortInfo {
  std::string device;       // "/dev/ttyUSB0", "COM3"
  std::string description;  // what the system knows of it, may be empty
};
std::vector<PortInfo> listSerialPorts();

// A worker process of a gang run: started with arguments, its standard output
// read line by line.
struct WorkerProcess {
  long long id = -1;             // process id or handle
  int outputFd = -1;             // POSIX
  void* outputHandle = nullptr;  // Windows
};
bool startWorker(const std::vector<std::string>& arguments, WorkerProcess* worker);
// Reads one line of the worker's output; false at its end.
bool readWorkerLine(WorkerProcess* worker, std::string* line, std::string* pending);
// Waits for the worker and returns its exit code.
int waitWorker(WorkerProcess* worker);
// The path of the running program, for starting workers.
std::string selfPath(const char* argv0);
