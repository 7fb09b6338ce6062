// The fleet page: one card per robot from quillon-fleet's events; drives the chosen robot through the
// broker with W A S D (repeated while held, so the robot's deadman stops it if the page goes quiet).
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const cards = new Map();          // robot name -> {element, state, since, console}
const held = new Set();           // held direction letters
let socket = null;
let driving = null;               // the robot this page drives
let repeat = null;
window.fleetDelays = [];          // seconds from a robot's telemetry to its card, for the benchmark

function card(name) {
  let entry = cards.get(name);
  if (entry) return entry;
  const element = document.getElementById('card-template').content.firstElementChild.cloneNode(true);
  element.dataset.robot = name;
  element.querySelector('.name').textContent = name;
  element.querySelector('.drive').addEventListener('click', () => choose(driving === name ? null : name));
  element.querySelector('.stop').addEventListener('click', () => send({robot: name, stop: true}));
  entry = {element, state: 'unknown', since: Date.now(), console: null};
  cards.set(name, entry);
  const sorted = [...cards.keys()].sort();
  const next = cards.get(sorted[sorted.indexOf(name) + 1]);
  document.getElementById('cards').insertBefore(element, next ? next.element : null);
  document.getElementById('count').textContent = cards.size + (cards.size === 1 ? ' robot' : ' robots');
  return entry;
}

function field(entry, selector, text) {
  const element = entry.element.querySelector(selector);
  if (element.textContent !== text) element.textContent = text;
}

function rate(value) {
  return value === null || value === undefined ? '\u2013' : Number(value).toFixed(1) + '/s';
}

function showStatus(entry, data) {
  const state = data.state === 'online' ? 'online' : 'offline';
  if (state !== entry.state)
    entry.since = state === 'online' && data.started ? data.started * 1000 : Date.now();
  entry.state = state;
  entry.element.dataset.state = state;
  field(entry, '.state', state);
  if (state === 'online' && consoleAddress(data.console) && data.console !== entry.console) {
    entry.console = data.console;
    probeConsole(entry);
  } else if (state !== 'online') {
    entry.element.querySelector('.console').setAttribute('aria-disabled', 'true');
  }
}

// Only a web address becomes a link: quillon-fleet passes no other, and the page takes none either.
function consoleAddress(text) {
  return typeof text === 'string' && /^https?:\/\//i.test(text);
}

// The console link is live only when the robot's console answers from this browser.
function probeConsole(entry) {
  const link = entry.element.querySelector('.console');
  link.href = entry.console;
  const abort = new AbortController();
  setTimeout(() => abort.abort(), 3000);
  fetch(entry.console, {mode: 'no-cors', signal: abort.signal})
    .then(() => link.setAttribute('aria-disabled', entry.state === 'online' ? 'false' : 'true'))
    .catch(() => link.setAttribute('aria-disabled', 'true'));
}

// Telemetry comes far more often than a screen can show it: the newest per card is drawn once a frame.
const waiting = new Map();   // entry -> newest telemetry not yet drawn

function drawTelemetry() {
  waiting.forEach((data, entry) => {
    field(entry, '.serial-rate', rate(data.serial_rate));
    field(entry, '.camera-rate', rate(data.camera_rate));
    field(entry, '.driver', data.driver || 'none');
  });
  waiting.clear();
}

function showTelemetry(entry, data) {
  if (!waiting.size) requestAnimationFrame(drawTelemetry);
  waiting.set(entry, data);
  if (typeof data.time === 'number') {
    window.fleetDelays.push(Date.now() / 1000 - data.time);
    if (window.fleetDelays.length > 200000) window.fleetDelays.splice(0, 100000);
  }
}

function take(event) {
  const entry = card(event.robot);
  entry.element.dataset.updated = Date.now();
  if (event.topic === 'status') showStatus(entry, event.data);
  else if (event.topic === 'telemetry') showTelemetry(entry, event.data);
  else if (event.topic === 'messages') field(entry, '.message', event.data);
  else if (event.topic === 'picture')
    entry.element.querySelector('.picture').src =
      '/picture?robot=' + encodeURIComponent(event.robot) + '&n=' + event.data + '&token=' + encodeURIComponent(token);
}

function send(message) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
}

function sendKeys() {
  if (driving) send({robot: driving, keys: [...held].join('')});
}

function choose(name) {
  if (driving) {
    held.clear();
    sendKeys();
    cards.get(driving).element.classList.remove('driving');
  }
  driving = name;
  if (driving) cards.get(driving).element.classList.add('driving');
}

function keyDown(event) {
  const key = event.key.toLowerCase();
  if (key === ' ' && driving) {
    send({robot: driving, stop: true});
    event.preventDefault();
  }
  if (!'wasd'.includes(key) || key.length !== 1 || !driving) return;
  event.preventDefault();
  if (held.has(key)) return;
  held.add(key);
  sendKeys();
  if (!repeat) repeat = setInterval(() => held.size ? sendKeys() : null, 50);
}

function keyUp(event) {
  const key = event.key.toLowerCase();
  if (!held.delete(key)) return;
  sendKeys();
  if (!held.size) {
    clearInterval(repeat);
    repeat = null;
  }
}

function connect() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  socket = new WebSocket(scheme + '//' + location.host + '/ws?token=' + encodeURIComponent(token));
  const connection = document.getElementById('connection');
  socket.onopen = () => { connection.dataset.state = 'open'; connection.textContent = 'connected'; };
  socket.onclose = () => {
    connection.dataset.state = 'closed';
    connection.textContent = 'reconnecting';
    setTimeout(connect, 1000);
  };
  socket.onmessage = (message) => JSON.parse(message.data).forEach(take);
}

function age(milliseconds) {
  const seconds = Math.max(0, Math.round(milliseconds / 1000));
  if (seconds < 120) return seconds + ' s';
  if (seconds < 7200) return Math.round(seconds / 60) + ' min';
  return Math.round(seconds / 3600) + ' h';
}

setInterval(() => cards.forEach((entry) => field(entry, '.since', age(Date.now() - entry.since))), 1000);
window.addEventListener('keydown', keyDown);
window.addEventListener('keyup', keyUp);
window.addEventListener('blur', () => { held.clear(); sendKeys(); });
connect();
