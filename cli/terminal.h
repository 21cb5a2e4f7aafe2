// What the command line needs of the operating system besides the serial port.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

bool isTerminal(FILE* stream);
// Ctrl-C, a termination request and a hang-up call the handler, from a signal
// context: it may only touch atomics.
void onInterrupt(void (*handler)());

// First thing at start: standard streams that are closed are opened on the
// null device (so that no port or file takes their place), and output that can
// no longer be written (a closed pipe) never ends the process.
void prepareStandardStreams();
// Lets the stream show the escape sequences of redrawn tables (a Windows
// console needs this turned on). False where they cannot be shown.
bool enableEscapeSequences(FILE* stream);
// For a gang's worker: end when the parent process ends.
void endWithParent();

// Takes the port for this process before the link opens it: refuses a device
// that is not a serial port and a port that another process holds (an
// advisory lock beside the exclusive mode, held until the process ends).
// ExitOk, or ExitPortError with the reason in *message.
int claimPort(const std::string& device, std::string* message);
// After the line went away and came back, takes the port again: the device
// behind the name may be a new one, to be held like the first. ExitOk, -1
// while no device is there, or
// ExitPortError with the reason (another process took it meanwhile).
int reclaimPort(const std::string& device, std::string* message);
// Why the port does not open now, in the system's words; empty when it opens.
std::string portOpenError(const std::string& device);
// Whether the two names are one port (a link and its device, two spellings).
bool samePort(const std::string& a, const std::string& b);

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
// Reads what the worker has written, up to size bytes; 0 at its end.
long readWorkerOutput(WorkerProcess* worker, char* buffer, size_t size);
// Waits for the worker and returns its exit code.
int waitWorker(WorkerProcess* worker);
// Interrupts that reach the gang's parent are passed on to the worker; to
// this many workers at most.
constexpr int MaxForwardedWorkers = 256;
void forwardInterruptsTo(const WorkerProcess& worker);
// Whether the two paths name one existing file (links and other spellings
// included).
bool sameFile(const std::string& a, const std::string& b);

// The path of the running program, for starting workers.
std::string selfPath(const char* argv0);
