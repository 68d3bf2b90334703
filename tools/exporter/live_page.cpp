#include "live_page.h"

#include "exporter.h"

#include <algorithm>
#include <cstdio>

const char live_html[] = R"(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>linkstat live</title>
<link rel="icon" href="data:,">
<link rel="stylesheet" href="/live.css">
</head>
<body>
<header>
<h1 id="target">linkstat</h1>
<p id="state" class="state waiting">Asking the router&hellip;</p>
<button id="tone" type="button">Tone on</button>
</header>
<main id="figures">
<section class="meter overall" id="m-rssi">
<div class="label">Signal</div>
<div class="number">&ndash;</div>
<div class="bar"><div class="fill"></div><div class="peak"></div></div>
<div class="peakval">peak <span>&ndash;</span></div>
</section>
<section class="paths">
<div class="meter" id="m-a"><div class="label">Path A</div><div class="number">&ndash;</div><div class="bar"><div class="fill"></div><div class="peak"></div></div><div class="peakval">peak <span>&ndash;</span></div></div>
<div class="meter" id="m-b"><div class="label">Path B</div><div class="number">&ndash;</div><div class="bar"><div class="fill"></div><div class="peak"></div></div><div class="peakval">peak <span>&ndash;</span></div></div>
<div class="meter" id="m-c"><div class="label">Path C</div><div class="number">&ndash;</div><div class="bar"><div class="fill"></div><div class="peak"></div></div><div class="peakval">peak <span>&ndash;</span></div></div>
<div class="meter" id="m-d"><div class="label">Path D</div><div class="number">&ndash;</div><div class="bar"><div class="fill"></div><div class="peak"></div></div><div class="peakval">peak <span>&ndash;</span></div></div>
</section>
<section class="rates">
<div>Transmit <span id="tx">&ndash;</span> Mb/s</div>
<div>Receive <span id="rx">&ndash;</span> Mb/s</div>
</section>
<section class="chart">
<div class="label">Last five minutes</div>
<canvas id="chart" height="200"></canvas>
<div class="legend"><span class="k-rssi">signal</span> <span class="k-a">A</span> <span class="k-b">B</span> <span class="k-c">C</span> <span class="k-d">D</span></div>
</section>
<button id="reset" type="button">Reset peaks</button>
</main>
<script src="/live.js"></script>
</body>
</html>
)";

// Asks once a second (the next ask a second after the last began, never two at once), keeps
// five minutes of readings for the chart, and holds the highest figure of each meter since
// the page opened or its peaks were reset. Figures older than a few seconds are never shown
// as current, and a tone whose pitch follows the signal can be switched on.
const char live_js[] = R"('use strict';
const target = new URLSearchParams(location.search).get('target') || '';
const meters = ['rssi', 'a', 'b', 'c', 'd'];
const colours = {rssi: '#111', a: '#d62728', b: '#1f77b4', c: '#2ca02c', d: '#9467bd'};
const span = 300000;
// Without an answer for this long the figures are old; an ask gives up after this long.
const staleAfter = 3000;
const askTimeout = 2500;
// A gap this long between readings breaks the chart's lines.
const gap = 2500;
const history = [];
const peaks = {};
let downSince = null;
let lastAnswer = Date.now();
let stale = false;
let current = null; // the signal now, for the tone
let audio = null, tone = null;

document.getElementById('target').textContent = target || 'no target';
document.title = 'linkstat ' + target;

function value(reading, key) {
  return key === 'rssi' ? reading.rssi : reading.paths[key];
}

function showMeter(key, v, grey) {
  const box = document.getElementById('m-' + key);
  box.classList.toggle('stale', grey);
  box.querySelector('.number').textContent = v === null ? '\u2013' : String(v);
  box.querySelector('.fill').style.width = (v === null ? 0 : Math.min(v, 100)) + '%';
  const peak = peaks[key];
  box.querySelector('.peak').style.display = peak === undefined ? 'none' : 'block';
  box.querySelector('.peak').style.left = Math.min(peak || 0, 100) + '%';
  box.querySelector('.peakval span').textContent = peak === undefined ? '\u2013' : String(peak);
}

function clock(ms) {
  return new Date(ms).toLocaleTimeString();
}

function setState(text, kind) {
  const state = document.getElementById('state');
  state.textContent = text;
  state.className = 'state ' + kind;
}

// Higher signal, higher pitch: an octave every 33 points, from 220 Hz at 0.
function pitch(v) {
  return 220 * Math.pow(2, Math.min(Math.max(v, 0), 100) / 33);
}

function setTone(v) {
  if (audio === null || v === null) {
    if (tone !== null) {
      tone.stop();
      tone = null;
    }
    return;
  }
  if (tone === null) {
    tone = audio.createOscillator();
    const gain = audio.createGain();
    gain.gain.value = 0.2;
    tone.connect(gain).connect(audio.destination);
    tone.start();
  }
  tone.frequency.value = pitch(v);
}

function show(reading, now) {
  const figures = reading.up && reading.present;
  lastAnswer = now;
  stale = false;
  document.getElementById('figures').classList.remove('stale');
  if (reading.up) {
    downSince = null;
    if (reading.present)
      setState('Answering', 'up');
    else
      setState('Answering, but the router cannot read its station table: no figures', 'empty');
  } else {
    if (downSince === null)
      downSince = now;
    setState('Not answering since ' + clock(downSince) + ' (' + reading.reason +
             '); trying again every second', 'down');
  }
  for (const key of meters) {
    let v = null;
    if (figures)
      v = value(reading, key);
    if (v !== null && (peaks[key] === undefined || v > peaks[key]))
      peaks[key] = v;
    showMeter(key, figures ? v : null, !figures);
  }
  document.getElementById('tx').textContent = figures && reading.tx_mbps !== null ? reading.tx_mbps.toFixed(1) : '\u2013';
  document.getElementById('rx').textContent = figures && reading.rx_mbps !== null ? reading.rx_mbps.toFixed(1) : '\u2013';
  current = figures ? reading.rssi : null;
  setTone(current);
  history.push({t: now, reading: figures ? reading : null});
  while (history.length && history[0].t < now - span)
    history.shift();
  draw(now);
}

// No answer for a while: the last figures stay, greyed, under a line that says how old.
function checkAge() {
  const now = Date.now();
  if (stale || now - lastAnswer < staleAfter)
    return;
  stale = true;
  current = null;
  setTone(null);
  setState('No answer since ' + clock(lastAnswer) + ': the figures below are from then, ' +
           'not now; trying again every second', 'stale');
  document.getElementById('figures').classList.add('stale');
  for (const key of meters)
    document.getElementById('m-' + key).classList.add('stale');
  draw(now);
}

function draw(now) {
  const canvas = document.getElementById('chart');
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth, height = canvas.clientHeight;
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);
  g.strokeStyle = '#ddd';
  g.fillStyle = '#777';
  g.font = '11px sans-serif';
  g.lineWidth = 1;
  for (const level of [0, 25, 50, 75, 100]) {
    const y = height - 4 - level / 100 * (height - 8);
    g.beginPath();
    g.moveTo(0, y);
    g.lineTo(width, y);
    g.stroke();
    g.fillText(String(level), 2, level === 100 ? y + 11 : y - 2);
  }
  const x = t => width - (now - t) / span * width;
  for (const key of meters) {
    g.strokeStyle = colours[key];
    g.lineWidth = key === 'rssi' ? 3 : 1.5;
    g.beginPath();
    let last = null;
    for (const point of history) {
      const v = point.reading === null ? null : value(point.reading, key);
      if (v === null) {
        last = null;
        continue;
      }
      const y = height - 4 - Math.min(v, 100) / 100 * (height - 8);
      if (last !== null && point.t - last <= gap)
        g.lineTo(x(point.t), y);
      else
        g.moveTo(x(point.t), y);
      last = point.t;
    }
    g.stroke();
  }
}

async function ask() {
  const began = Date.now();
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), askTimeout);
  let reading = null;
  try {
    const answer = await fetch('/live/reading?target=' + encodeURIComponent(target),
                               {cache: 'no-store', signal: abort.signal});
    reading = await answer.json();
  } catch (e) {
    reading = null; // no answer: checkAge says so once it is old
  }
  clearTimeout(timer);
  if (reading !== null && reading.error)
    setState(reading.error, 'down');
  else if (reading !== null)
    show(reading, Date.now());
  setTimeout(ask, Math.max(0, 1000 - (Date.now() - began)));
}

document.getElementById('reset').addEventListener('click', () => {
  for (const key of meters)
    delete peaks[key];
});
document.getElementById('tone').addEventListener('click', event => {
  if (audio === null) {
    audio = new AudioContext();
    event.target.textContent = 'Tone off';
    setTone(current);
  } else {
    setTone(null);
    audio.close();
    audio = null;
    event.target.textContent = 'Tone on';
  }
});
window.addEventListener('resize', () => draw(Date.now()));
setInterval(checkAge, 250);
ask();
)";

const char live_css[] = R"(* { box-sizing: border-box; }
body { margin: 0; font-family: sans-serif; color: #111; background: #fff; }
header, main { max-width: 960px; margin: 0 auto; padding: 0 12px; }
h1 { font-size: 1.3rem; margin: 12px 0 4px; word-break: break-all; }
.state { font-size: 1.2rem; font-weight: bold; padding: 10px; border-radius: 6px; margin: 4px 0 12px; }
.state.up { background: #e3f5e1; color: #135e13; }
.state.empty { background: #fff4d6; color: #6b4e00; }
.state.down { background: #c62828; color: #fff; font-size: 1.4rem; }
.state.waiting { background: #eee; }
.state.stale { background: #777; color: #fff; font-size: 1.4rem; }
#tone { margin: 0 0 12px; }
.meter { margin-bottom: 14px; }
.meter.stale, #figures.stale .rates { opacity: 0.35; }
.label { font-size: 0.9rem; color: #555; text-transform: uppercase; letter-spacing: 0.05em; }
.number { font-size: 2.6rem; font-weight: bold; font-variant-numeric: tabular-nums; line-height: 1.1; }
.overall .number { font-size: 5rem; }
.bar { position: relative; height: 22px; background: #eee; border-radius: 4px; overflow: hidden; }
.overall .bar { height: 34px; }
.fill { height: 100%; width: 0; background: #1565c0; transition: width 0.3s; }
.peak { position: absolute; top: 0; bottom: 0; width: 4px; margin-left: -2px; background: #d50000; display: none; }
.peakval { font-size: 0.9rem; color: #555; }
.paths { display: grid; grid-template-columns: 1fr 1fr; column-gap: 16px; }
.rates { display: grid; grid-template-columns: 1fr 1fr; column-gap: 16px; font-size: 1.2rem; margin: 8px 0 16px; }
.rates span { font-size: 2rem; font-weight: bold; font-variant-numeric: tabular-nums; }
canvas { width: 100%; height: 200px; display: block; border: 1px solid #ddd; }
.legend span { margin-right: 10px; font-size: 0.9rem; }
.k-rssi { color: #111; } .k-a { color: #d62728; } .k-b { color: #1f77b4; } .k-c { color: #2ca02c; } .k-d { color: #9467bd; }
button { width: 100%; font-size: 1.3rem; padding: 16px; margin: 16px 0 24px; border-radius: 8px; border: 1px solid #999; background: #f4f4f4; }
@media (min-width: 720px) {
  .paths { grid-template-columns: repeat(4, 1fr); }
  button { width: auto; padding: 10px 24px; font-size: 1rem; }
}
)";

std::string html_escaped(const std::string &text) {
    std::string out;
    for (char c : text)
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    return out;
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

namespace {

std::string json_figure(const reading &r, stat_id id) {
    return r.filled[id] ? std::to_string(r.value[id]) : "null";
}

// A rate code in Mb/s: 145 is 72.5.
std::string json_rate(const reading &r, stat_id id) {
    if (!r.filled[id])
        return "null";
    char text[32];
    snprintf(text, sizeof text, "%.1f", static_cast<double>(r.value[id]) / 2);
    return text;
}

} // namespace

std::string reading_json(const std::string &target, const reading &r) {
    std::string out = "{\"target\":" + json_string(target);
    out += ",\"up\":" + std::string(r.up ? "true" : "false");
    out += ",\"reason\":" + (r.up ? std::string("null") : json_string(failure_name(r.why)));
    out += ",\"present\":" + std::string(r.present() ? "true" : "false");
    out += ",\"rssi\":" + json_figure(r, rssi);
    out += ",\"paths\":{\"a\":" + json_figure(r, rssi_path_a) +
           ",\"b\":" + json_figure(r, rssi_path_b) + ",\"c\":" + json_figure(r, rssi_path_c) +
           ",\"d\":" + json_figure(r, rssi_path_d) + "}";
    out += ",\"tx_mbps\":" + json_rate(r, current_tx_rate);
    out += ",\"rx_mbps\":" + json_rate(r, current_rx_rate) + "}";
    return out;
}

std::string index_page(const std::vector<router_summary> &routers) {
    std::string out = R"(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>linkstat-exporter</title>
<link rel="icon" href="data:,">
<link rel="stylesheet" href="/live.css">
</head>
<body>
<header><h1>linkstat-exporter</h1></header>
<main>
<form action="/live" method="get">
<label class="label" for="target">Live page of a router (HOST or HOST:PORT)</label>
<input id="target" name="target" required style="font-size:1.2rem;width:100%;padding:8px">
<button type="submit">Open</button>
</form>
<table style="width:100%;border-collapse:collapse">
<thead><tr><th align="left">Router</th><th align="left">State</th><th align="right">Signal</th><th align="right">Asked</th></tr></thead>
<tbody>
)";
    std::vector<router_summary> sorted = routers;
    std::sort(sorted.begin(), sorted.end(),
              [](const router_summary &a, const router_summary &b) { return a.target < b.target; });
    for (const router_summary &r : sorted) {
        std::string target = html_escaped(r.target);
        std::string state = r.last.up ? (r.last.present() ? "answering" : "no figures")
                                      : std::string("not answering: ") + failure_name(r.last.why);
        std::string signal =
            r.last.up && r.last.present() ? std::to_string(r.last.value[rssi]) : "";
        char age[32];
        snprintf(age, sizeof age, "%.0f s ago", r.age_s);
        out.append("<tr><td><a href=\"/live?target=").append(target).append("\">").append(target);
        out.append("</a></td><td>").append(state).append("</td><td align=\"right\">");
        out.append(signal).append("</td><td align=\"right\">").append(age).append("</td></tr>\n");
    }
    out += "</tbody></table>\n<p><a href=\"/metrics\">The exporter's own metrics</a></p>\n"
           "</main>\n</body>\n</html>\n";
    return out;
}
