// The check that a launched application runs: the lines it prints on the
// port, which stays open from the launch frame on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/prepared_image.h"
#include "link/app_answer.h"
#include "station/board_report.h"
#include "station/flash_proof.h"
#include "station/plan.h"
#include "station/progress.h"

// What `{serial}` stands for in an expected text.
constexpr const char* SerialPlaceholder = "{serial}";

// An --expect text in pieces: texts[0] slots[0] texts[1] ... texts.back().
// A slot is {serial} or a digest of a flash range; `{NAME:` opens a
// placeholder, which must be one of the digests.
struct ExpectSlot {
  bool serial = false;
  ProofRange proof;  // when not serial
};
struct ExpectParts {
  std::vector<std::string> texts;
  std::vector<ExpectSlot> slots;
};
// False, with the reason naming the placeholder, for one that does not parse.
bool parseExpect(const std::string& expect, ExpectParts* parts, std::string* why);

// The answer looked for: each {serial} a run of decimal digits whose value is
// the board's number (leading zeros allowed, no digit right before or after
// it), each digest its value in `proof` (taken in order from *next on; hex
// digits of either case, none right before or after), and the text shown
// for it (the values written in). False when it names {serial} and the
// board has none, or a digest `proof` does not hold.
bool expectedAnswer(const ExpectParts& parts, const std::optional<uint64_t>& serial,
                    const std::vector<ProofRange>& proof, size_t* next, AppAnswerPattern* answer,
                    std::string* shown);

// Whether the --expect texts go with this command, before any board is
// addressed: each parses; no value touches a character that would continue
// it, or another value; digests only with program (without --watch), with
// --flash and --boot-region, and over ranges the map allows. False with the
// reason, which names the text.
bool checkExpectTexts(const Options& options, TargetCommand command, std::string* why);

// The digests of the board's --expect texts, computed from the image it is
// programmed with (its serial number written in), and whether they cover
// every data byte of it; `proved` false until its application proves them.
void proveBoard(const Options& options, const LoadedImage& loaded, BoardReport* board);

// A line the application printed, fit for a message: control bytes shown as
// '?', and only its end when it is long.
std::string printableLine(const std::string& line);

// Sends the launch frame; with --expect, keeps the port open and waits for
// the application's answer, then closes the port (unless keepOpen: the
// monitor reads on). ExitOk when it answered (or nothing was expected),
// ExitAppCheckFailed or ExitInterrupted, told and kept in the board's report.
int launchAndCheck(const Options& options, Progress* progress, BoardReport* board,
                   bool keepOpen = false);
