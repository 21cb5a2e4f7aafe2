#include "cli/exit_codes.h"

const char* exitCodeText(int code) {
  switch (code) {
    case ExitOk:
      return "programmed";
    case ExitUsage:
      return "usage error";
    case ExitFileError:
      return "file error";
    case ExitPortError:
      return "port cannot be opened";
    case ExitEraseError:
      return "erase error";
    case ExitCommunicationError:
      return "communication error";
    case ExitInterrupted:
      return "interrupted";
    default:
      return "failed";
  }
}
