// The web page of the DNC server: a client of the JSON API and its event stream.
'use strict';

const $ = (sel) => document.querySelector(sel);
const machines = new Map();
let known = false;    // a list of machines came (so an empty one means there are none)
let session = null;
let events = null;
let poller = null;    // asks for the machines while the stream is down
let current = null;   // the id of the machine whose page is open
let logEntries = [];
const files = { programs: [], received: [], removed: [] };
// Names as a person sorts them: "9.CNC" before "10.CNC".
const collator = new Intl.Collator('de', { numeric: true, sensitivity: 'base' });

const STATE_CLASS = { 'aus': 'aus', 'getrennt': 'getrennt', 'verloren': 'verloren', 'bereit': 'bereit',
  'empfängt': 'empfaengt', 'sendet': 'sendet', 'wartet': 'wartet', 'unbekannt': 'unbekannt' };
// What a state means, under its word (getrennt and verloren say why from the server).
const STATE_NOTE = { 'aus': 'kein Server antwortet', 'getrennt': 'Schnittstelle nicht geöffnet',
  'verloren': 'Gerät verloren', 'wartet': 'die Maschine nimmt nichts an' };
const BUSY = new Set(['sendet', 'wartet', 'empfängt']);

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === null || v === undefined || v === false) continue;
    if (k === 'class') e.className = v; else e.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c);
  return e;
}

function button(text, action, cls) {
  const b = el('button', { type: 'button', class: cls });
  b.textContent = text;
  b.addEventListener('click', action);
  return b;
}

async function api(path, options = {}) {
  const response = await fetch(path, { credentials: 'same-origin', ...options });
  if (response.status === 401 && path !== '/api/login') { showLogin(); throw new Error('Bitte anmelden.'); }
  return response;
}

async function errorText(response) {
  try { const j = await response.json(); if (j.error) return j.error; } catch (e) { /* not JSON */ }
  return response.status + ' ' + response.statusText;
}

function duration(s) {
  if (s >= 3600) return Math.floor(s / 3600) + ' h ' + Math.floor(s / 60) % 60 + ' min';
  if (s >= 60) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
  return s + ' s';
}

function when(iso) {
  if (!iso) return '';
  const d = new Date(iso);
  if (isNaN(d)) return iso;
  return d.toLocaleString('de-DE', { dateStyle: 'short', timeStyle: 'medium' });
}

function size(n) {
  if (n >= 1048576) return (n / 1048576).toFixed(1).replace('.', ',') + ' MB';
  if (n >= 1024) return (n / 1024).toFixed(1).replace('.', ',') + ' kB';
  return n + ' B';
}

function canOperate() { return session && session.role === 'bedienen'; }
// A machine's id is "site/machine" with a broker: one path segment, its "/" as %2F.
function idOf(m) { return m.id || m.name; }
function machineUrl(id) { return '/api/machines/' + encodeURIComponent(id); }
// What a state means beyond its word.
function stateNote(m) {
  if (m.state === 'unbekannt') return m.reason + ' – ' + (m.seen ? 'zuletzt gesehen ' + when(m.seen) : 'noch nie gesehen');
  return (m.state === 'getrennt' || m.state === 'verloren') && m.reason ? m.reason : STATE_NOTE[m.state];
}
function fileUrl(kind, name) { return machineUrl(current) + '/' + kind + '/' + encodeURIComponent(name); }

async function text(url) {
  const response = await api(url);
  if (!response.ok) throw new Error(await errorText(response));
  return new TextDecoder('windows-1252').decode(await response.arrayBuffer());
}

function lines(t) { return t.replace(/\r\n?/g, '\n').replace(/\n$/, '').split('\n'); }

// Asks in a dialog; true when the action was chosen.
function confirmAction(question, action) {
  const dialog = $('#confirm');
  $('#confirm-text').textContent = question;
  $('#confirm-yes').textContent = action;
  dialog.returnValue = '';
  dialog.showModal();
  $('#confirm-no').focus();
  return new Promise((resolve) => dialog.addEventListener('close', () => resolve(dialog.returnValue === 'yes'), { once: true }));
}

// ---- views --------------------------------------------------------------------------------

function show(id) {
  for (const s of ['login', 'overview', 'machine']) $('#' + s).hidden = s !== id;
}

function showLogin() {
  session = null;
  if (events) { events.close(); events = null; }
  stopPolling();
  $('#connection').hidden = true;
  $('#who').hidden = true;
  $('#logout').hidden = true;
  show('login');
  $('#login-user').focus();
}

function lastText(last) {
  const result = last.result ? ', ' + last.result : '';
  return 'Zuletzt: ' + last.program + ' ' + last.direction + result + ' – ' + when(last.time);
}

function fillTile(tile, m) {
  tile.className = tile.className.replace(/\bs-\S+/g, '').trim() + ' s-' + (STATE_CLASS[m.state] || 'aus');
  tile.replaceChildren();
  if (m.site) tile.append(el('div', { class: 'site' }, m.site));
  tile.append(el('div', { class: 'row' }, el('span', { class: 'name' }, m.name),
    el('span', { class: 'state' }, m.state)));
  const note = stateNote(m);
  if (note) tile.append(el('div', { class: 'reason' }, note));
  const meta = [m.port, m.device].filter(Boolean).join(' · ');
  tile.append(el('div', { class: 'meta' }, meta || '\u00a0'));
  const send = el('div', { class: 'send' });
  if (m.lines !== null && m.lines !== undefined) {
    send.append(el('div', {}, 'Programm ' + m.program + ': Zeile ' + m.line + ' von ' + m.lines));
    send.append(el('progress', { max: 100, value: m.percent, 'aria-label': 'Fortschritt' }));
    let rest = m.percent + ' %, noch ' + duration(m.remainingSeconds);
    if (m.stallSeconds > 0) rest += ' – wartet seit ' + duration(m.stallSeconds);
    send.append(el('div', { class: 'meta' }, rest));
  }
  tile.append(send);
  // While a transfer runs the tile shows it; the last one would read as if it were this one.
  if (!BUSY.has(m.state)) {
    const last = m.lastTransfer;
    tile.append(el('div', { class: 'last' }, last ? lastText(last) : 'Noch keine Übertragung'));
  }
}

function renderTiles() {
  const tiles = $('#tiles');
  // By site, then by name.
  const ids = [...machines.keys()].sort(collator.compare);
  // Only a list that came says there is none; a stream that failed says nothing about it.
  $('#no-machines').hidden = !known || ids.length > 0;
  const existing = new Map([...tiles.children].map((t) => [t.dataset.id, t]));
  tiles.replaceChildren(...ids.map((id) => {
    const tile = existing.get(id) || el('a', { class: 'tile', href: '#/m/' + encodeURIComponent(id) });
    const m = machines.get(id);
    tile.dataset.id = id;
    tile.dataset.name = m.name;
    fillTile(tile, m);
    return tile;
  }));
}

function renderMachineTile() {
  if (!current || !machines.has(current)) return;
  const m = machines.get(current);
  $('#m-name').textContent = m.name;
  fillTile($('#m-tile'), m);
  $('#m-abort').hidden = !(canOperate() && (m.state === 'sendet' || m.state === 'wartet'));
}

function setMachines(list) {
  machines.clear();
  for (const m of list) machines.set(idOf(m), m);
  known = true;
  $('#connection-time').textContent = 'Stand ' + new Date().toLocaleTimeString('de-DE');
  renderTiles();
  renderMachineTile();
}

function updateMachine(m) {
  machines.set(idOf(m), m);
  renderTiles();
  if (idOf(m) === current) renderMachineTile();
}

// ---- the machine page ---------------------------------------------------------------------

function message(text) { $('#files-msg').textContent = text; }

function fileRow(kind, f) {
  const url = fileUrl(kind, f.name);
  const actions = el('td', { class: 'actions' },
    button('Ansehen', () => viewFile(f.name, url)),
    el('a', { href: url, download: f.name }, 'Herunterladen'));
  if (kind === 'programs') {
    actions.append(button('Fassungen', () => openVersions(f.name)));
    if (canOperate()) actions.append(button('Löschen', () => removeProgram(f.name), 'danger'));
  } else if (canOperate()) {
    actions.append(button('Übernehmen', () => acceptProgram(f.name)));
  }
  return el('tr', {}, el('td', {}, f.name), el('td', {}, size(f.size)), el('td', {}, when(f.time)), actions);
}

function renderFiles(kind) {
  const body = $('#' + kind + ' tbody');
  const wanted = $('#search').value.trim().toLowerCase();
  const shown = files[kind].filter((f) => !wanted || f.name.toLowerCase().includes(wanted));
  if (kind === 'received') {
    shown.sort((a, b) => (a.time < b.time ? 1 : a.time > b.time ? -1 : 0));
  } else {
    shown.sort((a, b) => collator.compare(a.name, b.name));
  }
  if (kind === 'removed') {
    $('#removed-box').hidden = !files.removed.length;
    body.replaceChildren(...shown.map((f) => el('tr', {}, el('td', {}, f.name), el('td', {}, when(f.time)),
      el('td', { class: 'actions' }, button('Fassungen', () => openVersions(f.name))))));
    return;
  }
  body.replaceChildren(...shown.map((f) => fileRow(kind, f)));
  if (!shown.length) {
    body.append(el('tr', {}, el('td', { colspan: 4, class: 'note' },
      files[kind].length ? 'Kein Programm passt zur Suche.' : 'Keine Programme.')));
  }
}

async function loadFiles(kind) {
  const path = kind === 'removed' ? '/deleted' : '/' + kind;
  const response = await api(machineUrl(current) + path);
  if (!response.ok) {
    files[kind] = [];
    $('#' + kind + ' tbody').replaceChildren(el('tr', {}, el('td', { colspan: 4 }, await errorText(response))));
    return;
  }
  files[kind] = await response.json();
  renderFiles(kind);
}

function renderLog() {
  const filter = $('#log-filter').value.trim();
  const shown = logEntries.filter((e) => !filter || e.entry.includes(filter)).slice().reverse();
  $('#log').replaceChildren(...shown.map((e) =>
    el('li', {}, el('time', { datetime: e.time || '' }, when(e.time)), e.entry)));
  if (!shown.length) $('#log').append(el('li', { class: 'note' }, 'Keine Einträge.'));
}

async function loadLog() {
  const response = await api(machineUrl(current) + '/log?limit=500');
  logEntries = response.ok ? await response.json() : [];
  renderLog();
}

async function openMachine(id) {
  current = id;
  show('machine');
  $('#m-name').textContent = id;
  $('#m-abort-msg').textContent = '';
  message('');
  renderMachineTile();
  await Promise.all([loadFiles('programs'), loadFiles('removed'), loadFiles('received'), loadLog()]);
}

async function upload(list) {
  for (const file of list) {
    message(file.name + ' wird hochgeladen …');
    const response = await api(fileUrl('programs', file.name),
      { method: 'PUT', body: file, headers: { 'Content-Type': 'application/octet-stream' } });
    if (!response.ok) { message(file.name + ': ' + await errorText(response)); return; }
    const result = await response.json();
    message(result.name + (response.status === 201 ? ' hochgeladen.' : ' ersetzt (alte Fassung aufbewahrt).'));
  }
  await loadFiles('programs');
}

async function removeProgram(name) {
  if (!await confirmAction(name + ' löschen? Es bleibt als Fassung erhalten und kann wiederhergestellt werden.', 'Löschen')) return;
  const response = await api(fileUrl('programs', name), { method: 'DELETE' });
  message(response.ok ? name + ' gelöscht (als Fassung aufbewahrt).' : name + ': ' + await errorText(response));
  await Promise.all([loadFiles('programs'), loadFiles('removed')]);
}

async function acceptProgram(name) {
  const dialog = $('#accept');
  $('#accept-from').textContent = name;
  $('#accept-as').value = name;
  $('#accept-error').textContent = '';
  dialog.showModal();
  $('#accept-as').select();
}

async function acceptChosen() {
  const from = $('#accept-from').textContent;
  const as = $('#accept-as').value.trim();
  const response = await api(fileUrl('received', from) + '/accept', { method: 'POST',
    headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ as }) });
  if (!response.ok) { $('#accept-error').textContent = await errorText(response); return; }
  const result = await response.json();
  $('#accept').close();
  message(from + ' als ' + result.name + ' übernommen' +
    (response.status === 201 ? '.' : ' (das bisherige Programm ist als Fassung aufbewahrt).'));
  await loadFiles('programs');
}

async function viewFile(name, url) {
  const body = $('#viewer-body');
  $('#viewer-title').textContent = name;
  try {
    const all = lines(await text(url));
    const limit = 20000;
    body.replaceChildren(...all.slice(0, limit).map((line, i) =>
      el('div', { class: 'l' }, el('span', { class: 'n' }, String(i + 1)), el('span', { class: 't' }, line))));
    if (all.length > limit) body.append(el('p', { class: 'note' }, 'Nur die ersten ' + limit + ' Zeilen.'));
  } catch (e) {
    body.replaceChildren(el('p', { class: 'error' }, e.message));
  }
  $('#viewer').showModal();
}

// ---- versions and their difference --------------------------------------------------------

async function openVersions(name) {
  $('#versions-title').textContent = 'Fassungen von ' + name;
  $('#versions-msg').textContent = '';
  $('#diff').replaceChildren();
  await loadVersions(name);
  if (!$('#versions').open) $('#versions').showModal();
}

async function loadVersions(name) {
  const body = $('#version-list tbody');
  const response = await api(fileUrl('programs', name) + '/versions');
  if (!response.ok) { body.replaceChildren(el('tr', {}, el('td', { colspan: 3 }, await errorText(response)))); return; }
  const list = await response.json();
  body.replaceChildren(...list.map((v) => el('tr', { 'data-id': v.id }, el('td', {}, when(v.time)), el('td', {}, size(v.size)),
    el('td', { class: 'actions' }, button('Vergleichen', () => showDifference(name, v)),
      canOperate() ? button('Wiederherstellen', () => restore(name, v)) : null))));
  if (!list.length) body.append(el('tr', {}, el('td', { colspan: 3, class: 'note' }, 'Keine früheren Fassungen.')));
}

async function restore(name, v) {
  const response = await api(fileUrl('programs', name) + '/versions/' + encodeURIComponent(v.id) + '/restore', { method: 'POST' });
  $('#versions-msg').textContent = response.ok
    ? 'Die Fassung bis ' + when(v.time) + ' ist wiederhergestellt; die bisherige ist als Fassung aufbewahrt.'
    : await errorText(response);
  $('#diff').replaceChildren();
  await Promise.all([loadVersions(name), loadFiles('programs'), loadFiles('removed')]);
}

async function showDifference(name, v) {
  const target = $('#diff');
  try {
    const older = lines(await text(fileUrl('programs', name) + '/versions/' + encodeURIComponent(v.id)));
    // A removed program has no current text: everything of the version is gone.
    const exists = files.programs.some((f) => collator.compare(f.name, name) === 0);
    const now = exists ? lines(await text(fileUrl('programs', name))) : [];
    target.replaceChildren(differenceTable(older, now, 'Fassung bis ' + when(v.time), exists ? 'Jetzt' : 'Gelöscht'));
  } catch (e) {
    target.replaceChildren(el('p', { class: 'error' }, e.message));
  }
}

// The edit script from a to b (Myers): ['=', i, j], ['-', i], ['+', j]; null when more than
// limit lines differ.
function editScript(a, b, limit = 2000) {
  const n = a.length, m = b.length, max = n + m, off = max + 1;
  const v = new Int32Array(2 * max + 3);
  const trace = [];
  let found = -1;
  for (let d = 0; d <= Math.min(max, limit) && found < 0; d++) {
    for (let k = -d; k <= d; k += 2) {
      let x = (k === -d || (k !== d && v[off + k - 1] < v[off + k + 1])) ? v[off + k + 1] : v[off + k - 1] + 1;
      let y = x - k;
      while (x < n && y < m && a[x] === b[y]) { x++; y++; }
      v[off + k] = x;
      if (x >= n && y >= m) { found = d; break; }
    }
    trace.push(v.slice(off - d - 1, off + d + 2));
  }
  if (found < 0) return null;
  const script = [];
  let x = n, y = m;
  for (let d = found; d >= 0; d--) {
    const k = x - y;
    const at = (dd, kk) => trace[dd][kk + dd + 1];
    let px = 0, pk = 0;
    if (d > 0) {
      pk = (k === -d || (k !== d && at(d - 1, k - 1) < at(d - 1, k + 1))) ? k + 1 : k - 1;
      px = at(d - 1, pk);
    }
    const py = px - pk;
    const sx = d > 0 && pk === k - 1 ? px + 1 : px;  // where the snake began
    while (x > sx && y > sx - k) { x--; y--; script.push(['=', x, y]); }
    if (d > 0) {
      if (pk === k + 1) script.push(['+', py]); else script.push(['-', px]);
      x = px; y = py;
    }
  }
  return script.reverse();
}

// Rows of a side-by-side view: [left index or -1, right index or -1, kind]; changed lines
// stand beside each other, long runs of equal lines shrink to their edges.
function differenceRows(script, context = 3) {
  const rows = [];
  for (let i = 0; i < script.length;) {
    if (script[i][0] === '=') { rows.push([script[i][1], script[i][2], 'same']); i++; continue; }
    const gone = [], added = [];
    while (i < script.length && script[i][0] !== '=') {
      (script[i][0] === '-' ? gone : added).push(script[i][1]); i++;
    }
    for (let r = 0; r < Math.max(gone.length, added.length); r++) {
      const l = r < gone.length ? gone[r] : -1, n = r < added.length ? added[r] : -1;
      rows.push([l, n, l >= 0 && n >= 0 ? 'changed' : l >= 0 ? 'gone' : 'added']);
    }
  }
  const keep = rows.map(() => false);
  rows.forEach((row, i) => {
    if (row[2] === 'same') return;
    for (let j = Math.max(0, i - context); j <= Math.min(rows.length - 1, i + context); j++) keep[j] = true;
  });
  const out = [];
  for (let i = 0; i < rows.length;) {
    if (keep[i]) { out.push(rows[i]); i++; continue; }
    let j = i;
    while (j < rows.length && !keep[j]) j++;
    out.push([-1, -1, 'skip', j - i]);
    i = j;
  }
  return out;
}

function differenceTable(older, now, leftTitle, rightTitle) {
  const script = editScript(older, now);
  if (!script) return el('p', { class: 'note' }, 'Die Fassungen unterscheiden sich in zu vielen Zeilen für einen Vergleich.');
  const rows = differenceRows(script);
  const table = el('table', { class: 'diff' },
    el('thead', {}, el('tr', {}, el('th', { colspan: 2 }, leftTitle), el('th', { colspan: 2 }, rightTitle))));
  const body = el('tbody');
  const cell = (list, i, cls) => [el('td', { class: 'n' }, i >= 0 ? String(i + 1) : ''),
    el('td', { class: 't ' + (i >= 0 ? cls : 'empty') }, i >= 0 ? list[i] : '')];
  for (const [l, r, kind, count] of rows) {
    if (kind === 'skip') {
      body.append(el('tr', { class: 'skip' }, el('td', { colspan: 4 }, '… ' + count + ' gleiche Zeilen …')));
      continue;
    }
    body.append(el('tr', { class: kind }, ...cell(older, l, kind === 'same' ? '' : 'old'), ...cell(now, r, kind === 'same' ? '' : 'new')));
  }
  if (!script.some((s) => s[0] !== '=')) body.append(el('tr', {}, el('td', { colspan: 4, class: 'note' }, 'Keine Unterschiede.')));
  table.append(body);
  return table;
}

// ---- live updates -------------------------------------------------------------------------

function startPolling() {
  if (poller) return;
  poll();
  poller = setInterval(poll, 5000);
}

function stopPolling() {
  if (poller) clearInterval(poller);
  poller = null;
}

async function poll() {
  const response = await fetch('/api/machines', { credentials: 'same-origin' }).catch(() => null);
  if (!response) return;  // the server is away: the last tiles stay
  if (response.status === 401) { showLogin(); return; }
  if (response.ok) setMachines(await response.json());
}

// The stream is down: say so beside the last known tiles and ask now and then instead.
function streamDown() {
  $('#connection').hidden = false;
  startPolling();
  renderTiles();
}

function connectEvents() {
  if (events) events.close();
  const stream = new EventSource('/api/events');
  events = stream;
  stream.addEventListener('open', () => { $('#connection').hidden = true; stopPolling(); });
  stream.addEventListener('machines', (e) => setMachines(JSON.parse(e.data)));
  stream.addEventListener('machine', (e) => updateMachine(JSON.parse(e.data)));
  stream.addEventListener('log', (e) => {
    const entry = JSON.parse(e.data);
    if (idOf(entry) !== current) return;
    logEntries.push(entry);
    renderLog();
    if (/PRG Nr = /.test(entry.entry)) { loadFiles('received'); }
  });
  stream.addEventListener('error', async () => {
    if (stream !== events || !session) return;
    streamDown();
    if (stream.readyState === EventSource.CLOSED) {
      // Refused (too many streams, the server's limit) or logged out: the session decides.
      events = null;
      const r = await fetch('/api/session', { credentials: 'same-origin' }).catch(() => null);
      if (r && r.status === 401) showLogin(); else setTimeout(() => { if (session && !events) connectEvents(); }, 10000);
    }
  });
}

function route() {
  if (!session) return;
  const match = location.hash.match(/^#\/m\/(.+)$/);
  if (match) {
    openMachine(decodeURIComponent(match[1]));
  } else {
    current = null;
    show('overview');
    renderTiles();
  }
}

function startApp(who) {
  session = who;
  $('#who').textContent = who.user + ' (' + who.role + ')';
  $('#who').hidden = false;
  $('#logout').hidden = false;
  $('#drop').hidden = !canOperate();
  connectEvents();
  route();
}

// ---- start --------------------------------------------------------------------------------

$('#login-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  $('#login-error').textContent = '';
  const response = await api('/api/login', { method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ user: $('#login-user').value, password: $('#login-password').value }) });
  if (!response.ok) { $('#login-error').textContent = await errorText(response); return; }
  $('#login-password').value = '';
  startApp(await response.json());
});

$('#logout').addEventListener('click', async () => {
  await fetch('/api/logout', { method: 'POST', credentials: 'same-origin' });
  showLogin();
});

$('#m-abort').addEventListener('click', async () => {
  const m = machines.get(current);
  const where = m ? m.name : current;
  const what = m && m.program ? m.program + ' an ' + where : 'an ' + where;
  if (!await confirmAction('Senden von ' + what + ' abbrechen? Die Maschine bekommt den Rest des Programms nicht.', 'Senden abbrechen')) return;
  const response = await api(machineUrl(current) + '/abort', { method: 'POST' });
  $('#m-abort-msg').textContent = response.ok ? 'Abbruch gesendet.' : await errorText(response);
});

$('#accept-form').addEventListener('submit', (e) => {
  if (e.submitter && e.submitter.value === 'yes') { e.preventDefault(); acceptChosen(); }
});
$('#upload-input').addEventListener('change', (e) => { upload([...e.target.files]); e.target.value = ''; });
const drop = $('#drop');
drop.addEventListener('dragover', (e) => { e.preventDefault(); drop.classList.add('over'); });
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (e) => { e.preventDefault(); drop.classList.remove('over'); upload([...e.dataTransfer.files]); });
$('#search').addEventListener('input', () => { for (const kind of Object.keys(files)) renderFiles(kind); });
$('#log-filter').addEventListener('input', renderLog);
$('#viewer-close').addEventListener('click', () => $('#viewer').close());
$('#versions-close').addEventListener('click', () => $('#versions').close());
window.addEventListener('hashchange', route);

(async () => {
  const response = await fetch('/api/session', { credentials: 'same-origin' });
  if (response.ok) startApp(await response.json()); else showLogin();
})();
