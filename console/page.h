// The station's page and its data: the HTML page (readable without
// JavaScript), the state as JSON, and the data of each server-sent event.
// Every text in them went through cleanText when it entered the view and is
// escaped here for HTML or JSON.
#pragma once

#include <string>

#include "console/station_view.h"

// The whole page: tiles, counters, last boards, with its style and script.
std::string renderPage(const StationState& state);
// The parts the script replaces as events come: a port's tile and the
// summary (the ended note, the counters, the last boards).
std::string renderTile(const Tile& tile, size_t index);
std::string renderSummary(const StationState& state);

// GET /api/state.
std::string stateJson(const StationState& state);
// The data line of an event: "tile" (a port's tile as JSON and as HTML) and
// "summary" (the counters, the last boards and the ended flag, as both).
std::string tileEventData(const StationState& state, size_t index);
std::string summaryEventData(const StationState& state);

// The page's style sheet and script, built into the program.
extern const char* const PageStyle;
extern const char* const PageScript;
