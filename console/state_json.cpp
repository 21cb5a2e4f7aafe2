// The station's state as JSON: GET /api/state and the events' data.
#include <nlohmann/json.hpp>

#include "console/page.h"

namespace {

using Json = nlohmann::ordered_json;

std::string dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json serialJson(const std::optional<uint64_t>& serial) {
  return serial ? Json(*serial) : Json(nullptr);
}

Json tileJson(const Tile& tile) {
  Json json;
  json["port"] = tile.port;
  json["state"] = tileStateName(tile.state);
  json["word"] = tileWord(tile.state);
  json["percent"] = tile.percent;
  json["board"] = tile.board;
  json["serial"] = serialJson(tile.serial);
  json["attempt"] = tile.attempt;
  json["seconds"] = static_cast<long long>(tile.seconds * 1000) / 1000.0;
  json["outcome"] = tile.outcome;
  json["message"] = tile.message;
  return json;
}

Json countersJson(const RunCounters& counters) {
  Json json;
  json["boards"] = counters.boards;
  json["passed"] = counters.passed;
  json["failed"] = counters.failed;
  json["first_pass_yield"] = static_cast<long long>(counters.firstPassYield * 10) / 10.0;
  json["boards_per_hour"] = static_cast<long long>(counters.boardsPerHour * 10) / 10.0;
  return json;
}

Json boardJson(const BoardResult& board) {
  Json json;
  json["port"] = board.port;
  json["board"] = board.board;
  json["attempt"] = board.attempt;
  json["serial"] = serialJson(board.serial);
  json["outcome"] = board.outcome;
  json["exit_code"] = board.exitCode;
  json["message"] = board.message;
  json["duration_s"] = static_cast<long long>(board.seconds * 1000) / 1000.0;
  return json;
}

Json summaryJson(const StationState& state) {
  Json json;
  json["ended"] = state.ended;
  json["counters"] = countersJson(state.counters);
  json["recent"] = Json::array();
  for (const BoardResult& board : state.recent) json["recent"].push_back(boardJson(board));
  return json;
}

}  // namespace

std::string stateJson(const StationState& state) {
  Json json;
  json["title"] = state.title;
  json["ended"] = state.ended;
  json["tiles"] = Json::array();
  for (const Tile& tile : state.tiles) json["tiles"].push_back(tileJson(tile));
  json["counters"] = countersJson(state.counters);
  json["recent"] = summaryJson(state)["recent"];
  return dump(json);
}

std::string tileEventData(const StationState& state, size_t index) {
  Json json;
  json["index"] = index;
  json["tile"] = tileJson(state.tiles[index]);
  json["html"] = renderTile(state.tiles[index], index);
  return dump(json);
}

std::string summaryEventData(const StationState& state) {
  Json json = summaryJson(state);
  json["html"] = renderSummary(state);
  return dump(json);
}
