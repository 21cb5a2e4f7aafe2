// The station's page as HTML, drawn from a copy of the view.
#include <cstdio>

#include "console/page.h"
#include "console/text_escape.h"

namespace {

std::string number(double value, const char* format) {
  char text[64];
  snprintf(text, sizeof text, format, value);
  return text;
}

// What the tile says under its word, in plain words.
std::string stateLine(const Tile& tile) {
  const std::string percent = " " + std::to_string(tile.percent) + "%";
  switch (tile.state) {
    case TileState::Waiting:
      return "waiting for a board";
    case TileState::Restarted:
      return "the same board restarted: replace it";
    case TileState::Erasing:
      return "erasing" + percent;
    case TileState::Programming:
      return "programming" + percent;
    case TileState::Checking:
      return "checking the application's answer";
    case TileState::Passed:
      return "passed";
    case TileState::Failed:
      return "failed";
    case TileState::Interrupted:
      return "interrupted";
    case TileState::PortGone:
      return "the port is gone: waiting for it to return";
  }
  return "";
}

std::string field(const char* name, const char* cls, const std::string& html) {
  return std::string("<dt>") + name + "</dt><dd class=\"" + cls + "\">" + html + "</dd>";
}

std::string elapsed(const Tile& tile) {
  return std::string("<span class=\"elapsed\" data-running=\"") + (tile.onBoard ? "1" : "0") +
         "\" data-seconds=\"" + number(tile.seconds, "%.1f") + "\">" +
         number(tile.seconds, "%.0f") + " s</span>";
}

std::string boardRow(const BoardResult& board) {
  const bool passed = board.exitCode == 0;
  return std::string("<tr class=\"") + (passed ? "green" : "red") + "\"><td>" +
         std::to_string(board.board) + "</td><td>" + htmlEscape(board.port) + "</td><td>" +
         (board.serial ? std::to_string(*board.serial) : "") + "</td><td>" +
         std::to_string(board.attempt) + "</td><td>" + (passed ? "PASS" : "FAIL") + " " +
         htmlEscape(board.outcome) + "</td><td>" + number(board.seconds, "%.1f") +
         " s</td><td class=\"message\">" + htmlEscape(board.message) + "</td></tr>";
}

std::string counter(const char* id, const std::string& value, const char* label) {
  return std::string("<div class=\"counter\"><span class=\"n\" id=\"") + id + "\">" + value +
         "</span> " + label + "</div>";
}

}  // namespace

std::string renderTile(const Tile& tile, size_t index) {
  std::string html = "<section class=\"tile " + std::string(tileColour(tile.state)) +
                     "\" id=\"tile-" + std::to_string(index) + "\" data-state=\"" +
                     tileStateName(tile.state) + "\"><div class=\"word\">" + tileWord(tile.state) +
                     "</div><div class=\"port\">" + htmlEscape(tile.port) +
                     "</div><div class=\"what\">" + htmlEscape(stateLine(tile)) + "</div>";
  if (tile.state == TileState::Erasing || tile.state == TileState::Programming) {
    html += "<progress class=\"bar\" max=\"100\" value=\"" + std::to_string(tile.percent) +
            "\"></progress>";
  }
  html += "<dl>" + field("Board", "board", tile.board ? std::to_string(tile.board) : "-") +
          field("Serial", "serial", tile.serial ? std::to_string(*tile.serial) : "-") +
          field("Attempt", "attempt", tile.attempt ? std::to_string(tile.attempt) : "-") +
          field("Time", "time", elapsed(tile)) + "</dl>";
  if (!tile.outcome.empty() || !tile.message.empty()) {
    html += "<p class=\"outcome\">" + htmlEscape(tile.outcome) + "</p><p class=\"message\">" +
            htmlEscape(tile.message) + "</p>";
  }
  return html + "</section>";
}

std::string renderSummary(const StationState& state) {
  const RunCounters& c = state.counters;
  std::string html = "<div id=\"summary\">";
  if (state.ended) html += "<p class=\"ended\">The station has ended.</p>";
  html += "<div class=\"counters\">" + counter("c-boards", std::to_string(c.boards), "boards") +
          counter("c-passed", std::to_string(c.passed), "passed") +
          counter("c-failed", std::to_string(c.failed), "failed") +
          counter("c-yield", number(c.firstPassYield, "%.1f") + " %", "first-pass yield") +
          counter("c-rate", number(c.boardsPerHour, "%.0f"), "boards per hour") + "</div>";
  html +=
      "<h2>Last boards</h2><table class=\"recent\"><tr><th>Board</th><th>Port</th><th>Serial</th>"
      "<th>Attempt</th><th>Result</th><th>Time</th><th>Message</th></tr>";
  for (const BoardResult& board : state.recent) html += boardRow(board);
  return html + "</table></div>";
}

std::string renderPage(const StationState& state) {
  std::string html =
      "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>Station: " +
      htmlEscape(state.title) +
      "</title><link rel=\"stylesheet\" href=\"/page.css\"></head><body><header><h1>Station</h1>"
      "<p class=\"file\">" +
      htmlEscape(state.title) +
      "</p><form method=\"post\" action=\"/api/stop\" id=\"stop\"><button type=\"submit\">"
      "Stop after the boards in progress</button></form></header><main id=\"tiles\">";
  for (size_t i = 0; i < state.tiles.size(); ++i) html += renderTile(state.tiles[i], i);
  html += "</main>" + renderSummary(state) +
          "<p id=\"link\"></p><script src=\"/page.js\"></script></body></html>";
  return html;
}
