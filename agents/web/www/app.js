// The gateway's page: loads the whole state, follows the event stream, and loads the whole state
// again after every (re)connection, so nothing old is ever shown as live.
'use strict';

const sensors = new Map();   // id -> the sensor as /api/sensors gives it
let status = {};
let confirmed = true;         // availability is the daemon's word, not guessed from the readings
let selected = null;         // id of the sensor shown in detail
let replaying = true;        // events before "ready" are the stream's backlog
let sortKey = 'short', sortUp = true;
let retryMs = 2000, backoffMs = 2000, stream = null;
const MAX_EVENTS = 100, MAX_BACKOFF_MS = 30000;

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

// "12 s ago", "5 min ago", ...
function age(unixSeconds) {
  if (!unixSeconds) return 'never';
  const s = Math.max(0, Math.round(Date.now() / 1000 - unixSeconds));
  if (s < 90) return s + ' s ago';
  if (s < 5400) return Math.round(s / 60) + ' min ago';
  if (s < 172800) return Math.round(s / 3600) + ' h ago';
  return Math.round(s / 86400) + ' d ago';
}

// A value older than two intervals is not current.
function stale(sensor, unixSeconds) {
  return !unixSeconds || Date.now() / 1000 - unixSeconds > 2 * Math.max(sensor.interval || 60, 10) + 5;
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

function showStatus(next) {
  status = next;
  $('gateway-id').textContent = text(status.gateway_id);
  $('uptime').textContent = duration(status.uptime);
  const collector = status.collector || {};
  $('collector').textContent = text(collector.state);
  $('link').textContent = text(collector.link);
  const counts = status.sensors || {};
  $('sensor-count').textContent = text(counts.device_list) + '/' + text(counts.limit);
  const reports = status.reports;
  $('reports').textContent = reports ? reports.made + ' / ' + reports.failed : '-';
  const web = status.web || {};
  if (web.retry_ms) retryMs = web.retry_ms;
  // Said plainly when the daemon's own view is missing: what is shown then is read from what it
  // left, and whether a sensor is online is the page's guess from when its readings last came.
  const faults = [];
  if (web.source === 'fallback')
    faults.push(web.bus === 'gone' ? 'The bus is not answering: the daemon cannot be asked, values may be old.'
      : 'The daemon is not answering: its collector\'s state is unknown, values may be old.');
  if (web.units_map === 'missing')
    faults.push('The units map (/etc/TavikUnitsMapv2.json) and its factory copy are missing: channels have no names.');
  else if (web.units_map === 'unreadable')
    faults.push('The units map (/etc/TavikUnitsMapv2.json) cannot be used: channels have no names.');
  $('daemon').textContent = web.source === 'daemon' ? 'running' : web.bus === 'gone' ? 'bus not answering' : 'not answering';
  $('daemon').className = web.source === 'daemon' ? '' : 'fault';
  $('fault').textContent = faults.join(' ');
  $('fault').hidden = faults.length === 0;
  setLive(stream && stream.readyState === EventSource.OPEN && !replaying);
  if (confirmed !== (web.source === 'daemon')) {
    confirmed = web.source === 'daemon';
    showSensors();
  }
}

function setLive(open, why) {
  const faulty = (status.web || {}).source === 'fallback';
  const badge = $('live');
  badge.textContent = open ? (faulty ? 'live, daemon not answering' : 'live') : (why || 'reconnecting');
  badge.className = 'badge ' + (open && !faulty ? 'online' : 'offline');
}

function channelValue(channel) {
  if (channel.error || channel.value === 'NaN') return 'error';
  if (channel.value === null || channel.value === undefined) return '-';
  return Number(channel.value).toFixed(2) + (channel.unit ? ' ' + channel.unit : '');
}

function valuesText(sensor) {
  return (sensor.channels || []).map(channelValue).join(' · ');
}

function sortValue(sensor, key) {
  switch (key) {
    case 'values': return valuesText(sensor);
    case 'alarm': return sensor.alarm ? 0 : 1;
    case 'battery': case 'rssi': case 'last_seen': return Number(sensor[key]) || 0;
    default: return String(sensor[key] || '').toLowerCase();
  }
}

function sensorRow(sensor) {
  const alarms = (sensor.channels || []).filter((c) => c.alarm).map((c) => c.name || 'channel');
  const newest = Math.max(0, ...(sensor.channels || []).map((c) => c.time || 0));
  const old = stale(sensor, newest);
  const row = element('tr', { 'data-id': sensor.id, 'data-availability': sensor.availability },
    element('td', { class: 'address' }, sensor.short),
    element('td', { class: 'name' }, sensor.name),
    element('td', { class: 'wide' }, sensor.id),
    element('td', { class: 'wide' }, sensor.model),
    element('td', { class: 'values' + (old ? ' stale' : ''), title: newest ? 'measured ' + age(newest) : '' },
      valuesText(sensor) || '-', newest ? element('small', {}, ' ' + age(newest)) : ''),
    element('td', { class: 'narrow-hide' + (sensor.low_battery ? ' mark' : '') },
      sensor.battery ? Number(sensor.battery).toFixed(2) + ' V' + (sensor.low_battery ? ' low' : '') : '-'),
    element('td', { class: 'narrow-hide' + (sensor.weak_signal ? ' mark' : '') },
      sensor.rssi ? sensor.rssi + ' dBm' + (sensor.weak_signal ? ' weak' : '') : '-'),
    element('td', { class: 'narrow-hide', title: clock(sensor.last_seen) }, age(sensor.last_seen)),
    element('td', {}, confirmed
      ? element('span', { class: 'badge availability ' + sensor.availability }, sensor.availability)
      : element('span', { class: 'badge availability unconfirmed ' + sensor.availability,
        title: 'the daemon is not answering: judged from when its readings last came' }, sensor.availability + '?')),
    element('td', {}, alarms.length
      ? element('span', { class: 'badge alarm', title: alarms.join(', ') }, 'alarm: ' + alarms.join(', ')) : ''));
  if (sensor.low_battery) row.classList.add('low-battery');
  if (sensor.weak_signal) row.classList.add('weak-signal');
  if (sensor.id === selected) row.classList.add('selected');
  row.addEventListener('click', () => { location.hash = '#/sensor/' + sensor.id; });
  return row;
}

function showSensors() {
  const body = $('sensors').tBodies[0];
  const filter = $('filter').value.trim().toLowerCase();
  const shown = [...sensors.values()].filter((s) => !filter ||
    [s.id, s.short, s.name, s.model].some((field) => String(field || '').toLowerCase().includes(filter)));
  shown.sort((a, b) => {
    const x = sortValue(a, sortKey), y = sortValue(b, sortKey);
    return (x < y ? -1 : x > y ? 1 : a.id.localeCompare(b.id)) * (sortUp ? 1 : -1);
  });
  body.replaceChildren(...shown.map(sensorRow));
  for (const th of document.querySelectorAll('#sensors th[data-sort]'))
    th.setAttribute('aria-sort', th.dataset.sort === sortKey ? (sortUp ? 'ascending' : 'descending') : 'none');
  $('no-sensors').hidden = sensors.size > 0;
  $('no-sensors').textContent = 'No sensor yet.';
}

function showSensor(sensor) {
  sensors.set(sensor.id, sensor);
  const old = document.querySelector('#sensors tr[data-id="' + sensor.id + '"]');
  if (old && !$('filter').value) old.replaceWith(sensorRow(sensor)); else showSensors();
  if (sensor.id === selected) showDetail(false);
}

const SVG = 'http://www.w3.org/2000/svg';
function svg(tag, attributes, content) {
  const node = document.createElementNS(SVG, tag);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, String(value));
  if (content !== undefined) node.textContent = content;
  return node;
}

// A plot of [time ms, value] points in an SVG of 300 x 140 user units: a value axis, a time axis
// with three times, and the line broken where readings are missing (more than three intervals).
function plot(points, intervalSeconds) {
  const node = svg('svg', { class: 'plot', viewBox: '0 0 300 140', preserveAspectRatio: 'none', 'data-points': points.length });
  if (points.length === 0) return node;
  const times = points.map((p) => p[0]), values = points.map((p) => p[1]);
  const t0 = Math.min(...times), t1 = Math.max(...times);
  let v0 = Math.min(...values), v1 = Math.max(...values);
  if (v1 - v0 < 1e-9) { v0 -= 1; v1 += 1; }
  const x = (t) => 34 + (t1 > t0 ? (t - t0) / (t1 - t0) : 1) * 262;
  const y = (v) => 110 - (v - v0) / (v1 - v0) * 100;
  for (const v of [v1, v0]) {
    node.append(svg('line', { x1: 34, x2: 296, y1: y(v), y2: y(v) }), svg('text', { class: 'axis', x: 0, y: y(v) + 3 }, v.toFixed(1)));
  }
  const span = t1 - t0;
  const ticks = span > 0 ? [[t0, 'start'], [t0 + span / 2, 'middle'], [t1, 'end']] : [[t1, 'end']];
  for (const [t, anchor] of ticks) {
    const when = new Date(t);
    const label = span > 86400000 ? when.toLocaleDateString() : when.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
    node.append(svg('text', { class: 'axis time', x: x(t), y: 132, 'text-anchor': anchor }, label));
  }
  const gap = Math.max(3 * (intervalSeconds || 60) * 1000, 30000);
  let segment = [], gaps = 0;
  const flush = () => {
    if (segment.length) node.append(svg('polyline', { points: segment.join(' ') }));
    segment = [];
  };
  points.forEach((p, i) => {
    if (i > 0 && p[0] - points[i - 1][0] > gap) { flush(); gaps++; }
    segment.push(x(p[0]).toFixed(1) + ',' + y(p[1]).toFixed(1));
  });
  flush();
  node.setAttribute('data-gaps', String(gaps));
  return node;
}

let detailGeneration = 0;
async function showDetail(scroll) {
  const sensor = sensors.get(selected);
  const section = $('detail');
  for (const row of document.querySelectorAll('#sensors tbody tr')) row.classList.toggle('selected', row.dataset.id === selected);
  if (!sensor) { section.hidden = true; section.removeAttribute('data-id'); return; }
  section.hidden = false;
  section.setAttribute('data-id', sensor.id);
  $('detail-title').textContent = sensor.short + ' ' + (sensor.name ? sensor.name + ' ' : '') + sensor.id;
  $('detail-facts').textContent = [sensor.model, sensor.firmware && 'firmware ' + sensor.firmware,
    sensor.interval && 'every ' + sensor.interval + ' s', 'last seen ' + age(sensor.last_seen)].filter(Boolean).join(', ');
  if (document.activeElement !== $('interval')) $('interval').value = sensor.interval || '';
  if (scroll) section.scrollIntoView({ block: 'start' });
  const generation = ++detailGeneration;
  const histories = await Promise.all((sensor.channels || []).map((_, i) =>
    getJSON('/api/history?id=' + encodeURIComponent(sensor.id) + '&channel=' + i).catch(() => ({ points: [] }))));
  if (generation !== detailGeneration) return;  // a newer update is being drawn
  $('channels').replaceChildren(...(sensor.channels || []).map((channel, i) => {
    const points = histories[i].points || [];
    const window = points.length ? 'kept: ' + points.length + ' points from ' + clock(points[0][0] / 1000) + ' to ' +
      clock(points[points.length - 1][0] / 1000) + ' (the last 24 h, at most 2000)' : 'no points kept yet';
    return element('div', { class: 'channel' + (channel.alarm ? ' in-alarm' : ''), 'data-channel': String(i) },
      element('div', {}, (channel.name || 'channel ' + i) + (channel.alarm ? ' (alarm)' : '')),
      element('div', { class: 'value' + (stale(sensor, channel.time) ? ' stale' : '') }, channelValue(channel)),
      element('div', { class: 'note' }, (channel.logged ? 'logged, measured ' : 'measured ') + age(channel.time)),
      plot(points, sensor.interval),
      element('div', { class: 'note window' }, window));
  }));
}

function route() {
  const wanted = /sensor[=/]([0-9A-Fa-f]{16})/.exec(location.hash);
  selected = wanted ? wanted[1].toUpperCase() : null;
  showDetail(true);
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
    case 'command': return 'command ' + data.kind + (data.id ? ' for ' + data.id : '') + ': ' + data.state + ', ' + data.result;
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

// The whole state, fetched again: sensors that left while the page was away are dropped.
async function loadAll() {
  const [next, list] = await Promise.all([getJSON('/api/status'), getJSON('/api/sensors')]);
  sensors.clear();
  for (const sensor of list.sensors) sensors.set(sensor.id, sensor);
  showStatus(next);
  showSensors();
  showDetail(false);
}

function follow() {
  if (stream) stream.close();
  replaying = true;
  stream = new EventSource('/api/events');
  stream.addEventListener('open', () => setLive(false, 'loading'));
  stream.addEventListener('error', () => {
    replaying = true;
    if (stream.readyState === EventSource.CLOSED) {
      // Refused (all streams taken) or ended for good: try again later, waiting longer each time.
      setLive(false, 'waiting for a free stream');
      setTimeout(follow, backoffMs);
      backoffMs = Math.min(backoffMs * 2, MAX_BACKOFF_MS);
    } else {
      setLive(false, 'reconnecting');
    }
  });
  stream.addEventListener('ready', async () => {
    try {
      await loadAll();
      replaying = false;
      backoffMs = retryMs;
      setLive(true);
    } catch (error) {
      setLive(false, 'reconnecting');
    }
  });
  stream.addEventListener('status', (e) => { if (!replaying) showStatus(JSON.parse(e.data)); });
  stream.addEventListener('sensor', (e) => { if (!replaying) showSensor(JSON.parse(e.data)); });
  for (const type of ['availability', 'alarm', 'report', 'joined', 'left', 'command']) {
    stream.addEventListener(type, (e) => {
      const data = JSON.parse(e.data);
      logEvent(type, data);
      if (replaying) return;
      const sensor = sensors.get(data.id);
      if (type === 'availability' && sensor) showSensor({ ...sensor, availability: data.availability });
      if (type === 'left') { sensors.delete(data.id); showSensors(); if (data.id === selected) showDetail(false); }
      if (type === 'command') showCommandResult(data.state + ': ' + data.result, data.state);
    });
  }
}

function showCommandResult(message, state) {
  const note = $('command-result');
  note.textContent = message;
  note.dataset.state = state;
  note.hidden = false;
}

async function sendCommand(command) {
  try {
    const response = await fetch('/api/command', {
      method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(command) });
    const answer = await response.json();
    showCommandResult(response.ok ? 'sent, waiting for the daemon' : 'refused: ' + answer.error, response.ok ? 'queued' : 'refused');
  } catch (error) {
    showCommandResult('not sent: ' + error.message, 'refused');
  }
}

async function start() {
  $('detail-close').addEventListener('click', () => { location.hash = ''; });
  $('filter').addEventListener('input', showSensors);
  for (const th of document.querySelectorAll('#sensors th[data-sort]')) {
    th.addEventListener('click', () => {
      sortUp = th.dataset.sort === sortKey ? !sortUp : true;
      sortKey = th.dataset.sort;
      showSensors();
    });
  }
  $('interval-form').addEventListener('submit', (e) => {
    e.preventDefault();
    sendCommand({ command: 'set_interval', id: selected, interval: Number($('interval').value) });
  });
  $('remove').addEventListener('click', () => {
    if (confirm('Remove sensor ' + selected + '? It is removed at its next frame.')) sendCommand({ command: 'remove', id: selected });
  });
  $('join-open').addEventListener('click', () => sendCommand({ command: 'permit_join', enable: true }));
  $('join-close').addEventListener('click', () => sendCommand({ command: 'permit_join', enable: false }));
  window.addEventListener('hashchange', route);
  const wanted = /sensor[=/]([0-9A-Fa-f]{16})/.exec(location.hash);
  if (wanted) selected = wanted[1].toUpperCase();
  try {
    await loadAll();
  } catch (error) {
    $('no-sensors').textContent = 'The gateway does not answer: ' + error.message;
  }
  document.body.setAttribute('data-loaded', '1');
  // Ages move on while nothing new arrives.
  setInterval(() => { if (!replaying) showSensors(); }, 5000);
  follow();
}

start();
