// The check that a launched application runs: the line it prints on the
// port, which stays open from the launch frame on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "station/board_report.h"
#include "station/plan.h"
#include "station/progress.h"

// What `{serial}` stands for in an expected text.
constexpr const char* SerialPlaceholder = "{serial}";

// The text looked for: each {serial} in `pattern` replaced by the board's
// number in decimal. False when the pattern names it and the board has none.
bool expectedText(const std::string& pattern, const std::optional<uint64_t>& serial,
                  std::string* text);

// A line the application printed, fit for a message: control bytes shown as
// '?', and only its end when it is long.
std::string printableLine(const std::string& line);

// Sends the launch frame; with --expect, keeps the port open and waits for
// the application's answer, then closes the port. ExitOk when it answered
// (or nothing was expected), ExitAppCheckFailed or ExitInterrupted, told and
// kept in the board's report.
int launchAndCheck(const Options& options, Progress* progress, BoardReport* board);
