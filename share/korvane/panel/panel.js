// The front panel's page: one WebSocket for frames, status and control changes; HTTP for the
// property list, files and the I/O log. Every control shows what the instrument accepted, or its
// refusal in its own words.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const COLORS = ['#f5d90a', '#3ddc97', '#4cc3ff', '#ff6b9a', '#ffa94d', '#b197fc', '#e9ecef', '#63e6be'];
const MEASUREMENTS = ['Frequency', 'Period', 'VoltagePeakToPeak', 'Amplitude', 'VoltageRMS', 'VoltageMax',
  'VoltageMin', 'VoltageAverage', 'RiseTime', 'FallTime', 'DutyCyclePos'];
const $ = (id) => document.getElementById(id);

const state = {
  ws: null, nextId: 1, pending: new Map(), frame: null, channels: [], properties: new Map(),
  view: null,  // [start, end] seconds, null: the whole record
  cursors: [null, null], drag: null, lastFrameAt: 0, shownFrames: 0,
};

// ---- numbers -------------------------------------------------------------------------------

function si(v, unit) {
  if (v === null || v === undefined || !isFinite(v)) return 'no valid result';
  const a = Math.abs(v);
  const p = [[1e9, 'G'], [1e6, 'M'], [1e3, 'k'], [1, ''], [1e-3, 'm'], [1e-6, 'µ'], [1e-9, 'n'], [1e-12, 'p']];
  for (const [f, s] of p) if (a >= f * 0.9995) return `${(v / f).toPrecision(4).replace(/\.?0+$/, '')} ${s}${unit}`;
  return a === 0 ? `0 ${unit}` : `${v.toExponential(3)} ${unit}`;
}
function unitOf(name) {
  if (name.startsWith('Voltage') || name === 'Amplitude') return 'V';
  if (name === 'Frequency') return 'Hz';
  if (name.startsWith('DutyCycle')) return '%';
  return 's';
}

// ---- transport -----------------------------------------------------------------------------

async function http(path, options = {}) {
  const headers = Object.assign({ 'X-Korvane-Token': token }, options.headers || {});
  const r = await fetch(path, Object.assign({}, options, { headers }));
  return r;
}

function send(message) {
  return new Promise((resolve) => {
    if (!state.ws || state.ws.readyState !== WebSocket.OPEN) { resolve({ ok: false, error: 'not connected' }); return; }
    const id = state.nextId++;
    state.pending.set(id, resolve);
    state.ws.send(JSON.stringify(Object.assign({ id }, message)));
  });
}

function connect() {
  const ws = new WebSocket(`ws://${location.host}/ws?token=${encodeURIComponent(token)}`);
  ws.binaryType = 'arraybuffer';
  ws.onopen = () => { state.ws = ws; sendView(); chooseMeasurements(); };
  ws.onclose = () => { state.ws = null; $('status').textContent = 'disconnected: reconnecting…'; setTimeout(connect, 1000); };
  ws.onmessage = (ev) => {
    if (typeof ev.data !== 'string') { onFrame(ev.data); return; }
    const m = JSON.parse(ev.data);
    if (m.type === 'reply') { const r = state.pending.get(m.id); state.pending.delete(m.id); if (r) r(m.reply); }
    else if (m.type === 'status') onStatus(m);
    else if (m.type === 'measurements') onMeasurements(m);
    else if (m.type === 'error') $('status').textContent = m.error;
  };
}

function sendView() {
  if (!state.ws || state.ws.readyState !== WebSocket.OPEN) return;
  const columns = Math.max(100, Math.min(4000, Math.round($('wave').clientWidth * (window.devicePixelRatio || 1))));
  const v = state.view ? { start: state.view[0], end: state.view[1] } : {};
  state.ws.send(JSON.stringify(Object.assign({ type: 'view', columns }, v)));
}

// ---- frames --------------------------------------------------------------------------------

function onFrame(buf) {
  const dv = new DataView(buf);
  if (dv.getUint32(0, true) !== 0x3146564B) return;
  const columns = dv.getUint32(8, true), n = dv.getUint32(12, true);
  const f = {
    seq: dv.getUint32(4, true), columns, viewStart: dv.getFloat64(16, true), viewEnd: dv.getFloat64(24, true),
    recordStart: dv.getFloat64(32, true), recordEnd: dv.getFloat64(40, true), points: dv.getUint32(48, true), traces: [],
  };
  let off = 56;
  for (let k = 0; k < n; ++k) {
    const name = new TextDecoder().decode(new Uint8Array(buf, off, 16)).replace(/\0+$/, '');
    off += 16;
    const min = new Float32Array(buf, off, columns); off += 4 * columns;
    const max = new Float32Array(buf, off, columns); off += 4 * columns;
    f.traces.push({ name, min, max });
  }
  state.frame = f;
  state.shownFrames++;
  requestAnimationFrame(draw);
}

function channelColor(name) {
  const k = state.channels.indexOf(name);
  return COLORS[(k < 0 ? 0 : k) % COLORS.length];
}

// The vertical scale follows the shown traces: the full height spans their largest swing around
// zero (with a margin), whatever the instrument's volts per division.
function voltRange(f) {
  let lo = Infinity, hi = -Infinity;
  for (const t of f.traces) for (let c = 0; c < f.columns; ++c) {
    if (t.min[c] < lo) lo = t.min[c];
    if (t.max[c] > hi) hi = t.max[c];
  }
  if (!isFinite(lo)) return [-1, 1];
  const m = Math.max(Math.abs(lo), Math.abs(hi), 1e-3) * 1.15;
  return [-m, m];
}

function draw() {
  const cv = $('wave');
  const dpr = window.devicePixelRatio || 1;
  const w = Math.round(cv.clientWidth * dpr), h = Math.round(cv.clientHeight * dpr);
  if (cv.width !== w || cv.height !== h) { cv.width = w; cv.height = h; sendView(); }
  const g = cv.getContext('2d');
  g.fillStyle = '#0c1116';
  g.fillRect(0, 0, w, h);
  g.strokeStyle = '#26323d';
  g.lineWidth = 1;
  for (let k = 1; k < 10; ++k) { const x = Math.round(k * w / 10) + 0.5; g.beginPath(); g.moveTo(x, 0); g.lineTo(x, h); g.stroke(); }
  for (let k = 1; k < 8; ++k) { const y = Math.round(k * h / 8) + 0.5; g.beginPath(); g.moveTo(0, y); g.lineTo(w, y); g.stroke(); }
  const f = state.frame;
  if (!f) return;
  const [vlo, vhi] = voltRange(f);
  state.vrange = [vlo, vhi];
  const y = (v) => h - (v - vlo) / (vhi - vlo) * h;
  for (const t of f.traces) {
    g.strokeStyle = channelColor(t.name);
    g.lineWidth = Math.max(1, dpr);
    g.beginPath();
    // One vertical stroke per column from its minimum to its maximum, joined to the next column.
    let started = false;
    for (let c = 0; c < f.columns; ++c) {
      if (!isFinite(t.min[c])) { started = false; continue; }
      const x = (c + 0.5) * w / f.columns;
      if (!started) { g.moveTo(x, y(t.min[c])); started = true; } else g.lineTo(x, y(t.min[c]));
      g.lineTo(x, y(t.max[c]));
    }
    g.stroke();
  }
  g.fillStyle = '#9aa5b1';
  g.font = `${11 * dpr}px monospace`;
  const span = f.viewEnd - f.viewStart;
  g.fillText(`${si(span / 10, 's')}/div  ${si((vhi - vlo) / 8, 'V')}/div  ${f.points} points  view ${si(f.viewStart, 's')} … ${si(f.viewEnd, 's')}`, 6 * dpr, 14 * dpr);
  f.traces.forEach((t, k) => { g.fillStyle = channelColor(t.name); g.fillText(t.name, 6 * dpr + k * 90 * dpr, h - 6 * dpr); });
  state.cursors.forEach((cur, k) => {
    if (!cur) return;
    const x = (cur.t - f.viewStart) / span * w;
    g.strokeStyle = k ? '#ff6b6b' : '#74c0fc';
    g.setLineDash([4 * dpr, 4 * dpr]);
    g.beginPath(); g.moveTo(x, 0); g.lineTo(x, h); g.stroke();
    g.beginPath(); g.moveTo(0, y(cur.v)); g.lineTo(w, y(cur.v)); g.stroke();
    g.setLineDash([]);
  });
  if (state.drag && state.drag.x1 !== undefined) {
    g.fillStyle = 'rgba(116,192,252,0.15)';
    g.fillRect(Math.min(state.drag.x0, state.drag.x1) * dpr, 0, Math.abs(state.drag.x1 - state.drag.x0) * dpr, h);
  }
}

// ---- chart interaction: zoom and cursors -------------------------------------------------------

function timeAt(px) {
  const f = state.frame, cv = $('wave');
  return f.viewStart + (px / cv.clientWidth) * (f.viewEnd - f.viewStart);
}
function setView(start, end) {
  const f = state.frame;
  if (!f) return;
  const minSpan = (f.recordEnd - f.recordStart) / Math.max(f.points, 1) * 4;
  if (end - start < minSpan) { const mid = (start + end) / 2; start = mid - minSpan / 2; end = mid + minSpan / 2; }
  start = Math.max(start, f.recordStart); end = Math.min(end, f.recordEnd);
  state.view = (start <= f.recordStart && end >= f.recordEnd) ? null : [start, end];
  sendView();
}
function zoom(factor) {
  const f = state.frame;
  if (!f) return;
  const mid = (f.viewStart + f.viewEnd) / 2, half = (f.viewEnd - f.viewStart) / 2 * factor;
  setView(mid - half, mid + half);
}
function placeCursor(k, px, py) {
  const f = state.frame;
  if (!f || !state.vrange) return;
  const h = $('wave').clientHeight;
  const v = state.vrange[1] - py / h * (state.vrange[1] - state.vrange[0]);
  state.cursors[k] = { t: timeAt(px), v };
  showCursors();
  draw();
}
function showCursors() {
  const [a, b] = state.cursors;
  const part = (c, n) => c ? `${n}: ${si(c.t, 's')}, ${si(c.v, 'V')}` : `${n}: —`;
  let text = `${part(a, 'A')}   ${part(b, 'B')}`;
  if (a && b) {
    const dt = b.t - a.t;
    text += `   Δt ${si(dt, 's')}   1/Δt ${dt ? si(1 / Math.abs(dt), 'Hz') : '—'}   ΔV ${si(b.v - a.v, 'V')}`;
  }
  $('cursors').textContent = text;
}
function setupChart() {
  const cv = $('wave');
  cv.addEventListener('mousedown', (e) => { state.drag = { x0: e.offsetX, y0: e.offsetY }; });
  cv.addEventListener('mousemove', (e) => { if (state.drag) { state.drag.x1 = e.offsetX; draw(); } });
  cv.addEventListener('mouseup', (e) => {
    const d = state.drag;
    state.drag = null;
    if (!d || !state.frame) return;
    if (Math.abs(e.offsetX - d.x0) > 6) setView(timeAt(Math.min(d.x0, e.offsetX)), timeAt(Math.max(d.x0, e.offsetX)));
    else placeCursor(e.shiftKey ? 1 : 0, e.offsetX, e.offsetY);
  });
  cv.addEventListener('dblclick', () => { state.view = null; sendView(); });
  cv.addEventListener('wheel', (e) => {
    e.preventDefault();
    const f = state.frame;
    if (!f) return;
    const t = timeAt(e.offsetX), k = e.deltaY > 0 ? 1.25 : 0.8;
    setView(t - (t - f.viewStart) * k, t + (f.viewEnd - t) * k);
  }, { passive: false });
  $('zoom-in').onclick = () => zoom(0.5);
  $('zoom-out').onclick = () => zoom(2);
  $('zoom-full').onclick = () => { state.view = null; sendView(); };
  window.addEventListener('resize', () => requestAnimationFrame(draw));
}

// ---- status ----------------------------------------------------------------------------------

function onStatus(s) {
  const now = performance.now();
  const shown = state.lastFrameAt ? state.shownFrames / ((now - state.lastFrameAt) / 1000) : 0;
  state.lastFrameAt = now; state.shownFrames = 0;
  state.fps = shown;
  const modeName = s.mode === 'run' ? 'running' : s.mode === 'single' ? 'single' : 'stopped';
  $('status').textContent = `${modeName} · ${shown.toFixed(1)} frames/s shown · acquisition ${s.acquire_ms.toFixed(1)} ms · ` +
    `frame ${(s.frame_bytes / 1024).toFixed(1)} KiB, ${s.frame_cpu_ms.toFixed(2)} ms CPU` + (s.error ? ` · ${s.error}` : '');
  $('status').dataset.fps = shown.toFixed(2);
  $('status').classList.toggle('error', !!s.error);
  for (const b of document.querySelectorAll('#acq-buttons button')) b.classList.toggle('active', b.dataset.mode === s.mode);
}

// ---- controls ----------------------------------------------------------------------------------

function textOf(reply) { return reply && reply.text !== undefined ? reply.text : ''; }

// A control for one property path; its type and members come from the property list.
function control(parent, label, path) {
  const meta = state.properties.get(path);
  if (!meta) return null;
  const row = document.createElement('div');
  row.className = 'control';
  const l = document.createElement('label');
  l.textContent = label;
  let input;
  if (meta.members) {
    input = document.createElement('select');
    for (const m of meta.members) { const o = document.createElement('option'); o.value = o.textContent = m; input.appendChild(o); }
  } else if (meta.type === 'VARIANT_BOOL' || meta.type === 'bool' || meta.type === 'boolean') {
    input = document.createElement('input'); input.type = 'checkbox';
  } else {
    input = document.createElement('input'); input.type = 'text';
  }
  input.dataset.path = path;
  input.disabled = !meta.writable;
  const result = document.createElement('div');
  result.className = 'result';
  row.append(l, input, result);
  parent.appendChild(row);
  const show = (reply) => {
    const current = reply.ok ? reply : reply.current;
    if (current && current.ok) {
      if (input.type === 'checkbox') input.checked = current.value === true || current.value === 1;
      else input.value = textOf(current);
    }
    result.textContent = reply.ok ? '' : reply.error;
    result.classList.toggle('refused', !reply.ok);
  };
  input.addEventListener('change', async () => {
    const value = input.type === 'checkbox' ? input.checked : input.value;
    result.textContent = '…';
    const reply = await send({ type: 'set', path, value });
    show(reply);
    if (reply.ok) result.textContent = `accepted: ${textOf(reply)}`;
  });
  input.refresh = async () => {
    const r = await http('/api/read', { method: 'POST', body: JSON.stringify({ paths: [path] }) }).then((x) => x.json());
    if (r.ok) show(r.values[0]);
  };
  return input;
}

async function buildControls() {
  const props = await http('/api/properties').then((r) => r.json());
  for (const p of props.properties || []) state.properties.set(p.path, p);
  const chans = $('channel-controls');
  const inputs = [];
  state.channels.forEach((name) => {
    const box = document.createElement('div');
    box.className = 'channel';
    box.style.setProperty('--trace', channelColor(name));
    const title = document.createElement('b'); title.textContent = name; box.appendChild(title);
    const base = `Channels.Item(${name}).`;
    for (const [label, member] of [['Enabled', 'Enabled'], ['Scale (V/div)', 'Scale'], ['Offset (V)', 'Offset'],
      ['Coupling', 'Coupling'], ['Probe', 'ProbeAttenuation']]) inputs.push(control(box, label, base + member));
    chans.appendChild(box);
  });
  const tb = $('timebase-controls');
  inputs.push(control(tb, 'Scale (s/div)', 'Timebase.HorizontalScale'));
  inputs.push(control(tb, 'Position (s)', 'Acquisition.StartTime'));
  const tr = $('trigger-controls');
  for (const [label, path] of [['Type', 'Trigger.Type'], ['Source', 'Trigger.Source'], ['Level (V)', 'Trigger.Level'],
    ['Slope', 'Trigger.Edge.Slope'], ['Mode', 'Trigger.Modifier']])
    inputs.push(control(tr, label, path));
  const aq = $('acquisition-controls');
  for (const [label, path] of [['Record length', 'Acquisition.RecordLength'], ['Min. points', 'Acquisition.NumberOfPointsMin'],
    ['Points read', 'Waveform.PointCount'], ['Type', 'Acquisition.Type'], ['Sample rate', 'Acquisition.SampleRate']])
    inputs.push(control(aq, label, path));
  const live = inputs.filter(Boolean);
  const r = await http('/api/read', { method: 'POST', body: JSON.stringify({ paths: live.map((i) => i.dataset.path) }) })
    .then((x) => x.json());
  if (r.ok) r.values.forEach((v, k) => { if (v.ok) { const i = live[k]; if (i.type === 'checkbox') i.checked = v.value === true; else i.value = v.text; } });
  buildProperties();
}

// ---- measurements ----------------------------------------------------------------------------

function chooseMeasurements() {
  const names = [...document.querySelectorAll('#measure-names input:checked')].map((i) => i.value);
  send({ type: 'measure', channel: $('measure-channel').value || state.channels[0] || '', names });
}
function setupMeasurements() {
  const sel = $('measure-channel');
  for (const c of state.channels) { const o = document.createElement('option'); o.value = o.textContent = c; sel.appendChild(o); }
  sel.onchange = chooseMeasurements;
  const box = $('measure-names');
  for (const m of MEASUREMENTS) {
    const l = document.createElement('label');
    const i = document.createElement('input');
    i.type = 'checkbox'; i.value = m; i.checked = ['Frequency', 'VoltagePeakToPeak', 'RiseTime'].includes(m);
    i.onchange = chooseMeasurements;
    l.append(i, ' ' + m);
    box.appendChild(l);
  }
}
function onMeasurements(m) {
  const body = $('measurements').tBodies[0];
  body.textContent = '';
  for (const r of m.results) {
    const tr = body.insertRow();
    tr.insertCell().textContent = `${m.channel} ${r.name}`;
    const td = tr.insertCell();
    td.dataset.name = r.name;
    td.dataset.value = r.value === null ? '' : String(r.value);
    if (r.value === null) { td.textContent = r.error || 'no valid result'; td.className = 'invalid'; }
    else td.textContent = si(r.value, unitOf(r.name));
  }
}

// ---- property browser ------------------------------------------------------------------------

function buildProperties() {
  const body = $('prop-table').tBodies[0];
  const filter = $('prop-filter').value.toLowerCase();
  body.textContent = '';
  let n = 0;
  for (const p of state.properties.values()) {
    if (filter && !p.path.toLowerCase().includes(filter)) continue;
    if (++n > 400) break;
    const tr = body.insertRow();
    tr.insertCell().textContent = p.path;
    tr.insertCell().textContent = p.type + (p.members ? `: ${p.members.join(' | ')}` : '') + (p.writable ? '' : ' (read-only)');
    const value = tr.insertCell();
    value.dataset.path = p.path;
    const note = tr.insertCell();
    if (p.writable) {
      value.contentEditable = 'true';
      value.addEventListener('keydown', async (e) => {
        if (e.key !== 'Enter') return;
        e.preventDefault();
        const reply = await send({ type: 'set', path: p.path, value: value.textContent.trim() });
        const cur = reply.ok ? reply : reply.current;
        if (cur && cur.ok) value.textContent = cur.text;
        note.textContent = reply.ok ? 'accepted' : reply.error;
        note.className = reply.ok ? '' : 'error';
      });
    }
  }
  $('prop-count').textContent = `${state.properties.size} properties${n > 400 ? ', the first 400 shown' : ''}`;
}
async function readProperties() {
  const cells = [...document.querySelectorAll('#prop-table td[data-path]')];
  const r = await http('/api/read', { method: 'POST', body: JSON.stringify({ paths: cells.map((c) => c.dataset.path) }) })
    .then((x) => x.json());
  if (!r.ok) return;
  r.values.forEach((v, k) => {
    cells[k].textContent = v.ok ? v.text : '';
    if (!v.ok) cells[k].nextSibling.textContent = v.error;
  });
}

// ---- console, files, error queue --------------------------------------------------------------

function log(text, cls) {
  const out = $('console-out');
  const line = document.createElement('div');
  line.textContent = text;
  if (cls) line.className = cls;
  out.appendChild(line);
  out.scrollTop = out.scrollHeight;
}
let ioLogNext = 0;
async function pollIoLog() {
  if ($('iolog-on').checked) {
    const r = await http(`/api/iolog?from=${ioLogNext}`).then((x) => x.json()).catch(() => null);
    if (r && r.ok) {
      ioLogNext = r.next;
      const pre = $('iolog');
      pre.textContent = (pre.textContent + r.text).slice(-20000);
      pre.scrollTop = pre.scrollHeight;
    }
  }
  setTimeout(pollIoLog, 1000);
}
function download(blob, name) {
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = name;
  a.click();
  setTimeout(() => URL.revokeObjectURL(a.href), 1000);
}
function setupTools() {
  $('scpi-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const command = $('scpi').value.trim();
    if (!command) return;
    log(`> ${command}`);
    const r = await send({ type: 'scpi', command });
    if (r.ok) log(r.reply === null ? '(accepted)' : r.reply, 'reply');
    else log(r.error, 'error');
  });
  for (const b of document.querySelectorAll('#acq-buttons button')) b.onclick = () => send({ type: 'mode', mode: b.dataset.mode });
  $('csv').onclick = async () => {
    const f = state.frame;
    const q = f ? `?start=${f.viewStart}&end=${f.viewEnd}` : '';
    const r = await http(`/api/csv${q}`);
    if (r.ok) download(await r.blob(), 'korvane-waveforms.csv');
    else $('export-result').textContent = (await r.json()).error;
  };
  $('png').onclick = () => $('wave').toBlob((b) => download(b, 'korvane-waveforms.png'));
  $('save').onclick = async () => {
    const r = await http('/api/settings', { method: 'POST' });
    const blob = await r.blob();
    if (r.headers.get('Content-Disposition')) download(blob, 'korvane-settings.json');
    else $('export-result').textContent = JSON.parse(await blob.text()).error;
  };
  $('load').onchange = async (e) => {
    const file = e.target.files[0];
    if (!file) return;
    const r = await http('/api/load', { method: 'POST', body: await file.text() }).then((x) => x.json());
    $('export-result').textContent = r.ok ? `${r.applied} settings applied` :
      `${r.error}${r.problems ? ': ' + r.problems.join('; ') : ''}`;
    for (const i of document.querySelectorAll('#controls [data-path]')) if (i.refresh) i.refresh();
  };
  $('errors').onclick = async () => {
    const r = await send({ type: 'errors' });
    $('export-result').textContent = r.ok ? (r.errors.length ? r.errors.join('; ') : 'the error queue is empty') : r.error;
  };
  for (const b of document.querySelectorAll('#tabs button')) b.onclick = () => {
    for (const o of document.querySelectorAll('#tabs button')) o.classList.toggle('active', o === b);
    for (const t of document.querySelectorAll('.tab')) t.classList.toggle('hidden', t.id !== b.dataset.tab);
  };
  $('prop-filter').oninput = buildProperties;
  $('prop-refresh').onclick = readProperties;
}

async function main() {
  const s = await http('/api/state').then((r) => r.json());
  $('model').textContent = s.model;
  state.channels = s.channels;
  setupChart();
  setupTools();
  setupMeasurements();
  connect();
  await buildControls();
  pollIoLog();
  document.body.dataset.ready = 'true';
}
main();
