// What the station's page shows: a tile per port, the run's counters, the
// last boards, and whether the station has ended. The station's parent
// changes it as its workers' events come (each call takes the lock, changes
// a few fields and wakes the readers: it never waits for a reader); the
// console's threads read copies of it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using ViewClock = std::chrono::steady_clock;

enum class TileState {
  Waiting,      // for a board's call
  Restarted,    // the board that ended called again: it is to be replaced
  Erasing,      // percent: the erase's
  Programming,  // percent: the programming's
  Checking,     // the application launched, its answer awaited
  Passed,
  Failed,
  Interrupted,
  PortGone,  // the port went away: waiting for it to return
};

// The state's name in JSON ("waiting", "port-gone", ...), the large word on
// its tile (WAITING, WORKING, PASS, FAIL, ...) and its colour's class.
const char* tileStateName(TileState state);
const char* tileWord(TileState state);
const char* tileColour(TileState state);

// A board's end as its report line tells it.
struct BoardResult {
  std::string port;
  unsigned long board = 0;
  int attempt = 1;
  std::optional<uint64_t> serial;
  int exitCode = 0;
  std::string outcome;  // "success", "communication-error", ...
  std::string message;  // empty for a board that passed
  double seconds = 0;
};

struct Tile {
  std::string port;
  TileState state = TileState::Waiting;
  int percent = 0;
  unsigned long board = 0;  // 0: none yet
  std::optional<uint64_t> serial;
  int attempt = 0;
  bool onBoard = false;          // a board is being worked on: its time runs
  ViewClock::time_point since;   // that board's start
  double seconds = 0;            // the time on the board (as of the copy)
  std::string outcome, message;  // the last board's, when it failed
  uint64_t version = 0;          // bumped by every change
  uint64_t stateVersion = 0;     // bumped by every change but progress
};

struct RunCounters {
  unsigned long boards = 0, passed = 0, failed = 0, firstPass = 0;
  double firstPassYield = 0;  // percent of the boards that passed at their first attempt
  double boardsPerHour = 0;
};

constexpr size_t RecentBoards = 20;

struct StationState {
  std::string title;  // the image file
  std::vector<Tile> tiles;
  RunCounters counters;
  std::deque<BoardResult> recent;  // the newest first, at most RecentBoards
  bool ended = false;
  ViewClock::time_point started, endedAt;
  uint64_t version = 0;         // bumped by every change the readers are woken for
  uint64_t summaryVersion = 0;  // bumped by a board's end and the station's
};

struct StationView {
  std::mutex lock;
  std::condition_variable changed;
  StationState state;
  std::vector<ViewClock::time_point> progressShown;  // per port: when readers were last woken
};

// Every port waiting, the clock started.
void viewStart(StationView* view, const std::string& title, const std::vector<std::string>& ports);
// A port's state changes (a note, when given, becomes its message).
void viewPortState(StationView* view, size_t port, TileState state);
// Erasing or programming has reached `percent`. Readers are woken at most
// four times a second per port for progress alone.
void viewProgress(StationView* view, size_t port, TileState state, int percent);
// A board (or its next attempt) is taken on the port.
void viewBoardStarted(StationView* view, size_t port, unsigned long board,
                      std::optional<uint64_t> serial, int attempt);
// A board has ended. `last`: its last attempt, counted; otherwise an
// attempt that is tried again, shown on the tile only.
void viewBoardEnded(StationView* view, size_t port, const BoardResult& result, bool last);
// The station has ended: the state stays as it is.
void viewEnd(StationView* view);

// A copy of the state, its times as of now.
StationState viewSnapshot(StationView* view);
// Waits until the state's version differs from `seen` or `limit` passes;
// the current version.
uint64_t viewWait(StationView* view, uint64_t seen, std::chrono::milliseconds limit);
