#include "status/status_page.h"

namespace tarvell
{
namespace
{

// The page asks /status every two seconds and redraws itself. The latency is coloured by
// what the channel's buffering allows: a channel writes a chunk once it holds 4900 samples,
// so up to 4900 / rate seconds of latency are its buffering, not trouble (49 s at 100 Hz).
// Green within that, amber within twice that, red beyond, for a silent channel, and while
// the channel's server is not connected (its last sample ages in no other way then). The
// rate is what the page saw arrive: samples received per second of sample time between two
// answers; until it knows, 30 s stands for the allowance. The 24-hour bar draws one mark
// per slot of the channel's availability, oldest at the left.
// When the server asks for a token, the page sends it with every request as
// "Authorization: Bearer". It takes the token from its address (/#token=...), which the
// browser never sends to the server, and removes it from there at once, or asks for it in
// a field when the server refuses; it keeps it in the tab's session storage only.
const char kPage[] = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>TARVELL status</title>
<style>
body { font: 13px sans-serif; margin: 16px; color: #222; background: #fafafa; }
h1 { font-size: 18px; margin: 0 0 8px 0; }
#summary { margin-bottom: 10px; }
.state { display: inline-block; padding: 2px 8px; border-radius: 3px; margin-right: 6px; }
.up { background: #c8ecc8; } .down { background: #f4c0c0; } .other { background: #f3e2b3; }
table { border-collapse: collapse; background: #fff; }
th, td { border: 1px solid #ccc; padding: 3px 7px; text-align: left; white-space: nowrap; }
th { background: #eee; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
.good { background: #c8ecc8; } .late { background: #f3e2b3; } .bad { background: #f4c0c0; }
svg.bar { display: block; }
#links, #stations { margin: 10px 0; }
</style>
</head>
<body>
<h1>TARVELL</h1>
<form id="login" hidden>This status server asks for its token:
<input type="password" id="token" autocomplete="off" size="40"> <button>Use it</button></form>
<div id="summary">loading&hellip;</div>
<div id="links"></div>
<table>
<thead><tr><th>Station</th><th>Channel</th><th>Last count time</th><th>Latency</th>
<th>File (type)</th><th>Server</th><th>Samples</th><th>Buffered</th>
<th>Last 24 hours</th></tr></thead>
<tbody id="channels"></tbody>
</table>
<div id="stations"></div>
<script>
"use strict";
function text(value) { return String(value).replace(/[&<>"]/g, c => ({"&": "&amp;",
  "<": "&lt;", ">": "&gt;", "\"": "&quot;"}[c])); }
function timeText(seconds) {
  if (seconds === null) return "---------";
  return new Date(seconds * 1000).toISOString().replace("T", " ").replace("Z", "");
}
const chunkSamples = 4900;
const firstSeen = new Map(); // station and channel -> the first answer's samples and time
function sampleRate(c) {
  const key = c.station + "\n" + c.channel;
  if (c.last_sample_time === null) return null;
  const first = firstSeen.get(key);
  // The first sight, or a program started anew (its counts begin again).
  if (!first || c.samples_received < first.samples || c.last_sample_time < first.time) {
    firstSeen.set(key, {samples: c.samples_received, time: c.last_sample_time});
    return null;
  }
  const samples = c.samples_received - first.samples, seconds = c.last_sample_time - first.time;
  return samples > 0 && seconds > 0 ? samples / seconds : null;
}
function latencyClass(c, linkConnected, rate) {
  if (c.stalled || c.latency_seconds === null || !linkConnected) return "bad";
  const allowed = rate ? chunkSamples / rate : 30;
  if (c.latency_seconds < allowed) return "good";
  return c.latency_seconds < 2 * allowed ? "late" : "bad";
}
function bar(availability) {
  const width = 216, height = 12, n = availability.length || 1, w = width / n;
  let marks = "";
  for (let k = 0; k < availability.length; ++k) {
    const colour = availability[k] === "1" ? "#3a9d3a" : "#e3e3e3";
    marks += `<rect x="${(k * w).toFixed(2)}" width="${(w + 0.05).toFixed(2)}" height="${height}" fill="${colour}"/>`;
  }
  return `<svg class="bar" width="${width}" height="${height}">${marks}</svg>`;
}
function render(status) {
  const db = status.database.reachable;
  document.getElementById("summary").innerHTML =
    `<span class="state ${db ? "up" : "down"}">database ${db ? "up" : "down"}` +
    ` (${status.database.outages} outages)</span>${text(status.summary)}` +
    ` &middot; version ${text(status.version)} &middot; since ${timeText(status.start_time)} UTC` +
    (status.instance ? ` &middot; instance ${text(status.instance)}` : "");
  // A link another instance of the fleet holds is archived there: its holder, not its state.
  document.getElementById("links").innerHTML = status.links.map(link =>
    link.held_here === false ?
      `<span class="state other">${text(link.server)}:${link.port} held by ` +
      `${text(link.holder || "nobody yet")}</span>` :
      `<span class="state ${link.state === "connected" ? "up" : "other"}">` +
      `${text(link.server)}:${link.port} ${text(link.state)}, ${link.reconnects} reconnects,` +
      ` ${link.bytes_received} bytes</span>`).join("");
  const connected = new Set(status.links.filter(link => link.state === "connected")
    .map(link => link.server));
  document.getElementById("channels").innerHTML = status.channels.map(c =>
    `<tr><td>${text(c.station)}</td><td>${text(c.channel)}</td>` +
    `<td>${timeText(c.last_sample_time)}</td>` +
    (c.elsewhere ? `<td class="num">elsewhere</td>` :
    `<td class="num ${latencyClass(c, connected.has(c.server), sampleRate(c))}">${c.stalled ? "silent" :
      c.latency_seconds === null ? "-" : c.latency_seconds.toFixed(1) + " s"}</td>`) +
    `<td>${text(c.file)}</td><td>${text(c.server)}</td>` +
    `<td class="num">${c.samples_written} / ${c.samples_received}</td>` +
    `<td class="num">${c.buffer_samples}</td><td>${bar(c.availability)}</td></tr>`).join("");
  document.getElementById("stations").innerHTML = status.stations.map(s =>
    `<span class="state other">${text(s.station)}: disk loop ${s.disk_loop_bytes} of ` +
    `${s.disk_loop_limit_bytes} bytes, ${s.files_purged} files purged</span>`).join("");
  document.title = `TARVELL: ${status.summary}`;
}
const tokenKey = "tarvell-token";
function takeTokenFromAddress() {
  const match = /(?:^#|&)token=([^&]*)/.exec(location.hash);
  if (!match) return;
  sessionStorage.setItem(tokenKey, decodeURIComponent(match[1]));
  history.replaceState(null, "", location.pathname + location.search);
}
function authorization() {
  const token = sessionStorage.getItem(tokenKey);
  return token ? {"Authorization": "Bearer " + token} : {};
}
document.getElementById("login").addEventListener("submit", e => {
  e.preventDefault();
  sessionStorage.setItem(tokenKey, document.getElementById("token").value.trim());
  document.getElementById("login").hidden = true;
});
function refresh() {
  fetch("/status", {cache: "no-store", headers: authorization()}).then(r => {
    if (r.status === 401) {
      document.getElementById("login").hidden = false;
      throw new Error("the status server asks for its token");
    }
    return r.json();
  }).then(render)
    .catch(e => { document.getElementById("summary").textContent = "no answer: " + e; })
    .finally(() => setTimeout(refresh, 2000));
}
takeTokenFromAddress();
refresh();
</script>
</body>
</html>
)html";

} // namespace

const char* StatusPageHtml()
{
    return kPage;
}

} // namespace tarvell
