// The gateway's page: loads the status and the sensors once, then follows the event stream.
'use strict';

const sensors = new Map();   // id -> the sensor as /api/sensors gives it
let selected = null;         // id of the sensor shown in detail
let replaying = true;        // events before "ready" are the stream's backlog
const MAX_EVENTS = 100;

const $ = (id) => document.getElementById(id);

function text(value) { return value === undefined || value === null || value === '' ? '-' : String(value); }

function duration(seconds) {
  if (typeof seconds !== 'number') return '-';
  const d = Math.floor(seconds / 86400), h = Math.floor(seconds / 3600) % 24;
  const m = Math.floor(seconds / 60) % 60, s = Math.floor(seconds % 60);
  return (d ? d + 'd ' : '') + h + 'h' + String(m).padStart(2, '0') + 'm' + String(s).padStart(2, '0') + 's';
}

function clock(unixSeconds) {
  if (!unixSeconds) return 'never';
  const when = new Date(unixSeconds * 1000);
  return Date.now() - when < 86400000 ? when.toLocaleTimeString() : when.toLocaleString();
}

function element(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) {
    if (key === 'class') node.className = value; else node.setAttribute(key, value);
  }
  for (const child of children) node.append(child instanceof Node ? child : document.createTextNode(text(child)));
  return node;
}

async function getJSON(url) {
  const response = await fetch(url, { cache: 'no-store' });
  if (!response.ok) throw new Error(url + ': ' + response.status);
  return response.json();
}

function showStatus(status) {
  $('gateway-id').textContent = text(status.gateway_id);
  $('uptime').textContent = duration(status.uptime);
  const collector = status.collector || {};
  $('collector').textContent = text(collector.state);
  $('link').textContent = text(collector.link);
  const counts = status.sensors || {};
  $('sensor-count').textContent = text(counts.device_list) + '/' + text(counts.limit);
  const reports = status.reports;
  $('reports').textContent = reports ? reports.made + ' / ' + reports.failed : '-';
}

function value(channel) {
  if (channel.value === null || channel.value === undefined) return '-';
  if (channel.value === 'NaN') return 'error';
  return Number(channel.value).toFixed(2);
}

function sensorRow(sensor) {
  const alarms = (sensor.channels || []).filter((c) => c.alarm).map((c) => c.name || 'channel');
  const row = element('tr', { 'data-id': sensor.id, 'data-availability': sensor.availability },
    element('td', { class: 'address' }, sensor.short),
    element('td', { class: 'wide' }, sensor.id),
    element('td', {}, sensor.model),
    element('td', { class: 'wide' }, sensor.firmware),
    element('td', { class: 'narrow-hide' }, sensor.interval ? sensor.interval + ' s' : '-'),
    element('td', { class: 'narrow-hide' }, sensor.battery ? Number(sensor.battery).toFixed(1) + ' V' : '-'),
    element('td', { class: 'narrow-hide' }, sensor.rssi || '-'),
    element('td', {}, clock(sensor.last_seen)),
    element('td', {}, element('span', { class: 'badge availability ' + sensor.availability }, sensor.availability)),
    element('td', {}, alarms.length
      ? element('span', { class: 'badge alarm', title: alarms.join(', ') }, 'alarm: ' + alarms.join(', ')) : ''));
  if (sensor.id === selected) row.classList.add('selected');
  row.addEventListener('click', () => select(sensor.id));
  return row;
}

function showSensors() {
  const body = $('sensors').tBodies[0];
  const ordered = [...sensors.values()].sort((a, b) => (a.short || '').localeCompare(b.short || '') || a.id.localeCompare(b.id));
  body.replaceChildren(...ordered.map(sensorRow));
  $('no-sensors').hidden = sensors.size > 0;
}

function showSensor(sensor) {
  sensors.set(sensor.id, sensor);
  const old = document.querySelector('#sensors tr[data-id="' + sensor.id + '"]');
  if (old) old.replaceWith(sensorRow(sensor)); else showSensors();
  if (sensor.id === selected) showDetail();
}

// A line plot of [time ms, value] points in an SVG of 300 x 120 user units.
function plot(points) {
  const ns = 'http://www.w3.org/2000/svg';
  const svg = document.createElementNS(ns, 'svg');
  svg.setAttribute('class', 'plot');
  svg.setAttribute('viewBox', '0 0 300 120');
  svg.setAttribute('preserveAspectRatio', 'none');
  svg.setAttribute('data-points', String(points.length));
  if (points.length === 0) return svg;
  const times = points.map((p) => p[0]), values = points.map((p) => p[1]);
  const t0 = Math.min(...times), t1 = Math.max(...times);
  let v0 = Math.min(...values), v1 = Math.max(...values);
  if (v1 - v0 < 1e-9) { v0 -= 1; v1 += 1; }
  const x = (t) => 30 + (t1 > t0 ? (t - t0) / (t1 - t0) : 1) * 265;
  const y = (v) => 110 - (v - v0) / (v1 - v0) * 100;
  for (const [v, label] of [[v1, v1.toFixed(1)], [v0, v0.toFixed(1)]]) {
    const line = document.createElementNS(ns, 'line');
    line.setAttribute('x1', '30'); line.setAttribute('x2', '295');
    line.setAttribute('y1', String(y(v))); line.setAttribute('y2', String(y(v)));
    const tick = document.createElementNS(ns, 'text');
    tick.setAttribute('class', 'axis'); tick.setAttribute('x', '0'); tick.setAttribute('y', String(y(v) + 3));
    tick.textContent = label;
    svg.append(line, tick);
  }
  const line = document.createElementNS(ns, 'polyline');
  line.setAttribute('points', points.map((p) => x(p[0]).toFixed(1) + ',' + y(p[1]).toFixed(1)).join(' '));
  svg.append(line);
  return svg;
}

let detailGeneration = 0;
async function showDetail() {
  const sensor = sensors.get(selected);
  const section = $('detail');
  if (!sensor) { section.hidden = true; return; }
  section.hidden = false;
  section.setAttribute('data-id', sensor.id);
  $('detail-title').textContent = sensor.short + ' ' + sensor.id + (sensor.model ? ' (' + sensor.model + ')' : '');
  const generation = ++detailGeneration;
  const histories = await Promise.all((sensor.channels || []).map((_, i) =>
    getJSON('/api/history?id=' + encodeURIComponent(sensor.id) + '&channel=' + i).catch(() => ({ points: [] }))));
  if (generation !== detailGeneration) return;  // a newer update is being drawn
  $('channels').replaceChildren(...(sensor.channels || []).map((channel, i) =>
    element('div', { class: 'channel' + (channel.alarm ? ' in-alarm' : ''), 'data-channel': String(i) },
      element('div', {}, (channel.name || 'channel ' + i) + (channel.alarm ? ' (alarm)' : '')),
      element('div', { class: 'value' }, value(channel) + (channel.unit && typeof channel.value === 'number' ? ' ' + channel.unit : '')),
      plot(histories[i].points || []))));
}

function select(id) {
  selected = id;
  history.replaceState(null, '', '#sensor=' + id);
  for (const row of document.querySelectorAll('#sensors tr')) row.classList.toggle('selected', row.dataset.id === id);
  showDetail();
}

function describe(type, data) {
  const who = data.short ? data.short + ' (' + data.id + ')' : data.id;
  switch (type) {
    case 'availability': return 'sensor ' + who + ' is ' + data.availability;
    case 'alarm': return 'sensor ' + who + ': ' + (data.name || 'channel ' + data.channel) + ' alarm ' + data.state;
    case 'report': return data.id ? 'sensor ' + who + ': reported to the cloud'
      : 'cloud reports: ' + data.new_made + ' sent, ' + data.new_failed + ' failed (' + data.made + ' / ' + data.failed + ')';
    case 'joined': return 'sensor ' + who + ' appeared';
    case 'left': return 'sensor ' + who + ' is gone';
    default: return type;
  }
}

function logEvent(type, data) {
  const item = element('li', { 'data-type': type, 'data-live': replaying ? '0' : '1' },
    element('time', {}, clock(data.time)), describe(type, data));
  if (data.id) item.setAttribute('data-id', data.id);
  if (data.availability) item.setAttribute('data-availability', data.availability);
  const list = $('events');
  list.prepend(item);
  while (list.children.length > MAX_EVENTS) list.lastElementChild.remove();
}

function follow() {
  const stream = new EventSource('/api/events');
  stream.addEventListener('open', () => { $('live').textContent = 'live'; $('live').className = 'badge online'; });
  stream.addEventListener('error', () => {
    $('live').textContent = 'reconnecting'; $('live').className = 'badge offline'; replaying = true;
  });
  stream.addEventListener('ready', () => { replaying = false; });
  stream.addEventListener('status', (e) => showStatus(JSON.parse(e.data)));
  stream.addEventListener('sensor', (e) => showSensor(JSON.parse(e.data)));
  for (const type of ['availability', 'alarm', 'report', 'joined', 'left']) {
    stream.addEventListener(type, (e) => {
      const data = JSON.parse(e.data);
      logEvent(type, data);
      const sensor = sensors.get(data.id);
      if (type === 'availability' && sensor && !replaying) showSensor({ ...sensor, availability: data.availability });
      if (type === 'left' && !replaying) { sensors.delete(data.id); showSensors(); }
    });
  }
}

async function start() {
  $('detail-close').addEventListener('click', () => {
    selected = null; history.replaceState(null, '', '#'); $('detail').hidden = true; showSensors();
  });
  const wanted = /sensor=([0-9A-Fa-f]{16})/.exec(location.hash);
  if (wanted) selected = wanted[1].toUpperCase();
  try {
    const [status, list] = await Promise.all([getJSON('/api/status'), getJSON('/api/sensors')]);
    showStatus(status);
    for (const sensor of list.sensors) sensors.set(sensor.id, sensor);
    showSensors();
    if (selected) showDetail();
  } catch (error) {
    $('no-sensors').textContent = 'The gateway does not answer: ' + error.message;
  }
  document.body.setAttribute('data-loaded', '1');
  follow();
}

start();
