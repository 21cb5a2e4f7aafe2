// The line's page as HTML.
#include <cstdio>

#include "console/text_escape.h"
#include "line/line_page.h"

namespace {

// A text from the record, safe in HTML text and attribute values.
std::string h(const std::string& text) {
  return htmlEscape(cleanText(text));
}

std::string fixed(double value, const char* format) {
  char text[64];
  snprintf(text, sizeof text, format, value);
  return text;
}

const char* lifeWord(StationLife life) {
  switch (life) {
    case StationLife::Alive:
      return "ALIVE";
    case StationLife::Idle:
      return "IDLE";
    case StationLife::NotHeardFrom:
      return "NOT HEARD FROM";
  }
  return "";
}

std::string cell(const std::string& html, const char* cls = nullptr) {
  return std::string("<td") + (cls ? std::string(" class=\"") + cls + "\"" : "") + ">" + html +
         "</td>";
}

std::string attemptRow(const AttemptRow& a, bool withStation) {
  const bool passed = a.outcome == "success", open = a.outcome == OutcomeStarted;
  std::string html =
      std::string("<tr class=\"") +
      (passed ? "green"
       : open ? "blue"
              : "red") +
      "\">" + cell(h(a.started)) + (withStation ? cell(h(a.station)) : "") + cell(h(a.port)) +
      cell(std::to_string(a.board)) + cell(a.serial ? std::to_string(*a.serial) : "") +
      cell(std::to_string(a.attempt)) +
      cell(std::string(passed ? "PASS"
                       : open ? "WORKING"
                              : "FAIL") +
               " " + h(a.outcome),
           "result") +
      cell(open ? "" : fixed(a.seconds, "%.1f s")) +
      cell(h(a.failedStep.empty() ? a.message : a.failedStep + ": " + a.message), "message");
  if (withStation) html += cell(h(a.file)) + cell(h(a.appLine), "message");
  return html + "</tr>";
}

std::string attemptTable(const std::vector<AttemptRow>& rows, bool withStation) {
  std::string html =
      "<table><tr><th>Started (UTC)</th>" + std::string(withStation ? "<th>Station</th>" : "") +
      "<th>Port</th><th>Board</th><th>Serial</th><th>Attempt</th><th>Result</th>"
      "<th>Time</th><th>Message</th>" +
      (withStation ? "<th>Image</th><th>Application's last line</th>" : "") + "</tr>";
  for (const AttemptRow& row : rows) html += attemptRow(row, withStation);
  return html + "</table>";
}

std::string yieldCells(const YieldGroup& g) {
  return cell(std::to_string(g.boards)) + cell(std::to_string(g.firstPass)) +
         cell(fixed(firstPassYield(g), "%.1f %%")) + cell(std::to_string(g.afterRetries)) +
         cell(std::to_string(g.failed)) + cell(std::to_string(g.abandoned)) +
         cell(fixed(g.medianSeconds, "%.1f s"));
}

const char* const YieldHead =
    "<th>Boards</th><th>First pass</th><th>First-pass yield</th><th>After retries</th>"
    "<th>Failed</th><th>Abandoned</th><th>Median time</th>";

std::string stationSection(const LineStation& s) {
  const char* colour = s.life == StationLife::Alive  ? "green"
                       : s.life == StationLife::Idle ? "grey"
                                                     : "red";
  std::string html =
      std::string("<section class=\"station ") + colour + "\" data-life=\"" +
      stationLifeName(s.life) + "\"><h2 class=\"name\">" + h(s.status.name) +
      "</h2><div class=\"word\">" + lifeWord(s.life) +
      "</div><p>Last heartbeat: " + (s.status.lastAlive.empty() ? "none" : h(s.status.lastAlive)) +
      (s.status.version.empty() ? "" : "; version " + h(s.status.version)) +
      "</p><table class=\"yield\"><tr>" + YieldHead + "</tr><tr>" + yieldCells(s.yield) +
      "</tr></table>";
  return html + attemptTable(s.last, false) + "</section>";
}

std::string head(const std::string& title, bool refresh) {
  return "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">" +
         (refresh ? "<meta http-equiv=\"refresh\" content=\"" +
                        std::to_string(LinePageRefreshSeconds) + "\">"
                  : std::string()) +
         "<title>" + title + "</title><link rel=\"stylesheet\" href=\"/line.css\"></head><body>";
}

std::string searchForm(const std::string& asked) {
  return "<form method=\"get\" action=\"/serial\" class=\"search\"><label>Serial number "
         "<input name=\"number\" inputmode=\"numeric\" value=\"" +
         h(asked) + "\"></label> <button type=\"submit\">Show its attempts</button></form>";
}

}  // namespace

std::string renderLinePage(const LineSnapshot& line) {
  std::string html = head("The line", true) + "<header><h1>The line</h1><p class=\"target\">" +
                     h(line.target) + "</p><p>Read at " + h(line.readAt) + "</p></header>";
  if (!line.fault.empty()) {
    html += "<p class=\"fault\" id=\"fault\">The record cannot be read: " + h(line.fault) +
            (line.readAt.empty() ? std::string() : ". Shown: what was read at " + h(line.readAt)) +
            ".</p>";
  }
  html += searchForm("") + "<h2>" + h(line.day) + " (UTC): " + std::to_string(line.total.boards) +
          " boards, " + fixed(firstPassYield(line.total), "%.1f %%") +
          " first-pass yield</h2><main id=\"stations\">";
  for (const LineStation& station : line.stations) html += stationSection(station);
  html += "</main><h2>Per hour</h2><table class=\"hours\"><tr><th>Hour (UTC)</th>" +
          std::string(YieldHead) + "</tr>";
  for (const YieldGroup& hour : line.hours)
    html += "<tr>" + cell(h(hour.key)) + yieldCells(hour) + "</tr>";
  return html + "</table></body></html>";
}

std::string renderUnitPage(const UnitAnswer& unit) {
  const std::string title = "Unit " + h(unit.asked);
  std::string html = head(title, false) + "<header><h1>" + title +
                     "</h1><p><a href=\"/\">The line</a></p></header>" + searchForm(unit.asked);
  if (!unit.refusal.empty())
    return html + "<p class=\"fault\">" + h(unit.refusal) + "</p></body></html>";
  if (!unit.fault.empty()) {
    return html + "<p class=\"fault\">The record cannot be read: " + h(unit.fault) +
           ".</p></body></html>";
  }
  if (unit.attempts.empty())
    return html + "<p>No attempt at this unit in the record.</p></body></html>";
  return html + "<p>" + std::to_string(unit.attempts.size()) + " attempts, newest first.</p>" +
         attemptTable(unit.attempts, true) + "</body></html>";
}
