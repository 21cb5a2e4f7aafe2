// The page's style sheet and script: plain CSS and JavaScript, nothing fetched
// from elsewhere. The script follows /api/events and replaces the tiles and
// the summary with the HTML the server drew; without it the page shows the
// state at its load.
#include "console/page.h"

const char* const PageStyle = R"CSS(
* { box-sizing: border-box; }
body { margin: 0; padding: 0.5rem; font-family: sans-serif; background: #111; color: #eee; }
header { display: flex; flex-wrap: wrap; align-items: baseline; gap: 0 1rem; }
h1 { margin: 0; font-size: 1.4rem; }
h2 { font-size: 1.2rem; margin: 1rem 0 0.3rem; }
.file { margin: 0; color: #bbb; overflow-wrap: anywhere; flex: 1; }
#tiles { display: grid; grid-template-columns: repeat(auto-fill, minmax(16rem, 1fr)); gap: 0.5rem;
         margin: 0.5rem 0; }
.tile { border-radius: 0.5rem; padding: 0.6rem; color: #fff; min-height: 12rem; }
.tile.green { background: #1b7d2f; }
.tile.red { background: #b3201b; }
.tile.blue { background: #1f4fa8; }
.tile.grey { background: #555; }
.word { font-size: 2.9rem; font-weight: bold; line-height: 1.1; overflow-wrap: anywhere; }
.port { font-size: 1.1rem; font-family: monospace; overflow-wrap: anywhere; }
.what { font-size: 1.3rem; margin: 0.2rem 0; }
.bar { width: 100%; height: 1rem; accent-color: #fff; }
dl { display: grid; grid-template-columns: auto 1fr; gap: 0 0.6rem; margin: 0.4rem 0; }
dt { color: rgba(255, 255, 255, 0.75); }
dd { margin: 0; font-weight: bold; }
.outcome { font-weight: bold; margin: 0.2rem 0; }
.message { white-space: pre-wrap; overflow-wrap: anywhere; margin: 0; }
.counters { display: flex; flex-wrap: wrap; gap: 0.5rem 1.5rem; font-size: 1.1rem; }
.counter .n { font-size: 2rem; font-weight: bold; }
.ended { font-size: 1.6rem; font-weight: bold; background: #444; padding: 0.4rem; margin: 0; }
table { border-collapse: collapse; width: 100%; font-size: 0.95rem; }
th, td { text-align: left; padding: 0.2rem 0.4rem; border-bottom: 1px solid #333;
         vertical-align: top; }
tr.green td:nth-child(5) { color: #5fd36f; font-weight: bold; }
tr.red td:nth-child(5) { color: #ff6b66; font-weight: bold; }
button { font-size: 1rem; padding: 0.3rem 0.8rem; }
#link { color: #f9c74f; }
@media (max-width: 30rem) { .word { font-size: 2.6rem; } .tile { min-height: 0; } }
)CSS";

const char* const PageScript = R"JS(
(function () {
  "use strict";
  var events = new EventSource("/api/events");
  var ended = false;
  window.stationLog = [];
  function replace(id, html) {
    var old = document.getElementById(id);
    if (!old) return;
    var holder = document.createElement("div");
    holder.innerHTML = html;
    if (holder.firstElementChild) old.replaceWith(holder.firstElementChild);
  }
  function say(text) { document.getElementById("link").textContent = text; }
  events.addEventListener("tile", function (e) {
    var data = JSON.parse(e.data);
    window.stationLog.push({ index: data.index, state: data.tile.state,
                             board: data.tile.board, percent: data.tile.percent });
    replace("tile-" + data.index, data.html);
  });
  events.addEventListener("summary", function (e) {
    var data = JSON.parse(e.data);
    replace("summary", data.html);
    if (data.ended) {
      ended = true;
      events.close();
      say("");
    }
  });
  events.onopen = function () { say(""); };
  events.onerror = function () {
    if (!ended) say("Not connected to the station: the page shows its last known state.");
  };
  function tick() {
    var now = Date.now();
    document.querySelectorAll(".elapsed[data-running='1']").forEach(function (el) {
      if (!el.dataset.at) el.dataset.at = String(now);
      var seconds = Number(el.dataset.seconds) + (now - Number(el.dataset.at)) / 1000;
      el.textContent = Math.round(seconds) + " s";
    });
  }
  setInterval(tick, 1000);
  var stop = document.getElementById("stop");
  stop.addEventListener("submit", function (e) {
    e.preventDefault();
    if (!window.confirm("Take no new boards and end when the boards in progress end?")) return;
    fetch("/api/stop", { method: "POST" }).then(function (r) { return r.text(); })
      .then(say, function () { say("The stop did not reach the station."); });
  });
})();
)JS";
