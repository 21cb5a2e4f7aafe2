// A failure of a run (station/failure.h).
#include "station/failure.h"
#include "station/say.h"

#include <cstdio>

Failure toldFailure(int exitCode, const char* step, const std::string& message) {
  say("error: %s\n", message.c_str());
  return Failure{exitCode, step, message};
}

int reportFailure(const Failure& failure, BoardReport* board) {
  if (failure.exitCode == ExitOk) return ExitOk;
  if (*failure.step) board->failedStep = failure.step;
  board->message = failure.message;
  return failure.exitCode;
}
