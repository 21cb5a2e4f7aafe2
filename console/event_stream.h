// What one /api/events client is sent next: a "tile" event for each port
// whose state changed since the client's last (progress alone at most four
// times a second per port) and a "summary" event after a board's end or the
// station's. A new client is sent every tile and the summary first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "console/station_view.h"

struct StreamCursor {
  bool started = false;
  std::vector<uint64_t> tileVersion, tileState;  // as last sent, per port
  std::vector<ViewClock::time_point> tileSent;
  uint64_t summaryVersion = 0;
  bool endSent = false;  // the summary of the ended station went out
};

// The events due at `now`, in the text/event-stream format; empty when none.
std::string dueEvents(StreamCursor* cursor, const StationState& state, ViewClock::time_point now);
