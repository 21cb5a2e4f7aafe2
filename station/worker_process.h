// The worker processes of a gang run: one per board, started from this very
// program, fed the image on their standard input, read line by line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct WorkerProcess {
  long long id = -1;             // process id or handle
  int outputFd = -1;             // POSIX
  void* outputHandle = nullptr;  // Windows
  int inputFd = -1;              // POSIX: the worker's standard input, when fed
  void* inputHandle = nullptr;   // Windows
};
// With feedInput, the worker's standard input is a pipe for writeWorkerInput;
// otherwise it shares this process's.
bool startWorker(const std::vector<std::string>& arguments, WorkerProcess* worker,
                 bool feedInput = false);
// Writes the bytes to a fed worker's standard input and closes it. False when
// the worker did not take them all (it ended).
bool writeWorkerInput(WorkerProcess* worker, const uint8_t* bytes, size_t size);
// The same, leaving the input open for further messages (a station's
// worker is answered board by board); closeWorkerInput ends it.
bool sendWorkerInput(WorkerProcess* worker, const uint8_t* bytes, size_t size);
void closeWorkerInput(WorkerProcess* worker);
// Reads what the worker has written, up to size bytes; 0 at its end.
long readWorkerOutput(WorkerProcess* worker, char* buffer, size_t size);
// Waits for the worker and returns its exit code.
int waitWorker(WorkerProcess* worker);
// Interrupts that reach the gang's parent are passed on to the worker; to
// this many workers at most.
constexpr int MaxForwardedWorkers = 256;
void forwardInterruptsTo(const WorkerProcess& worker);
// POSIX, from the interrupt handler: passes the signal on to those workers.
void passSignalToWorkers(int signal);
// For a gang's worker: end when the parent process ends.
void endWithParent();

// The path of the running program, for starting workers.
std::string selfPath(const char* argv0);
