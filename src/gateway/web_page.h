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
<header><h1>Varnix</h1><p id="status" role="status">Connecting…</p></header>
<main id="nodes"><p>No node has answered yet.</p></main>
<dialog id="confirm">
  <form method="dialog">
    <p id="confirm-text"></p>
    <menu><button value="cancel">Cancel</button> <button id="confirm-ok" value="ok">Confirm</button></menu>
  </form>
</dialog>
</body>
</html>
)html";

inline constexpr char kPageCss[] =
    R"css(:root { color-scheme: light dark; --line: #8884; --muted: #666; }
@media (prefers-color-scheme: dark) { :root { --muted: #aaa; } }
body { font: 15px/1.4 system-ui, sans-serif; margin: 0 auto; padding: 0 1rem; max-width: 70rem; }
header { display: flex; flex-wrap: wrap; align-items: baseline; gap: 1rem; }
section { border-top: 1px solid var(--line); padding: .5rem 0 1rem; }
h2 { margin: .5rem 0; font-size: 1.2rem; }
.offline h2::after { content: " (offline)"; color: var(--muted); font-weight: normal; }
.meta, #status { color: var(--muted); }
.table { overflow-x: auto; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: .25rem .5rem; border-bottom: 1px solid var(--line); }
td.path { word-break: break-all; }
button { font: inherit; padding: .25rem .6rem; margin: .1rem; }
ol.events { margin: .25rem 0; padding-left: 1.2rem; color: var(--muted); }
)css";

inline constexpr char kPageJs[] = R"js('use strict';
const token = document.querySelector('meta[name="varnix-token"]').content;
const main = document.getElementById('nodes');
const statusLine = document.getElementById('status');

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text != null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}

function programState(p) {
  if (p.pid) return 'running';
  if (p.forced) return 'killed' + (p.signal ? ' (' + p.signal + ')' : '');
  if (p.exit_code != null) return 'ended, exit ' + p.exit_code;
  if (p.signal) return 'ended by ' + p.signal;
  return 'not running';
}

function fmt(v, unit) { return v == null ? '–' : v + unit; }

async function act(body) {
  const response = await fetch('/api/action', {
    method: 'POST',
    headers: {'Content-Type': 'application/json', 'X-Varnix-Token': token},
    body: JSON.stringify(body)
  });
  const answer = await response.json().catch(() => ({}));
  statusLine.textContent = response.ok ? 'Asked ' + body.computer + ' to ' + body.action + '.'
                                       : 'Refused: ' + (answer.error || response.status);
}

function confirmThen(text, body) {
  const dialog = document.getElementById('confirm');
  document.getElementById('confirm-text').textContent = text;
  dialog.onclose = () => { if (dialog.returnValue === 'ok') act(body); };
  dialog.showModal();
}

function button(text, onClick) {
  const b = el('button', text);
  b.type = 'button';
  b.addEventListener('click', onClick);
  return b;
}

function render(state) {
  main.replaceChildren();
  if (!state.nodes.length) main.append(el('p', 'No node has answered yet.'));
  for (const node of state.nodes) {
    const section = el('section', null, node.online ? 'online' : 'offline');
    section.dataset.computer = node.computer;
    section.append(el('h2', node.computer));
    section.append(el('p', (node.address || 'address unknown') + ' · last heard ' +
                      (node.last_heard_s == null ? 'never' : node.last_heard_s + ' s ago') +
                      (node.verified ? '' : ' · unverified: what it says is not signed'), 'meta'));
    const controls = el('p');
    for (const [action, label] of [['shutdown', 'Shut down'], ['reboot', 'Reboot']]) {
      controls.append(button(label, () => confirmThen(label + ' ' + node.computer + '?',
                                                      {computer: node.computer, action})));
    }
    section.append(controls);
    const wrap = el('div', null, 'table');
    const table = el('table');
    const head = el('tr');
    for (const h of ['Program', 'State', 'PID', 'Priority', 'CPU', 'Memory', 'Running', '']) {
      const th = el('th', h);
      th.scope = 'col';
      head.append(th);
    }
    table.append(el('thead'));
    table.tHead.append(head);
    const body = el('tbody');
    for (const p of node.programs) {
      const row = el('tr');
      row.append(el('td', p.title ? p.path + ' (' + p.title + ')' : p.path, 'path'),
                 el('td', programState(p)), el('td', fmt(p.pid, '')),
                 el('td', p.priority || '–'), el('td', fmt(p.cpu, '%')),
                 el('td', p.memory == null ? '–' : (p.memory / 1048576).toFixed(1) + ' MiB'),
                 el('td', fmt(p.running_time, ' s')));
      const cell = el('td');
      if (p.configured) {
        for (const [action, label] of [['start', 'Start'], ['stop', 'Stop'], ['restart', 'Restart']]) {
          cell.append(button(label, () => act({computer: node.computer, program: p.configured, action})));
        }
      }
      row.append(cell);
      body.append(row);
    }
    table.append(body);
    wrap.append(table);
    section.append(wrap);
    if (node.events.length) {
      const list = el('ol', null, 'events');
      for (const e of node.events) list.append(el('li', e.text));
      section.append(el('h3', 'Recent events'), list);
    }
    main.append(section);
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
