// The web page of the DNC server: a client of the JSON API and its event stream.
'use strict';

const $ = (sel) => document.querySelector(sel);
const machines = new Map();
let session = null;
let events = null;
let current = null;   // the machine whose page is open
let logEntries = [];

const STATE_CLASS = { 'aus': 'aus', 'getrennt': 'getrennt', 'verloren': 'verloren', 'bereit': 'bereit',
  'empfängt': 'empfaengt', 'sendet': 'sendet', 'wartet': 'wartet' };
const STATE_TEXT = { 'aus': 'aus (kein Server)', 'getrennt': 'getrennt',
  'verloren': 'Gerät verloren', 'bereit': 'bereit', 'empfängt': 'empfängt', 'sendet': 'sendet',
  'wartet': 'wartet (Maschine nimmt nichts)' };

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === null || v === undefined || v === false) continue;
    if (k === 'class') e.className = v; else e.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c);
  return e;
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

function machineUrl(name) { return '/api/machines/' + encodeURIComponent(name); }

// ---- views --------------------------------------------------------------------------------

function show(id) {
  for (const s of ['login', 'overview', 'machine']) $('#' + s).hidden = s !== id;
}

function showLogin() {
  session = null;
  if (events) { events.close(); events = null; }
  $('#who').hidden = true;
  $('#logout').hidden = true;
  show('login');
  $('#login-user').focus();
}

function fillTile(tile, m) {
  tile.className = tile.className.replace(/\bs-\S+/g, '').trim() + ' s-' + (STATE_CLASS[m.state] || 'aus');
  tile.replaceChildren();
  tile.append(el('div', { class: 'row' }, el('span', { class: 'name' }, m.name),
    el('span', { class: 'state' }, STATE_TEXT[m.state] || m.state)));
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
  const last = m.lastTransfer;
  tile.append(el('div', { class: 'last' }, last ? 'Zuletzt: ' + when(last.time) + ' ' + last.entry
                                               : 'Noch keine Übertragung'));
}

function renderTiles() {
  const tiles = $('#tiles');
  const names = [...machines.keys()].sort();
  $('#no-machines').hidden = names.length > 0;
  const existing = new Map([...tiles.children].map((t) => [t.dataset.name, t]));
  tiles.replaceChildren(...names.map((name) => {
    const tile = existing.get(name) || el('a', { class: 'tile', href: '#/m/' + encodeURIComponent(name) });
    tile.dataset.name = name;
    fillTile(tile, machines.get(name));
    return tile;
  }));
}

function renderMachineTile() {
  if (!current || !machines.has(current)) return;
  const m = machines.get(current);
  fillTile($('#m-tile'), m);
  $('#m-abort').hidden = !(session && session.role === 'bedienen' && (m.state === 'sendet' || m.state === 'wartet'));
}

function updateMachine(m) {
  machines.set(m.name, m);
  renderTiles();
  if (m.name === current) renderMachineTile();
}

// ---- the machine page ---------------------------------------------------------------------

function fileRow(kind, f) {
  const url = machineUrl(current) + '/' + kind + '/' + encodeURIComponent(f.name);
  const view = el('button', { type: 'button' }, 'Ansehen');
  view.addEventListener('click', () => viewFile(f.name, url));
  return el('tr', {}, el('td', {}, f.name), el('td', {}, size(f.size)), el('td', {}, when(f.time)),
    el('td', { class: 'actions' }, view, el('a', { href: url, download: f.name }, 'Herunterladen')));
}

async function loadFiles(kind) {
  const body = $('#' + kind + ' tbody');
  const response = await api(machineUrl(current) + '/' + kind);
  if (!response.ok) { body.replaceChildren(el('tr', {}, el('td', { colspan: 4 }, await errorText(response)))); return; }
  let files = await response.json();
  if (kind === 'received') files.sort((a, b) => (a.time < b.time ? 1 : -1));
  body.replaceChildren(...files.map((f) => fileRow(kind, f)));
  if (!files.length) body.append(el('tr', {}, el('td', { colspan: 4, class: 'note' }, 'Keine Programme.')));
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

async function openMachine(name) {
  current = name;
  show('machine');
  $('#m-name').textContent = name;
  $('#m-abort-msg').textContent = '';
  $('#upload-msg').textContent = '';
  renderMachineTile();
  await Promise.all([loadFiles('programs'), loadFiles('received'), loadLog()]);
}

async function upload(files) {
  const msg = $('#upload-msg');
  for (const file of files) {
    msg.textContent = file.name + ' wird hochgeladen …';
    const response = await api(machineUrl(current) + '/programs/' + encodeURIComponent(file.name),
      { method: 'PUT', body: file, headers: { 'Content-Type': 'application/octet-stream' } });
    if (!response.ok) { msg.textContent = file.name + ': ' + await errorText(response); return; }
    const result = await response.json();
    msg.textContent = result.name + (response.status === 201 ? ' hochgeladen.' : ' ersetzt (alte Fassung aufbewahrt).');
  }
  await loadFiles('programs');
}

async function viewFile(name, url) {
  const response = await api(url);
  const body = $('#viewer-body');
  $('#viewer-title').textContent = name;
  if (!response.ok) {
    body.replaceChildren(el('p', { class: 'error' }, await errorText(response)));
  } else {
    const text = new TextDecoder('windows-1252').decode(await response.arrayBuffer());
    const lines = text.replace(/\r\n?/g, '\n').replace(/\n$/, '').split('\n');
    const limit = 20000;
    body.replaceChildren(...lines.slice(0, limit).map((line, i) =>
      el('div', { class: 'l' }, el('span', { class: 'n' }, String(i + 1)), el('span', { class: 't' }, line))));
    if (lines.length > limit) body.append(el('p', { class: 'note' }, 'Nur die ersten ' + limit + ' Zeilen.'));
  }
  $('#viewer').showModal();
}

// ---- live updates -------------------------------------------------------------------------

function connectEvents() {
  if (events) events.close();
  events = new EventSource('/api/events');
  events.addEventListener('open', () => { $('#connection').hidden = true; });
  events.addEventListener('machines', (e) => {
    machines.clear();
    for (const m of JSON.parse(e.data)) machines.set(m.name, m);
    renderTiles();
    renderMachineTile();
  });
  events.addEventListener('machine', (e) => updateMachine(JSON.parse(e.data)));
  events.addEventListener('log', (e) => {
    const entry = JSON.parse(e.data);
    if (entry.machine !== current) return;
    logEntries.push(entry);
    renderLog();
    if (/PRG Nr = /.test(entry.entry)) { loadFiles('received'); }
  });
  events.addEventListener('error', async () => {
    $('#connection').hidden = false;
    if (events.readyState === EventSource.CLOSED) {
      // Logged out, or the server went away: ask whether the session still holds.
      const r = await fetch('/api/session', { credentials: 'same-origin' }).catch(() => null);
      if (r && r.status === 401) showLogin(); else setTimeout(connectEvents, 3000);
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
  $('#drop').hidden = who.role !== 'bedienen';
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
  const response = await api(machineUrl(current) + '/abort', { method: 'POST' });
  $('#m-abort-msg').textContent = response.ok ? 'Abbruch gesendet.' : await errorText(response);
});

$('#upload-input').addEventListener('change', (e) => { upload([...e.target.files]); e.target.value = ''; });
const drop = $('#drop');
drop.addEventListener('dragover', (e) => { e.preventDefault(); drop.classList.add('over'); });
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (e) => { e.preventDefault(); drop.classList.remove('over'); upload([...e.dataTransfer.files]); });
$('#log-filter').addEventListener('input', renderLog);
$('#viewer-close').addEventListener('click', () => $('#viewer').close());
window.addEventListener('hashchange', route);

(async () => {
  const response = await fetch('/api/session', { credentials: 'same-origin' });
  if (response.ok) startApp(await response.json()); else showLogin();
})();
