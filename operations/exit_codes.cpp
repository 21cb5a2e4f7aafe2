// The words of each exit code (operations/exit_codes.h), and a worker's end that was no exit.
#include "operations/exit_codes.h"

#include <cstdio>

namespace {

// What each exit code is called in a gang's summary and in a report.
struct ExitCodeWords {
  int code;
  const char* summary;
  const char* outcome;
};

const ExitCodeWords exitCodeWords[] = {
    {ExitOk, "programmed", "success"},
    {ExitUsage, "usage error", "usage-error"},
    {ExitFileError, "file error", "file-error"},
    {ExitPortError, "port cannot be opened", "port-error"},
    {ExitEraseError, "erase error", "erase-error"},
    {ExitCommunicationError, "communication error", "communication-error"},
    {ExitAppCheckFailed, "application did not answer", "app-check-failed"},
    {ExitDatabaseError, "database error", "database-error"},
    {ExitInterrupted, "interrupted", "interrupted"},
};

const ExitCodeWords* wordsOf(int code) {
  for (const ExitCodeWords& words : exitCodeWords) {
    if (words.code == code) return &words;
  }
  return nullptr;
}

}  // namespace

const char* exitCodeText(int code) {
  const ExitCodeWords* words = wordsOf(code);
  return words ? words->summary : "failed";
}

const char* outcomeWord(int code) {
  const ExitCodeWords* words = wordsOf(code);
  return words ? words->outcome : "failed";
}

bool workerDied(int code) {
  return code != ExitInterrupted && (code > 128 || code < 0);
}

std::string workerDiedCause(int code) {
  char text[160];
  if (code > 128 && code < 128 + 65) {
    snprintf(text, sizeof text, "the worker was killed by signal %d", code - 128);
  } else {
    snprintf(text, sizeof text, "the worker ended abnormally (status 0x%X)",
             static_cast<unsigned>(code));
  }
  return text;
}

std::string workerDiedText(int code) {
  return workerDiedCause(code) + "; the board may hold a partial image: program it again";
}
