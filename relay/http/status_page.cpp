#include "relay/http/status_page.h"

namespace kavro::relay {

namespace {

constexpr std::string_view kPage = R"page(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Kavro relay</title>
<style>
  :root { color-scheme: light dark; --muted: #6b7280; --line: #d1d5db; --away: #b45309; }
  body { font: 16px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; margin: 0 auto;
         max-width: 64rem; padding: 1rem; }
  h1 { font-size: 1.5rem; margin: 0; }
  #relay, #updated { color: var(--muted); margin: .25rem 0; }
  .totals { display: grid; grid-template-columns: repeat(auto-fit, minmax(8.5rem, 1fr));
            gap: .5rem; margin: 1rem 0; }
  .totals div { border: 1px solid var(--line); border-radius: .5rem; padding: .5rem .75rem; }
  .totals span { color: var(--muted); font-size: .875rem; }
  .totals b { display: block; font-size: 1.35rem; font-variant-numeric: tabular-nums; }
  table { width: 100%; border-collapse: collapse; }
  th, td { text-align: left; padding: .5rem; border-bottom: 1px solid var(--line); }
  th { color: var(--muted); font-weight: 600; font-size: .875rem; }
  .num { text-align: right; font-variant-numeric: tabular-nums; }
  td.name { font-weight: 600; overflow-wrap: anywhere; }
  tr.away td.caster { color: var(--away); }
  #empty, #no-races { color: var(--muted); }
  h2 { font-size: 1.15rem; margin: 1.75rem 0 .5rem; }
  tr.incomplete td.state { color: var(--away); }
  @media (max-width: 40rem) {
    thead { display: none; }
    tr.cast, tr.race { display: block; border: 1px solid var(--line); border-radius: .5rem;
              margin-bottom: .75rem; padding: .25rem .75rem; }
    tr.cast td, tr.race td { display: flex; justify-content: space-between; gap: 1rem;
                 border: 0; padding: .2rem 0; text-align: right; }
    tr.cast td::before, tr.race td::before { content: attr(data-label); color: var(--muted);
                         font-weight: 400; text-align: left; }
  }
</style>
</head>
<body>
<h1>Kavro relay</h1>
<p id="relay">Loading&hellip;</p>
<div class="totals">
  <div><span>Live casts</span><b id="total-casts">&ndash;</b></div>
  <div><span>Watchers</span><b id="total-watchers">&ndash;</b></div>
  <div><span>Connections</span><b id="total-connections">&ndash;</b></div>
  <div><span>Received</span><b id="total-received">&ndash;</b></div>
  <div><span>Sent</span><b id="total-sent">&ndash;</b></div>
</div>
<table>
  <thead><tr><th>Cast</th><th>Track</th><th class="num">Watchers</th>
    <th class="num">Packet time</th><th class="num">Live for</th><th class="num">Replay</th>
    <th>Caster</th></tr></thead>
  <tbody id="casts"></tbody>
</table>
<p id="empty" hidden>No casts are live.</p>
<section id="races" hidden>
<h2>Recent races</h2>
<table>
  <thead><tr><th>Race</th><th>Track</th><th>Started</th><th class="num">Length</th>
    <th class="num">Size</th><th class="num">Most watchers</th><th>State</th>
    <th>Download</th></tr></thead>
  <tbody id="race-list"></tbody>
</table>
<p id="no-races" hidden>No races recorded yet.</p>
</section>
<p id="updated"></p>
<noscript><p>This page needs JavaScript to show the casts. The same list is at
  <a href="casts.json">casts.json</a>.</p></noscript>
<script>
"use strict";
const byId = (id) => document.getElementById(id);

function duration(total) {
  const d = Math.floor(total / 86400), h = Math.floor(total % 86400 / 3600);
  const m = Math.floor(total % 3600 / 60), s = total % 60;
  if (d) return d + " d " + h + " h";
  if (h) return h + " h " + m + " min";
  if (m) return m + " min " + s + " s";
  return s + " s";
}

function size(bytes) {
  const units = ["B", "KiB", "MiB", "GiB"];
  let i = 0;
  while (bytes >= 1024 && i < units.length - 1) { bytes /= 1024; i++; }
  return (i ? bytes.toFixed(1) : String(bytes)) + " " + units[i];
}

function cell(row, kind, label, text) {
  const td = document.createElement("td");
  td.className = kind;
  td.dataset.label = label;
  td.textContent = text;  // names are user input: always text, never markup
  row.appendChild(td);
}

// The cell's text becomes a download link to `url` (relative to this page).
function link(td, url) {
  const a = document.createElement("a");
  a.href = url;
  a.setAttribute("download", "");
  a.textContent = td.textContent;
  td.replaceChildren(a);
}

const stateText = { live: "live", awaiting_resume: "caster away", finished: "finished",
                    incomplete: "incomplete" };

function raceRow(race) {
  const row = document.createElement("tr");
  row.className = "race " + race.state;
  const started = new Date(race.started);
  cell(row, "name", "Race", race.name);
  cell(row, "track", "Track", race.track || "\u2013");
  cell(row, "started", "Started", started.toLocaleString());
  cell(row, "length num", "Length", race.ended === null ? "live"
       : duration(Math.max(0, Math.round((new Date(race.ended) - started) / 1000))));
  cell(row, "size num", "Size", size(race.bytes));
  cell(row, "peak num", "Most watchers", String(race.watchers_peak));
  cell(row, "state", "State", stateText[race.state] || race.state);
  cell(row, "download", "Download", "Download");
  link(row.lastChild, race.url);
  return row;
}

function showRaces(archive) {
  byId("races").hidden = !archive.keeping_recordings;
  const recent = archive.recordings.slice(0, 20);
  byId("race-list").replaceChildren(...recent.map(raceRow));
  byId("no-races").hidden = recent.length > 0;
}

async function refreshRaces() {
  try {
    const response = await fetch("archive.json?limit=20", { cache: "no-store" });
    if (response.ok) showRaces(await response.json());
  } catch (error) {
    // casts.json's refresh says when the relay does not answer
  } finally {
    setTimeout(refreshRaces, 10000);
  }
}

function castRow(cast) {
  const row = document.createElement("tr");
  row.className = cast.caster_connected ? "cast" : "cast away";
  cell(row, "name", "Cast", cast.name);
  cell(row, "track", "Track", cast.track || "\u2013");
  cell(row, "watchers num", "Watchers", String(cast.watchers));
  cell(row, "packet-time num", "Packet time",
       cast.packet_time_seconds === null ? "\u2013" : cast.packet_time_seconds.toFixed(1) + " s");
  cell(row, "live num", "Live for", duration(cast.live_seconds));
  cell(row, "replay num", "Replay", size(cast.replay_bytes));
  if (cast.replay_url) link(row.lastChild, cast.replay_url);
  cell(row, "caster", "Caster", cast.caster_connected
       ? "connected" : "away, " + cast.resume_seconds_left + " s left to resume");
  return row;
}

function show(relay) {
  byId("relay").textContent = "Version " + relay.version + ", up " +
      duration(relay.uptime_seconds) +
      (relay.accepting_connections ? "" : " \u2013 not accepting connections now");
  byId("total-casts").textContent = relay.casts.length;
  byId("total-watchers").textContent = relay.watchers;
  byId("total-connections").textContent = relay.connections;
  byId("total-received").textContent = size(relay.received_bytes_per_second) + "/s";
  byId("total-sent").textContent = size(relay.sent_bytes_per_second) + "/s";
  byId("casts").replaceChildren(...relay.casts.map(castRow));
  byId("empty").hidden = relay.casts.length > 0;
  byId("updated").textContent = "Updated " + new Date().toLocaleTimeString();
}

async function refresh() {
  try {
    const response = await fetch("casts.json", { cache: "no-store" });
    if (!response.ok) throw new Error("HTTP " + response.status);
    show(await response.json());
  } catch (error) {
    byId("updated").textContent = "The relay did not answer (" + error.message +
        "); trying again.";
  } finally {
    setTimeout(refresh, 2000);
  }
}
refresh();
refreshRaces();
</script>
</body>
</html>
)page";

}  // namespace

std::string_view status_page_html() { return kPage; }

}  // namespace kavro::relay
