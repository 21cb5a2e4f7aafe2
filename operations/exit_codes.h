// The exit codes of the command line and their words: a summary's and a report's outcome.
#pragma once

#include <string>

enum ExitCode {
  ExitOk = 0,
  ExitUsage = 2,
  ExitFileError = 3,
  ExitPortError = 4,
  ExitEraseError = 5,
  ExitCommunicationError = 6,
  ExitSomeTargetsFailed = 7,
  ExitAppCheckFailed = 8,
  ExitDatabaseError = 9,  // the record's database cannot be reached or refuses the login
  ExitInterrupted = 130,
};

// A few words for an exit code, for summaries.
const char* exitCodeText(int code);
// The outcome of a board in a report ("success", "file-error" ...).
const char* outcomeWord(int code);

// A gang's worker that did not end by itself: a signal (128 and its number)
// or, on Windows, an exception code. 130 is a worker's own end on an
// interrupt.
bool workerDied(int code);
// What the summary says of such a worker's board.
std::string workerDiedText(int code);
// The same for a worker that had no board in hand: the signal alone.
std::string workerDiedCause(int code);
