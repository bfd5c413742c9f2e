// The gateway's page, compiled in: plain HTML, CSS and one small script, with nothing from
// elsewhere, so that it works with no internet. Every value from the network is put in as
// text (textContent), never as markup.
#pragma once

namespace varnix {

// "{{TOKEN}}" is replaced by the gateway's token for actions.
inline constexpr char kPageHtml[] = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="varnix-token" content="{{TOKEN}}">
<title>Varnix: every computer</title>
<link rel="stylesheet" href="/app.css">
<script src="/app.js" defer></script>
</head>
<body>
<header><h1>Varnix</h1><p id="status" role="status">Connecting…</p>
<p id="signing" hidden>What computers say here is not signed. To have it signed, put the house's
access.key beside the gateway and beside each node.</p></header>
<main id="nodes"><p>No node has answered yet.</p></main>
<dialog id="log" aria-labelledby="log-title">
  <h2 id="log-title"></h2>
  <pre id="log-lines" tabindex="0"></pre>
  <form method="dialog"><menu><button value="close">Close</button></menu></form>
</dialog>
<dialog id="notice" aria-labelledby="notice-title">
  <form method="dialog">
    <h2 id="notice-title"></h2>
    <label>Message <textarea id="notice-text" maxlength="1024" rows="3"></textarea></label>
    <label>Answers offered, if any <input id="notice-actions" placeholder="Yes;No"></label>
    <menu><button value="cancel">Cancel</button><button id="notice-ok" class="primary" value="ok">Send</button></menu>
  </form>
</dialog>
<dialog id="confirm">
  <form method="dialog">
    <p id="confirm-text"></p>
    <menu><button value="cancel">Cancel</button><button id="confirm-ok" class="danger" value="ok">Confirm</button></menu>
  </form>
</dialog>
</body>
</html>
)html";

inline constexpr char kPageCss[] =
    R"css(:root { color-scheme: light dark; --line: #8884; --muted: #666; --card: #fff;
  --page: #f3f3f5; --on: #1a7f37; --off: #777; --bad: #b3261e; --accent: #0b57d0; }
@media (prefers-color-scheme: dark) {
  :root { --muted: #aaa; --card: #1e1f22; --page: #111214; --on: #4ac26b; --off: #999;
    --bad: #f2b8b5; --accent: #a8c7fa; }
}
* { box-sizing: border-box; }
body { font: 16px/1.45 system-ui, sans-serif; margin: 0; background: var(--page); }
header { display: flex; flex-wrap: wrap; align-items: baseline; gap: 0 1rem; padding: 0 1rem; }
h1 { font-size: 1.4rem; margin: .75rem 0; }
#status { color: var(--muted); margin: 0; }
#signing { color: var(--muted); margin: 0 0 .5rem; font-size: .85rem; flex-basis: 100%; }
#nodes { display: grid; gap: 1rem; padding: 0 1rem 1rem; margin: 0 auto; max-width: 90rem;
  grid-template-columns: repeat(auto-fill, minmax(min(100%, 24rem), 1fr)); align-items: start; }
section { background: var(--card); border: 1px solid var(--line); border-radius: .75rem;
  padding: .75rem 1rem; min-width: 0; overflow-wrap: anywhere; }
h2 { margin: 0; font-size: 1.25rem; display: flex; flex-wrap: wrap; align-items: center;
  gap: .5rem; }
h3 { font-size: 1rem; margin: .75rem 0 .25rem; }
.meta { color: var(--muted); margin: .25rem 0 .5rem; font-size: .9rem; }
.chip { display: inline-block; font-size: .8rem; font-weight: 600; padding: .1rem .55rem;
  border-radius: 1rem; border: 1px solid currentColor; white-space: nowrap; }
.chip.running, .chip.online { color: var(--on); }
.chip.stopped, .chip.offline { color: var(--off); }
.chip.failed { color: var(--bad); }
.chip.stale { border-style: dashed; }
.chip.warning { color: var(--bad); }
.stale-note { color: var(--muted); font-size: .85rem; margin: .5rem 0 0; }
dl.figures.stale dd { color: var(--muted); }
dl.figures { display: grid; grid-template-columns: repeat(2, minmax(0, 1fr));
  gap: .25rem .75rem; margin: .5rem 0; }
dl.figures div { min-width: 0; }
dt { font-size: .8rem; color: var(--muted); }
dd { margin: 0; font-variant-numeric: tabular-nums; }
.actions { display: flex; flex-wrap: wrap; gap: .5rem; margin: .5rem 0; }
button { font: inherit; min-height: 44px; min-width: 44px; padding: .4rem .9rem;
  border-radius: .5rem; border: 1px solid var(--line); background: transparent;
  color: inherit; cursor: pointer; }
button.primary { border-color: var(--accent); color: var(--accent); }
button.danger { border-color: var(--bad); color: var(--bad); }
button:disabled { opacity: .45; cursor: not-allowed; }
#log { width: min(90rem, calc(100vw - 2rem)); max-width: calc(100vw - 2rem); }
#log pre { max-height: 70vh; overflow: auto; white-space: pre-wrap; overflow-wrap: anywhere;
  font-size: .85rem; margin: 0 0 .5rem; }
#log .line { padding-left: .5rem; border-left: 3px solid transparent; }
#log .line.err { border-left-color: var(--bad); color: var(--bad); }
#log time { color: var(--muted); cursor: help; }
details.power { display: inline-block; }
details.power > summary { list-style: none; display: inline-flex; align-items: center;
  min-height: 44px; padding: .4rem .9rem; border-radius: .5rem; border: 1px solid var(--line);
  cursor: pointer; }
details.power > summary::-webkit-details-marker { display: none; }
details.power[open] > summary { margin-bottom: .5rem; }
details.power > .actions { margin: 0; }
ul.programs { list-style: none; margin: 0; padding: 0; }
ul.programs > li { border-top: 1px solid var(--line); padding: .6rem 0; }
.program-head { display: flex; flex-wrap: wrap; align-items: center; gap: .5rem; }
.program-name { font-weight: 600; }
.path { display: block; color: var(--muted); font-size: .85rem; overflow-wrap: break-word; }
.numbers { color: var(--muted); font-size: .9rem; margin: .15rem 0 0; }
ol.events { margin: 0; padding-left: 1.2rem; }
ol.events li { margin: .2rem 0; }
.age { color: var(--muted); font-size: .85rem; white-space: nowrap; }
dialog { max-width: min(26rem, calc(100vw - 2rem)); border-radius: .75rem;
  border: 1px solid var(--line); }
dialog label { display: block; margin: .5rem 0; }
dialog textarea, dialog input { display: block; width: 100%; box-sizing: border-box; font: inherit; }
dialog menu { display: flex; justify-content: flex-end; gap: .5rem; padding: 0; }
)css";

inline constexpr char kPageJs[] = R"js('use strict';
const token = document.querySelector('meta[name="varnix-token"]').content;
const main = document.getElementById('nodes');
const statusLine = document.getElementById('status');

// The computer's everyday actions, then the rest behind one Power menu; those that end what
// its user is doing ask first.
const everydayActions = [
  ['lock', 'Lock', false], ['screenoff', 'Screen off', false], ['sleep', 'Sleep', true]];
const powerActions = [
  ['hibernate', 'Hibernate', true], ['logoff', 'Log off', true], ['reboot', 'Reboot', true],
  ['shutdown', 'Shut down', true]];

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text != null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}

// Seconds as a person reads them: "45 s", "12 min", "2 h 05 min", "3 d 4 h".
function span(seconds) {
  if (seconds == null || seconds < 0) return '–';
  const s = Math.floor(seconds);
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min';
  if (s < 86400) return Math.floor(s / 3600) + ' h ' + String(Math.floor(s / 60) % 60).padStart(2, '0') + ' min';
  return Math.floor(s / 86400) + ' d ' + Math.floor(s / 3600) % 24 + ' h';
}

function bytes(value) {
  if (value == null) return '–';
  if (value >= 1073741824) return (value / 1073741824).toFixed(1) + ' GiB';
  return (value / 1048576).toFixed(1) + ' MiB';
}

// [chip class, text] of a program as last reported.
function programState(p) {
  if (p.pid) return ['running', 'running'];
  // The node stopped starting it again after quick failures: not an ordinary end.
  if (p.gave_up) {
    const last = p.exit_code != null ? 'exit ' + p.exit_code : (p.signal || p.last_end);
    return ['failed', 'gave up' + (last ? ' (' + last + ')' : '')];
  }
  if (p.forced) return ['failed', 'killed' + (p.signal ? ' (' + p.signal + ')' : '')];
  if (p.exit_code != null) return [p.exit_code === 0 ? 'stopped' : 'failed', 'ended, exit ' + p.exit_code];
  if (p.signal) return ['failed', 'ended by ' + p.signal];
  return ['stopped', p.pid === undefined && p.exit_code === undefined && !p.title ? 'not reported' : 'not running'];
}

// A path that breaks only after its separators, so that names stay whole on a narrow screen.
function pathText(path) {
  const e = el('span', null, 'path');
  const parts = path.split(/(?<=[\/\\])/);
  parts.forEach((part, i) => {
    e.append(document.createTextNode(part));
    if (i + 1 < parts.length) e.append(document.createElement('wbr'));
  });
  return e;
}

async function act(body, label) {
  const response = await fetch('/api/action', {
    method: 'POST',
    headers: {'Content-Type': 'application/json', 'X-Varnix-Token': token},
    body: JSON.stringify(body)
  });
  const answer = await response.json().catch(() => ({}));
  statusLine.textContent = response.ok ? 'Asked: ' + label + '.'
                                       : 'Refused: ' + (answer.error || response.status);
}

function confirmThen(text, body) {
  const dialog = document.getElementById('confirm');
  document.getElementById('confirm-text').textContent = text + '?';
  document.getElementById('confirm-ok').textContent = text;
  dialog.onclose = () => { if (dialog.returnValue === 'ok') act(body, text); };
  dialog.showModal();
}

// A notice on the computer's screen; what the person there answers is the notice's event in
// Home Assistant.
function sendNotice(computer) {
  const dialog = document.getElementById('notice');
  document.getElementById('notice-title').textContent = 'Notice for ' + computer;
  dialog.returnValue = '';
  dialog.onclose = () => {
    if (dialog.returnValue !== 'ok') return;
    const text = document.getElementById('notice-text').value;
    const actions = document.getElementById('notice-actions').value;
    act({computer, action: 'notice', text, actions}, 'a notice for ' + computer);
  };
  dialog.showModal();
}

function button(text, onClick, cls, enabled) {
  const b = el('button', text, cls);
  b.type = 'button';
  b.disabled = !enabled;
  b.addEventListener('click', onClick);
  return b;
}

// One line as its node keeps it ("2026-12-09T08:01:02.345+01:00 err text"): the time of day,
// the full stamp on hover or a long press; lines of the error stream stand out.
function logLine(text) {
  const line = el('div', null, 'line');
  const parts = /^(\d{4}-\d\d-\d\dT(\d\d:\d\d:\d\d)\.\d{3}[+-]\d\d:\d\d) (\S+) ?([\s\S]*)$/.exec(text);
  if (!parts) {
    line.textContent = text;
    return line;
  }
  const time = el('time', parts[2]);
  time.dateTime = parts[1];
  time.title = parts[1];
  const full = (event) => {
    event.preventDefault();
    time.textContent = time.textContent === parts[1] ? parts[2] : parts[1];
  };
  time.addEventListener('click', full);
  time.addEventListener('contextmenu', full);
  if (parts[3] === 'err') line.classList.add('err');
  line.append(time, document.createTextNode(' ' + parts[3] + ' ' + parts[4]));
  return line;
}

// A program's last lines, asked again twice a second while the dialog is open: the gateway has
// them as the node keeps them. Put in as text, never as markup: a program may print anything.
let logTimer = null;
async function showLog(computer, path, name) {
  const dialog = document.getElementById('log');
  const lines = document.getElementById('log-lines');
  document.getElementById('log-title').textContent = name + ' on ' + computer;
  lines.textContent = 'Asking…';
  const load = async () => {
    const response = await fetch('/api/log', {
      method: 'POST',
      headers: {'Content-Type': 'application/json', 'X-Varnix-Token': token},
      body: JSON.stringify({computer, path})
    }).catch(() => null);
    const answer = response ? await response.json().catch(() => ({})) : {};
    if (!response || !response.ok) {
      lines.textContent = 'Refused: ' + (answer.error || (response ? response.status : 'no answer'));
    } else if (answer.answered) {
      const atEnd = lines.scrollTop + lines.clientHeight >= lines.scrollHeight - 4;
      if (answer.lines.length) lines.replaceChildren(...answer.lines.map(logLine));
      else lines.textContent = 'Nothing said yet.';
      if (atEnd) lines.scrollTop = lines.scrollHeight;
    }
  };
  clearInterval(logTimer);
  logTimer = setInterval(load, 500);
  dialog.onclose = () => clearInterval(logTimer);
  if (!dialog.open) dialog.showModal();
  await load();
  // The first ask only starts the node's answer on its way.
  setTimeout(load, 400);
}

function figure(list, name, value) {
  const d = el('div');
  d.append(el('dt', name), el('dd', value));
  list.append(d);
}

function renderNode(node, keyed) {
  const section = el('section', null, node.online ? 'online' : 'offline');
  section.dataset.computer = node.computer;
  const title = el('h2', node.computer);
  title.append(el('span', node.online ? 'online' : 'offline', 'chip ' + (node.online ? 'online' : 'offline')));
  // With the key, a computer whose word is not signed is one to look at; without, none is.
  if (keyed && !node.verified) title.append(el('span', 'not signed', 'chip warning'));
  section.append(title);
  const heard = node.last_heard_s == null ? 'never' : span(node.last_heard_s) + ' ago';
  section.append(el('p', (node.address || 'address unknown') + ' · last heard ' + heard, 'meta'));
  const f = node.figures || {};
  if (Object.keys(f).length) {
    // A computer that is off: its figures as they were when it was last heard, up-time
    // stopped there.
    const now = Date.now() / 1000 - (node.online ? 0 : node.last_heard_s || 0);
    if (!node.online) section.append(el('p', 'Last known, ' + heard + ':', 'stale-note'));
    const list = el('dl', null, 'figures' + (node.online ? '' : ' stale'));
    figure(list, 'CPU', (f.cpu == null ? '–' : f.cpu + '%') +
           (f.cpu_temperature == null ? '' : ', ' + f.cpu_temperature.toFixed(1) + ' °C'));
    figure(list, 'Memory', f.memory_percent == null ? '–'
           : f.memory_percent + '% of ' + bytes(f.memory_total));
    figure(list, 'Disk free', bytes(f.disk_free));
    figure(list, 'Up', f.booted == null ? '–' : span(now - f.booted));
    // Who is at it: the user, locked, and idle for how long; or why nobody can say.
    if (f.user != null || f.presence_problem != null) {
      const at = f.user == null ? 'not known: ' + f.presence_problem
        : (f.user === '' ? 'nobody' : f.user) +
          (f.locked ? ', locked' : '') +
          (f.idle_seconds ? ', idle ' + span(f.idle_seconds) : '');
      figure(list, 'At it', at);
    }
    section.append(list);
  }
  const actions = el('div', null, 'actions');
  const computerButton = ([action, label, ask], cls) => {
    const what = label + ' ' + node.computer;
    const body = {computer: node.computer, action};
    // Only Wake reaches a computer that is off, and only once its node has told its card.
    const enabled = action === 'wake' ? node.wakeable : node.online;
    return button(label, () => ask ? confirmThen(what, body) : act(body, what), cls, enabled);
  };
  const wake = ['wake', 'Wake', false];
  // Wake is the first thing to do for a computer that is off, and nothing much when it is on.
  if (!node.online) actions.append(computerButton(wake, 'primary'));
  for (const action of everydayActions) actions.append(computerButton(action, ''));
  const power = el('details', null, 'power');
  power.append(el('summary', 'Power'));
  const more = el('div', null, 'actions');
  for (const action of powerActions) more.append(computerButton(action, 'danger'));
  if (node.online) more.append(computerButton(wake, ''));
  power.append(more);
  actions.append(power);
  section.append(actions);
  // For the person at it, apart from what the computer does.
  const person = el('div', null, 'actions');
  person.append(button('Send notice', () => sendNotice(node.computer), '', node.online));
  section.append(person);
  if (node.programs.length) {
    section.append(el('h3', 'Programs'));
    const list = el('ul', null, 'programs');
    for (const p of node.programs) {
      const item = el('li');
      item.dataset.path = p.path;
      const head = el('div', null, 'program-head');
      head.append(el('span', p.name || p.title || p.path.split(/[\/\\]/).pop(), 'program-name'));
      const [state, text] = programState(p);
      head.append(el('span', node.online ? text : 'last known: ' + text,
                     'chip ' + state + (node.online ? '' : ' stale')));
      item.append(head, pathText(p.path));
      const numbers = [];
      if (p.pid) numbers.push('PID ' + p.pid);
      if (p.cpu != null && p.pid) numbers.push('CPU ' + p.cpu + '%');
      if (p.memory != null && p.pid) numbers.push(bytes(p.memory));
      if (p.running_time != null && p.pid) numbers.push('running ' + span(p.running_time));
      if (p.priority && p.pid) numbers.push(p.priority);
      if (numbers.length) item.append(el('p', numbers.join(' · '), 'numbers'));
      const row = el('div', null, 'actions');
      if (p.configured) {
        const choices = p.pid ? [['stop', 'Stop'], ['restart', 'Restart']] : [['start', 'Start']];
        for (const [action, label] of choices) {
          row.append(button(label, () => act({computer: node.computer, program: p.configured, action},
                                              label + ' ' + (p.name || p.path)),
                            '', node.online));
        }
      }
      row.append(button('Log', () => showLog(node.computer, p.path,
                                             p.name || p.title || p.path.split(/[\/\\]/).pop()),
                        '', node.online));
      item.append(row);
      list.append(item);
    }
    section.append(list);
  }
  if (node.events.length) {
    const list = el('ol', null, 'events');
    for (const e of node.events) {
      const item = el('li', e.text + ' ');
      item.append(el('span', span(e.age_s) + ' ago', 'age'));
      list.append(item);
    }
    section.append(el('h3', 'Recent events'), list);
  }
  return section;
}

function render(state) {
  // Kept open across the updates that come every few seconds: a menu that closes as it is
  // read is no menu.
  const open = new Set([...main.querySelectorAll('details[open]')]
                       .map(d => d.closest('section').dataset.computer));
  main.replaceChildren();
  document.getElementById('signing').hidden = !!state.keyed;
  if (!state.nodes.length) main.append(el('p', 'No node has answered yet.'));
  for (const node of state.nodes) {
    const card = renderNode(node, state.keyed);
    if (open.has(node.computer)) card.querySelector('details').open = true;
    main.append(card);
  }
}

const events = new EventSource('/events');
events.onmessage = (message) => {
  render(JSON.parse(message.data));
  statusLine.textContent = 'Live';
};
events.onerror = () => { statusLine.textContent = 'Reconnecting…'; };
)js";

}  // namespace varnix
