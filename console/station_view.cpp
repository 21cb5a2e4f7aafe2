// The station's page state, changed by the station's parent, copied by the console.
#include "console/station_view.h"

#include "console/text_escape.h"

namespace {

constexpr auto ProgressInterval = std::chrono::milliseconds(250);

struct StateText {
  const char* name;
  const char* word;
  const char* colour;
};

const StateText& textOf(TileState state) {
  static const StateText texts[] = {
      {"waiting", "WAITING", "grey"},   {"restarted", "REPLACE", "grey"},
      {"erasing", "WORKING", "blue"},   {"programming", "WORKING", "blue"},
      {"checking", "WORKING", "blue"},  {"passed", "PASS", "green"},
      {"failed", "FAIL", "red"},        {"interrupted", "FAIL", "red"},
      {"port-gone", "NO PORT", "grey"},
  };
  return texts[static_cast<int>(state)];
}

bool working(TileState state) {
  return state == TileState::Erasing || state == TileState::Programming ||
         state == TileState::Checking;
}

// Work begins on the port: the board's time runs from its call.
void boardCalled(Tile* tile) {
  if (tile->onBoard) return;
  tile->onBoard = true;
  tile->since = ViewClock::now();
  tile->seconds = 0;
}

// A change of the tile that readers are told of at once.
void touch(StationView* view, Tile* tile) {
  ++tile->version;
  ++tile->stateVersion;
  ++view->state.version;
  view->changed.notify_all();
}

void count(RunCounters* counters, const BoardResult& result) {
  ++counters->boards;
  if (result.exitCode == 0) {
    ++counters->passed;
    if (result.attempt <= 1) ++counters->firstPass;
  } else {
    ++counters->failed;
  }
}

BoardResult cleaned(const BoardResult& result) {
  BoardResult clean = result;
  clean.port = cleanText(result.port);
  clean.outcome = cleanText(result.outcome);
  clean.message = cleanText(result.message);
  return clean;
}

}  // namespace

const char* tileStateName(TileState state) {
  return textOf(state).name;
}
const char* tileWord(TileState state) {
  return textOf(state).word;
}
const char* tileColour(TileState state) {
  return textOf(state).colour;
}

void viewStart(StationView* view, const std::string& title, const std::vector<std::string>& ports) {
  std::lock_guard<std::mutex> hold(view->lock);
  view->state = StationState();
  view->state.title = cleanText(title);
  view->state.started = ViewClock::now();
  for (const std::string& port : ports) {
    Tile tile;
    tile.port = cleanText(port);
    view->state.tiles.push_back(tile);
  }
  view->progressShown.assign(ports.size(), ViewClock::time_point());
}

void viewPortState(StationView* view, size_t port, TileState state) {
  std::lock_guard<std::mutex> hold(view->lock);
  if (port >= view->state.tiles.size()) return;
  Tile& tile = view->state.tiles[port];
  if (tile.state == state) return;
  if (working(tile.state) && !working(state) && tile.onBoard) {
    tile.seconds = std::chrono::duration<double>(ViewClock::now() - tile.since).count();
  }
  tile.onBoard = tile.onBoard && working(state);
  if (working(state)) boardCalled(&tile);
  tile.state = state;
  if (state != TileState::Programming && state != TileState::Erasing) tile.percent = 0;
  touch(view, &tile);
}

void viewProgress(StationView* view, size_t port, TileState state, int percent) {
  std::lock_guard<std::mutex> hold(view->lock);
  if (port >= view->state.tiles.size()) return;
  Tile& tile = view->state.tiles[port];
  if (tile.state != state) {
    boardCalled(&tile);
    tile.state = state;
    tile.percent = percent;
    view->progressShown[port] = ViewClock::now();
    touch(view, &tile);
    return;
  }
  if (tile.percent == percent) return;
  tile.percent = percent;
  ++tile.version;
  const ViewClock::time_point now = ViewClock::now();
  if (now - view->progressShown[port] < ProgressInterval) return;
  view->progressShown[port] = now;
  ++view->state.version;
  view->changed.notify_all();
}

void viewBoardStarted(StationView* view, size_t port, unsigned long board,
                      std::optional<uint64_t> serial, int attempt) {
  std::lock_guard<std::mutex> hold(view->lock);
  if (port >= view->state.tiles.size()) return;
  Tile& tile = view->state.tiles[port];
  tile.board = board;
  tile.serial = serial;
  tile.attempt = attempt;
  tile.onBoard = true;
  tile.since = ViewClock::now();
  tile.seconds = 0;
  tile.state = TileState::Erasing;
  tile.percent = 0;
  if (attempt <= 1) tile.outcome.clear(), tile.message.clear();
  touch(view, &tile);
}

void viewBoardEnded(StationView* view, size_t port, const BoardResult& result, bool last) {
  const BoardResult clean = cleaned(result);
  std::lock_guard<std::mutex> hold(view->lock);
  if (port >= view->state.tiles.size()) return;
  Tile& tile = view->state.tiles[port];
  tile.board = clean.board ? clean.board : tile.board;
  tile.serial = clean.serial ? clean.serial : tile.serial;
  tile.attempt = clean.attempt;
  tile.onBoard = !last;
  tile.seconds = clean.seconds;
  tile.outcome = clean.exitCode == 0 ? "" : clean.outcome;
  tile.message = clean.exitCode == 0 ? "" : clean.message;
  tile.percent = 0;
  if (last) {
    tile.state = clean.exitCode == 0     ? TileState::Passed
                 : clean.exitCode == 130 ? TileState::Interrupted
                                         : TileState::Failed;
    count(&view->state.counters, clean);
    view->state.recent.push_front(clean);
    if (view->state.recent.size() > RecentBoards) view->state.recent.pop_back();
    ++view->state.summaryVersion;
  }
  touch(view, &tile);
}

void viewEnd(StationView* view) {
  std::lock_guard<std::mutex> hold(view->lock);
  view->state.ended = true;
  view->state.endedAt = ViewClock::now();
  for (Tile& tile : view->state.tiles) {
    if (tile.onBoard) {
      tile.seconds = std::chrono::duration<double>(view->state.endedAt - tile.since).count();
    }
    tile.onBoard = false;
  }
  ++view->state.summaryVersion;
  ++view->state.version;
  view->changed.notify_all();
}

StationState viewSnapshot(StationView* view) {
  StationState copy;
  {
    std::lock_guard<std::mutex> hold(view->lock);
    copy = view->state;
  }
  const ViewClock::time_point now = copy.ended ? copy.endedAt : ViewClock::now();
  for (Tile& tile : copy.tiles) {
    if (tile.onBoard) tile.seconds = std::chrono::duration<double>(now - tile.since).count();
  }
  RunCounters& counters = copy.counters;
  if (counters.boards) counters.firstPassYield = 100.0 * counters.firstPass / counters.boards;
  const double hours = std::chrono::duration<double>(now - copy.started).count() / 3600;
  if (hours > 0) counters.boardsPerHour = counters.boards / hours;
  return copy;
}

uint64_t viewWait(StationView* view, uint64_t seen, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(view->lock);
  view->changed.wait_for(hold, limit, [&] { return view->state.version != seen; });
  return view->state.version;
}
