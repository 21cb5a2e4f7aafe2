// One port of a gang as its parent sees it: the worker, what the port's line
// shows, the board in hand (its number, serial number and attempt) and what
// the worker said of it.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "station/worker_process.h"
#include "station/worker_protocol.h"

struct Target {
  std::string port;
  std::string slot;  // a station file's name for it; empty: none
  WorkerProcess worker;
  std::string status = "starting";
  std::string outcome;  // the last message of the run
  unsigned outcomeIcon = 0;
  int eraseSteps = 0;
  int programSteps = 0;
  bool finished = false;
  int exitCode = -1;
  std::string report;  // the worker's report line
  std::time_t started = 0;
  // The board in hand: its number (a station's count on from 1), its serial
  // number when numbered, and its attempt (--retries).
  unsigned long board = 0;
  std::optional<uint64_t> serial;
  int attempt = 1;
  // A station's tally of this port.
  unsigned long passed = 0, failed = 0;
  bool inFlight = false;          // granted, not yet reported
  bool reported = false;          // the board's last line went out
  bool boardInterrupted = false;  // a signal came inside a board
  size_t index = 0;               // the port's place, for the console
};

// Takes one event of the target's worker (under the gang's lock); returns a
// line worth showing with its port, or an empty string.
std::string takeWorkerEvent(Target* target, const WorkerEvent& event);
// Whether the event is a port's notice (away, back, a line the worker said),
// which shows also when quiet.
bool isPortNotice(const WorkerEvent& event);
// One line of a worker's output; false at its end.
bool readWorkerLine(WorkerProcess* worker, std::string* line, std::string* pending);

// The board's line: the worker's own (its file named as the gang was given
// it), else what the parent knows of the board in hand.
std::string reportLineOf(const Target& target, const std::string& file);
// The port as its lines name it: "SLOT (PORT)" in a slot, else the port.
std::string targetName(const Target& target);
// The summary's word for the port's end.
const char* resultText(const Target& target);

// A message of the parent to the target's worker (its board's number, serial number, go).
void sendMessage(Target* target, ParentMessageKind kind, unsigned long board = 0,
                 const std::string& serial = "");
