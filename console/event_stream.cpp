// The events one /api/events client is due, from a copy of the view.
#include "console/event_stream.h"

#include "console/page.h"

namespace {

constexpr auto ProgressInterval = std::chrono::milliseconds(250);

std::string event(const char* name, const std::string& data) {
  return std::string("event: ") + name + "\ndata: " + data + "\n\n";
}

bool tileDue(const StreamCursor& cursor, const Tile& tile, size_t i, ViewClock::time_point now) {
  if (tile.version == cursor.tileVersion[i]) return false;
  return tile.stateVersion != cursor.tileState[i] || now - cursor.tileSent[i] >= ProgressInterval;
}

}  // namespace

std::string dueEvents(StreamCursor* cursor, const StationState& state, ViewClock::time_point now) {
  std::string out;
  const size_t ports = state.tiles.size();
  if (!cursor->started) {
    cursor->started = true;
    cursor->tileVersion.assign(ports, UINT64_MAX);
    cursor->tileState.assign(ports, UINT64_MAX);
    cursor->tileSent.assign(ports, ViewClock::time_point());
    cursor->summaryVersion = UINT64_MAX;
    out = "retry: 2000\n\n";
  }
  for (size_t i = 0; i < ports && i < cursor->tileVersion.size(); ++i) {
    const Tile& tile = state.tiles[i];
    if (!tileDue(*cursor, tile, i, now)) continue;
    out += event("tile", tileEventData(state, i));
    cursor->tileVersion[i] = tile.version;
    cursor->tileState[i] = tile.stateVersion;
    cursor->tileSent[i] = now;
  }
  if (state.summaryVersion != cursor->summaryVersion) {
    out += event("summary", summaryEventData(state));
    cursor->summaryVersion = state.summaryVersion;
    cursor->endSent = state.ended;
  }
  return out;
}
