// The fleet view: one card per server that the broker knows, online or
// offline, with each machine's active states and FAULT banner, kept up to
// date from the server's fleet stream (/api/fleet/live). Every text comes
// from other servers' records: it is put in as text, never as markup, and
// only http(s) links are made from it.
'use strict';

const cards = new Map(); // server name -> its card

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  for (const c of children) e.append(c);
  return e;
}

function clock(ms) {
  return typeof ms === 'number' && isFinite(ms) ? new Date(ms).toISOString().substring(11, 19) : '';
}

const text = (v) => (typeof v === 'string' ? v : v == null ? '' : JSON.stringify(v));

// A state record's active states as [name, entered ms]: names, [name, ms]
// pairs or objects with a state and an entry time.
function actives(state) {
  const list = Array.isArray(state.active) ? state.active : [];
  return list.map((a) => {
    if (Array.isArray(a)) return [text(a[0]), a[1]];
    if (a && typeof a === 'object') return [text(a.state ?? a.path ?? a.name), a.since_ms ?? a.entered_ms];
    return [text(a), state.since && typeof state.since === 'object' ? state.since[a] : undefined];
  });
}

// The banner shows FAULT's value; a state's own error stays on the
// server's panel (it may be an old one of a state no longer active).
function fault(state) {
  return typeof state.fault === 'string' ? state.fault : '';
}

function machine(m) {
  const state = m.state && typeof m.state === 'object' ? m.state : {};
  const banner = fault(state);
  const box = el('section', {class: 'machine', 'data-location': text(m.location)},
    el('h3', {}, text(m.location)));
  const f = el('div', {class: 'fault', role: 'alert'}, banner);
  f.hidden = !banner;
  box.append(f);
  const list = el('ul', {class: 'active'});
  for (const [name, ms] of actives(state)) {
    list.append(el('li', {}, name, ms ? el('time', {}, ' since ' + clock(ms)) : ''));
  }
  box.append(list);
  return box;
}

function show(s) {
  const name = text(s.server);
  let card = cards.get(name);
  if (!card) {
    card = el('article', {class: 'machine server', 'data-server': name});
    cards.set(name, card);
    document.getElementById('servers').append(card);
  }
  const title = el('h2', {}, name + ' ');
  title.append(el('span', {class: 'badge ' + (s.online ? 'up' : 'down')}, s.online ? 'online' : 'offline'));
  if (s.since_ms) title.append(el('small', {}, ' since ' + clock(s.since_ms)));
  const parts = [title];
  if (typeof s.panel === 'string' && /^https?:\/\//.test(s.panel)) {
    parts.push(el('a', {class: 'panel-link', href: s.panel}, 'open its panel'));
  }
  if (Array.isArray(s.conflicts) && s.conflicts.length) {
    parts.push(el('div', {class: 'conflict', role: 'alert'},
      'name also claimed by ' + s.conflicts.map((c) => text(c)).join('; ') +
      ', still online; calls go to the latest claim, shown here'));
  }
  const machines = el('div', {class: 'machines'});
  for (const m of s.machines || []) machines.append(machine(m));
  parts.push(machines);
  // The locations that publish no machine (plain devices), by name and type.
  const shown = new Set((s.machines || []).map((m) => text(m.location)));
  const others = (Array.isArray(s.locations) ? s.locations : [])
    .filter((l) => l && typeof l === 'object' && !shown.has(text(l.name)))
    .map((l) => text(l.name) + (l.type ? ' (' + text(l.type) + ')' : ''));
  if (others.length) parts.push(el('p', {class: 'now locations'}, 'locations: ' + others.join(', ')));
  card.classList.toggle('offline', !s.online);
  card.replaceChildren(...parts);
}

function render(data) {
  document.getElementById('server').textContent = 'norix fleet — seen from ' + text(data.server);
  const broker = document.getElementById('broker');
  broker.textContent = data.broker ? 'broker connected' : 'broker unreachable';
  broker.className = data.broker ? 'up' : 'down';
  const seen = new Set();
  for (const s of data.servers || []) {
    show(s);
    seen.add(text(s.server));
  }
  for (const [name, card] of cards) {
    if (!seen.has(name)) {
      card.remove();
      cards.delete(name);
    }
  }
}

function connect() {
  const status = document.getElementById('status');
  const live = new EventSource('/api/fleet/live');
  live.onopen = () => {
    status.textContent = 'live';
    status.className = 'up';
  };
  live.onerror = () => {
    status.textContent = 'reconnecting…';
    status.className = 'down';
  };
  live.onmessage = (e) => render(JSON.parse(e.data));
}

connect();
