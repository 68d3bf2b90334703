// The live page of one router: asks once a second (the next ask a second after the last
// began, never two at once), keeps five minutes of readings for the chart, and holds the
// highest figure of each meter since the page opened or its peaks were reset. Figures older
// than a few seconds are never shown as current, and a tone whose pitch follows the signal
// can be switched on.
'use strict';
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
