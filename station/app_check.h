// The check that a launched application runs: the line it prints on the
// port, which stays open from the launch frame on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "station/board_report.h"
#include "station/plan.h"
#include "station/progress.h"
#include "link/app_answer.h"

// What `{serial}` stands for in an expected text.
constexpr const char* SerialPlaceholder = "{serial}";

// The answer looked for: `expect` with each {serial} standing for a run of
// decimal digits whose value is the board's number (leading zeros allowed,
// no digit right before or after it), and the text shown for it (each
// {serial} replaced by the number). False when it names {serial} and the
// board has none.
bool expectedAnswer(const std::string& expect, const std::optional<uint64_t>& serial,
                    AppAnswerPattern* answer, std::string* shown);

// Whether an --expect text can be met at all: false, with the reason, when a
// {serial} touches a digit or another {serial}, which no run of digits can.
bool expectCanMatch(const std::string& expect, std::string* why);

// A line the application printed, fit for a message: control bytes shown as
// '?', and only its end when it is long.
std::string printableLine(const std::string& line);

// Sends the launch frame; with --expect, keeps the port open and waits for
// the application's answer, then closes the port (unless keepOpen: the
// monitor reads on). ExitOk when it answered (or nothing was expected),
// ExitAppCheckFailed or ExitInterrupted, told and kept in the board's report.
int launchAndCheck(const Options& options, Progress* progress, BoardReport* board,
                   bool keepOpen = false);
