// The web panel's page: one section per machine, kept up to date from the
// server's live stream (/api/live); diagrams come laid out from
// /graph.svg, and the active states are marked by their ids. A server that
// keeps a journal (/api/journal) also gives each machine's transitions from
// before the page opened, across restarts, shown ahead of the live ones.
'use strict';

const sections = new Map(); // location -> its elements
const HISTORY = 50; // transitions taken from the journal when a section opens
let server = '';

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  for (const c of children) e.append(c);
  return e;
}

function clock(ms) {
  return new Date(ms).toISOString().substring(11, 23);
}

function address(location, property) {
  return server + '/' + location + '/' + property;
}

async function loadDiagram(s, location) {
  const res = await fetch('/graph.svg?location=' + encodeURIComponent(location));
  if (!res.ok) {
    s.diagram.textContent = 'no diagram: ' + res.status;
    return;
  }
  const doc = new DOMParser().parseFromString(await res.text(), 'image/svg+xml');
  const svg = document.importNode(doc.documentElement, true);
  // Fitted: as wide as the column allows, but never wider than laid out;
  // zoomed: a multiple of the laid-out width, panned by scrolling or dragging.
  const width = svg.getAttribute('width') || '';
  s.natural = parseFloat(width) * (width.endsWith('pt') ? 4 / 3 : 1) || 0;
  svg.style.maxWidth = width;
  svg.removeAttribute('width');
  svg.removeAttribute('height');
  svg.setAttribute('role', 'img');
  svg.setAttribute('aria-label', 'state diagram of ' + location);
  s.diagram.replaceChildren(svg);
  s.nodes = svg.querySelectorAll('g.node, g.cluster');
  zoom(s, s.zoom);
  mark(s);
}

// Zoom 0 fits the diagram to its column; any other is a multiple of the
// laid-out width.
function zoom(s, z) {
  s.zoom = z;
  const svg = s.diagram.querySelector('svg');
  if (!svg) return;
  const fitted = z === 0 || !s.natural;
  svg.style.width = fitted ? '100%' : Math.round(s.natural * z) + 'px';
  svg.style.maxWidth = fitted ? Math.round(s.natural) + 'px' : 'none';
  s.diagram.classList.toggle('zoomed', !fitted);
  s.level.textContent = fitted ? 'fit' : Math.round(z * 100) + '%';
}

// Dragging a zoomed diagram pans it.
function pannable(box) {
  let from = null;
  box.addEventListener('pointerdown', (e) => {
    if (!box.classList.contains('zoomed')) return;
    from = {x: e.clientX, y: e.clientY, left: box.scrollLeft, top: box.scrollTop};
    box.setPointerCapture(e.pointerId);
  });
  box.addEventListener('pointermove', (e) => {
    if (!from) return;
    box.scrollLeft = from.left - (e.clientX - from.x);
    box.scrollTop = from.top - (e.clientY - from.y);
  });
  for (const end of ['pointerup', 'pointercancel']) box.addEventListener(end, () => (from = null));
}

function zoomBar(s, location) {
  const button = (text, label, next) => {
    const b = el('button', {type: 'button', 'aria-label': label + ' of ' + location}, text);
    b.addEventListener('click', () => zoom(s, next()));
    return b;
  };
  const current = () => s.zoom || Math.min(1, (s.diagram.clientWidth || 1) / (s.natural || 1));
  s.level = el('span', {class: 'level'}, 'fit');
  return el('div', {class: 'zoom'}, button('−', 'zoom out', () => Math.max(0.25, current() / 1.25)),
            button('fit', 'fit the diagram', () => 0),
            button('+', 'zoom in', () => Math.min(4, current() * 1.25)), s.level);
}

// What the diagram's marks mean.
function legend() {
  const items = [
    ['lit', 'an active state (since: its entry)'],
    ['bold', 'the start state of its flow'],
    ['dashed box', 'a flow: its number and description; (H) keeps history'],
    ['◎', 'the flow ends there'],
    ['event [name]', 'a guarded transition and its guard ([?]: a guard without a name)'],
    ['after', 'a timeout: its time and event'],
    ['!', 'the state\'s error'],
  ];
  return el('dl', {class: 'legend'}, ...items.flatMap(([k, v]) => [el('dt', {}, k), el('dd', {}, v)]));
}

async function loadProperties(s, location) {
  const res = await fetch('/api/names?address=' + encodeURIComponent(address(location, '*')));
  const answer = await res.json();
  if (answer.error !== 0) return;
  // One line per property: "i1 f1 f2 tm NAME description".
  for (const line of answer.value.split('\n')) {
    const name = line.split(' ')[4];
    if (!name) continue;
    const link = el('a', {href: '/api/get?address=' + encodeURIComponent(address(location, name))},
                    name);
    s.props.append(el('li', {}, link));
  }
}

async function sendEvent(s, location) {
  const text = s.input.value.trim();
  if (!text) return;
  s.answer.className = '';
  s.answer.textContent = 'sending…';
  try {
    const res = await fetch('/api/set', {
      method: 'POST',
      headers: {'X-Norix-Panel': '1', 'Content-Type': 'application/x-www-form-urlencoded'},
      body: new URLSearchParams({address: address(location, 'EVENT'), value: text}),
    });
    const answer = res.ok ? await res.json() : {error: res.status, text: await res.text()};
    const ok = answer.error === 0;
    // A success may carry a note: a name no state takes is posted, and said so.
    const note = ok && answer.value ? answer.value : '';
    s.answer.className = ok ? (note ? 'warn' : 'ok') : 'err';
    s.answer.textContent = ok ? (note ? 'sent: ' + text + ' (' + note + ')' : 'sent: ' + text) :
                                'error ' + answer.error + ': ' + answer.text;
  } catch (e) {
    s.answer.className = 'err';
    s.answer.textContent = 'not sent: ' + e.message;
  }
}

// Without a journal the server answers 404 and the trace stays live only.
async function loadHistory(s, location) {
  try {
    const res = await fetch('/api/journal?kind=transition&last=' + HISTORY +
                            '&location=' + encodeURIComponent(location));
    if (!res.ok) return;
    s.history = (await res.text()).split('\n').filter((l) => l).map((l) => JSON.parse(l));
    if (s.shown) show(s.shown);
  } catch (e) {
    // a journal that cannot be read leaves the live trace as it is
  }
}

function section(m) {
  let s = sections.get(m.location);
  if (s) return s;
  const id = 'event-' + sections.size;
  s = {active: new Set(), nodes: [], zoom: 0, natural: 0, history: [], shown: null};
  s.fault = el('div', {class: 'fault', role: 'alert', hidden: ''});
  s.diagram = el('figure', {class: 'diagram'}, 'laying out…');
  pannable(s.diagram);
  s.now = el('p', {class: 'now'});
  s.flows = el('table', {class: 'flows'});
  s.input = el('input', {id, name: 'event', autocomplete: 'off', placeholder: 'event, e.g. start:*',
                         required: ''});
  s.answer = el('output', {for: id, 'aria-live': 'polite'});
  const form = el('form', {class: 'event'},
                  el('label', {for: id}, 'Send an event to ' + m.location), s.input,
                  el('button', {type: 'submit'}, 'Send'), s.answer);
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    sendEvent(s, m.location);
  });
  s.trace = el('ol', {class: 'trace', 'aria-label': 'last transitions of ' + m.location});
  s.props = el('ul', {class: 'props'});
  const side = el('div', {class: 'side'}, el('h3', {}, 'Flows'), s.flows, el('h3', {}, 'Event'),
                  form, el('h3', {}, 'Last transitions'), s.trace,
                  el('details', {}, el('summary', {}, 'Properties'), s.props));
  const title = el('h2', {}, m.location + ' ', el('small', {}, 'machine ' + m.machine));
  s.root = el('section', {class: 'machine', 'data-location': m.location}, title, s.fault,
              el('div', {class: 'body'},
                 el('div', {}, zoomBar(s, m.location), s.diagram, s.now,
                    el('details', {}, el('summary', {}, 'Legend'), legend())),
                 side));
  document.getElementById('machines').append(s.root);
  sections.set(m.location, s);
  // Settled once the diagram, the properties and the history have come (or
  // failed): what drawn() waits for.
  s.loaded = Promise.allSettled(
      [loadDiagram(s, m.location), loadProperties(s, m.location), loadHistory(s, m.location)]);
  return s;
}

// Marks the page drawn (<body data-drawn>) once a live update has been
// shown and every section it brought has loaded: a screenshot or a test
// waits for the mark instead of for a time.
async function drawn() {
  await Promise.all([...sections.values()].map((s) => s.loaded));
  document.body.dataset.drawn = 'true';
}

function mark(s) {
  for (const n of s.nodes) n.classList.toggle('active', s.active.has(n.id));
}

function show(m) {
  const s = section(m);
  s.active = new Set(m.active);
  mark(s);
  const leaves = m.active.filter((p) => !m.active.some((q) => q.startsWith(p + '/')));
  s.now.textContent = 'Active: ' +
      leaves.map((p) => p.substring(m.location.length + 1) + ' since ' + clock(m.since[p]))
          .join(', ');
  // FAULT is the root state's own error; the others are named by their state
  // ("state fault: heater sensor broken"), so the banner says whose it shows.
  const problems = (m.fault ? ['FAULT: ' + m.fault] : [])
                       .concat(m.errors.filter((e) => e !== m.fault).map((e) => 'state ' + e));
  s.fault.hidden = problems.length === 0;
  s.fault.textContent = problems.join('; ');
  s.flows.replaceChildren(...m.flows.map(([name, value]) => el('tr', {}, el('th', {}, name),
                                                               el('td', {}, value))));
  // The journal's records older than the live trace's first come before it.
  s.shown = m;
  const first = m.trace.length ? m.trace[0][1] : Infinity;
  const past = s.history.filter((r) => r.time_ms < first).map((r) => el(
      'li', {class: 'past'}, el('time', {datetime: new Date(r.time_ms).toISOString()}, clock(r.time_ms)),
      r.subject + ': ' + r.old + ' -> ' + r.new + ' on ' + r.detail));
  s.trace.replaceChildren(...past, ...m.trace.map(([seq, ms, text]) => el(
      'li', {value: seq}, el('time', {datetime: new Date(ms).toISOString()}, clock(ms)), text)));
}

function connect() {
  const status = document.getElementById('status');
  const live = new EventSource('/api/live');
  live.onopen = () => {
    status.textContent = 'live';
    status.className = 'up';
  };
  live.onerror = () => {
    status.textContent = 'reconnecting…';
    status.className = 'down';
  };
  live.onmessage = (e) => {
    const data = JSON.parse(e.data);
    server = data.server;
    document.getElementById('server').textContent = 'norix panel — ' + data.server;
    document.title = data.server + ' — norix panel';
    for (const m of data.machines) show(m);
    if (!document.body.dataset.drawn) drawn();
  };
}

connect();
