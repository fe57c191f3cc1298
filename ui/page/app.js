'use strict';
// The page of `sens -u`. The server keeps the modules' values as the bus last gave them; the
// table adds what the user typed or loaded on top, and nothing reaches a module before Write.

const $ = (id) => document.getElementById(id);
const FIRST_CV = 145;
const CVS = 16;
const BAR_H = 24;
const SVG = 'http://www.w3.org/2000/svg';
const WORDS = { read: 'read', written: 'written', 'no-response': 'no response', failed: 'failed',
  unknown: 'not read yet' };
const KINDS = { discover: 'Find modules', read: 'Read', write: 'Write' };

// The fragment never travels in a request, so the token stays out of logs and Referer headers.
const token = (/(?:^#|&)token=([0-9a-fA-F]+)/.exec(location.hash) || [])[1];
const rows = new Map();
let busy = false;
let stopping = false;
let wired = false;

class ApiError extends Error {
  constructor(status, text) {
    super(text);
    this.status = status;
  }
}

async function api(path, body) {
  const init = { headers: { 'X-Sens-Token': token }, cache: 'no-store' };
  if (body !== undefined) {
    init.method = 'POST';
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  let res;
  try {
    res = await fetch('/api/' + path, init);
  } catch (e) {
    throw new ApiError(0, 'sens does not answer: is it still running?');
  }
  const data = await res.json().catch(() => null);
  if (res.ok) return data;
  let text = (data && data.error) || `${res.status} ${res.statusText}`;
  // A token from an earlier run of sens is the usual cause.
  if (res.status === 403) text += ': open the address sens printed last';
  throw new ApiError(res.status, text);
}

function notice(text, error = true) {
  const n = $('notice');
  n.textContent = text;
  n.hidden = !text;
  n.classList.toggle('error', error);
}

function el(tag, attrs = {}, ns = null) {
  const e = ns ? document.createElementNS(ns, tag) : document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  return e;
}

const pause = (ms) => new Promise((done) => setTimeout(done, ms));

// 1,2,3,12 -> "1-3,12": the address list syntax the server takes.
function ranges(addresses) {
  const list = [...addresses].sort((a, b) => a - b);
  const out = [];
  for (let i = 0; i < list.length; i++) {
    let j = i;
    while (j + 1 < list.length && list[j + 1] === list[j] + 1) j++;
    out.push(j > i ? `${list[i]}-${list[j]}` : `${list[i]}`);
    i = j;
  }
  return out.join(',');
}

const sortedRows = () => [...rows.values()].sort((a, b) => a.address - b.address);

function rowFor(address) {
  let row = rows.get(address);
  if (row) return row;
  const tr = el('tr', { 'data-address': address, 'data-status': 'unknown' });
  row = { address, tr, known: null, inputs: [], bars: [] };
  row.pick = el('input', { type: 'checkbox', 'data-pick': '',
    'aria-label': `Choose module ${address}` });
  tr.append(el('td'), el('th', { scope: 'row' }));
  tr.cells[0].append(row.pick);
  tr.cells[1].textContent = address;
  for (let i = 0; i < CVS; i++) {
    const input = el('input', { 'data-cv': FIRST_CV + i, inputmode: 'numeric', autocomplete: 'off',
      'aria-label': `Module ${address} CV ${FIRST_CV + i}` });
    row.inputs.push(input);
    tr.append(el('td'));
    tr.lastChild.append(input);
  }
  const svg = el('svg', { viewBox: `0 0 ${CVS * 4} ${BAR_H}`, 'aria-hidden': 'true' }, SVG);
  for (let i = 0; i < CVS; i++) {
    row.bars.push(el('rect', { x: i * 4, width: 3, y: BAR_H, height: 0 }, SVG));
    svg.append(row.bars[i]);
  }
  tr.append(el('td', { class: 'bars' }), el('td', { class: 'status' }));
  tr.cells[CVS + 2].append(svg);
  row.status = tr.cells[CVS + 3];
  row.status.textContent = WORDS.unknown;
  const next = sortedRows().find((r) => r.address > address);
  document.querySelector('#modules tbody').insertBefore(tr, next ? next.tr : null);
  rows.set(address, row);
  return row;
}

// The cells' values, null where a cell holds no valid value; marks what differs from the module.
function check(row) {
  const values = row.inputs.map((input, i) => {
    const text = input.value.trim();
    const known = row.known ? row.known[i] : null;
    const ok = /^\d{1,3}$/.test(text) && Number(text) <= 255;
    // An empty cell is only a gap while the module's values are not known.
    const bad = text === '' ? known !== null : !ok;
    input.classList.toggle('invalid', bad);
    if (bad) input.setAttribute('aria-invalid', 'true');
    else input.removeAttribute('aria-invalid');
    input.classList.toggle('changed', ok && Number(text) !== known);
    return ok ? Number(text) : null;
  });
  draw(row, values);
  return values;
}

// Modules mostly hold one value in every channel: one set apart gets its own colour.
function draw(row, values) {
  const count = new Map();
  for (const v of values) if (v !== null) count.set(v, (count.get(v) || 0) + 1);
  let common = null;
  for (const [v, n] of count) if (n >= CVS / 2) common = v;
  row.bars.forEach((bar, i) => {
    const h = ((values[i] || 0) * BAR_H) / 255;
    bar.setAttribute('y', BAR_H - h);
    bar.setAttribute('height', h);
    bar.classList.toggle('apart', common !== null && values[i] !== null && values[i] !== common);
  });
}

// took: the modules a job just read or written, whose cells take the module's values even over
// an edit; elsewhere only cells nobody edited follow the server.
function render(state, took = new Set()) {
  $('where').textContent = state.open ? `${state.interface} ${state.port}` : '';
  for (const m of state.modules) {
    const row = rowFor(m.address);
    row.tr.dataset.status = m.status;
    row.status.textContent = m.message || WORDS[m.status] || m.status;
    if (m.values) {
      row.inputs.forEach((input, i) => {
        const edited = input.value !== (row.known ? String(row.known[i]) : '');
        if (took.has(m.address) || !edited) input.value = m.values[i];
      });
      row.known = m.values;
    }
    check(row);
  }
  const log = $('log');
  log.textContent = state.log.join('\n');
  log.scrollTop = log.scrollHeight;
  // The browser test takes the time to the first rows from this mark.
  if (rows.size && !performance.getEntriesByName('first-rows').length) {
    performance.mark('first-rows');
  }
}

function setBusy(on) {
  busy = on;
  stopping = false;
  const active = document.activeElement;
  for (const id of ['discover', 'read', 'write']) $(id).disabled = on;
  $('cancel').disabled = !on;
  // A keyboard user whose button just went grey keeps a place to be.
  if (on && active && active.disabled) $('cancel').focus();
  if (!on && active === $('cancel')) $('read').focus();
}

function progress(job) {
  const bar = $('progress');
  const running = job.state === 'running';
  if (running && !job.total) {
    bar.removeAttribute('value');
  } else {
    bar.max = job.total || 1;
    bar.value = job.total ? job.done : 0;
  }
  const kind = KINDS[job.kind] || job.kind;
  if (running) {
    $('job').textContent = (job.total
      ? `${kind}: module ${Math.min(job.done + 1, job.total)} of ${job.total}`
      : `${kind}: listening…`) + (stopping ? '; stopping after this module' : '');
    return;
  }
  const count = {};
  for (const r of job.results) count[r.status] = (count[r.status] || 0) + 1;
  const counts = Object.entries(count).map(([s, n]) => `${n} ${WORDS[s] || s}`);
  let text = job.kind === 'discover'
    ? `${kind}: ${job.results.length} found`
    : `${kind}: ${counts.join(', ') || 'none'}`;
  if (job.state === 'cancelled') text += `; cancelled after ${job.done} of ${job.total}`;
  $('job').textContent = text;
}

async function follow(id) {
  setBusy(true);
  let job = null;
  for (let misses = 0; ;) {
    try {
      job = await api(`job/${id}`);
      misses = 0;
      progress(job);
      if (job.state !== 'running') break;
    } catch (e) {
      // A request lost now and then is no reason to give the job up; an answer that says no is.
      if (e.status || ++misses > 10) {
        notice(e.message);
        break;
      }
    }
    await pause(200);
  }
  const took = new Set();
  for (const r of job ? job.results : []) {
    if (r.values && (r.status === 'read' || r.status === 'written')) took.add(r.address);
  }
  try {
    render(await api('state'), took);
  } catch (e) {
    notice(e.message);
  }
  setBusy(false);
}

async function start(path, body) {
  if (busy) return;
  notice('');
  setBusy(true);
  let id;
  try {
    id = (await api(path, body)).job;
  } catch (e) {
    notice(e.message);
    setBusy(false);
    return;
  }
  await follow(id);
}

function read() {
  let list = $('addresses').value.trim();
  if (!list) {
    const picked = sortedRows().filter((r) => r.pick.checked);
    list = ranges((picked.length ? picked : sortedRows()).map((r) => r.address));
  }
  if (!list) {
    notice('Name the modules to read, such as 1-3,12, or find them first.');
    return;
  }
  start('read', { addresses: list });
}

const refused = (addresses) => 'Values are whole numbers from 0 to 255, sixteen to a module: '
  + `correct module ${addresses.join(', ')} first.`;

function write() {
  const modules = [];
  const wrong = [];
  for (const row of sortedRows()) {
    const values = check(row);
    if (!row.inputs.some((i) => i.matches('.changed, .invalid'))) continue;
    if (values.includes(null)) wrong.push(row.address);
    else modules.push({ address: row.address, values });
  }
  if (wrong.length) notice(refused(wrong));
  else if (!modules.length) notice('Nothing to write: change a value or load a file first.', false);
  else start('write', { modules });
}

function save() {
  let text = '';
  const wrong = [];
  for (const row of sortedRows()) {
    const values = check(row);
    if (!values.includes(null)) text += `${row.address}: ${values.join(' ')}\r\n`;
    else if (row.inputs.some((i) => i.value.trim() !== '')) wrong.push(row.address);
  }
  if (wrong.length) return notice(refused(wrong));
  if (!text) return notice('Nothing to save: read the modules first.', false);
  const url = URL.createObjectURL(new Blob([text], { type: 'text/plain' }));
  const a = el('a', { href: url, download: 'sens.txt' });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

async function load() {
  const input = $('load');
  const file = input.files[0];
  if (!file) return;
  let res;
  try {
    res = await api('parse', { text: await file.text() });
  } catch (e) {
    notice(`${file.name}: ${e.message}`);
    return;
  } finally {
    // The same file chosen again, after an edit, is a new load.
    input.value = '';
  }
  for (const m of res.modules) {
    const row = rowFor(m.address);
    row.inputs.forEach((cell, i) => { cell.value = m.values[i]; });
    check(row);
  }
  const n = res.modules.length;
  notice([`${file.name}: ${n} module${n === 1 ? '' : 's'} loaded; Write sends what changed.`,
    ...res.warnings].join('\n'), res.warnings.length > 0);
}

function wire() {
  if (wired) return;
  wired = true;
  $('discover').addEventListener('click', () => start('discover', {}));
  $('read').addEventListener('click', read);
  $('addresses').addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && !busy) read();
  });
  $('write').addEventListener('click', write);
  $('cancel').addEventListener('click', () => {
    stopping = true;
    api('cancel', {}).catch((e) => notice(e.message));
  });
  // What was typed or loaded lives in this page alone until Write.
  window.addEventListener('beforeunload', (e) => {
    if (!document.querySelector('#modules input.changed')) return;
    e.preventDefault();
    e.returnValue = '';
  });
  $('save').addEventListener('click', save);
  $('load').addEventListener('change', load);
  document.querySelector('#modules tbody').addEventListener('input', (e) => {
    if (e.target.dataset.cv) check(rows.get(Number(e.target.closest('tr').dataset.address)));
  });
}

function main(state) {
  $('connect').hidden = true;
  $('main').hidden = false;
  wire();
  render(state);
  if (state.busy && state.job !== null) follow(state.job);
}

async function connect() {
  const { kinds, ports } = await api('ports');
  const kind = $('interface');
  const port = $('port');
  for (const k of kinds) kind.add(new Option(`${k.desc} (${k.name})`, k.name));
  for (const p of ports) $('serial-ports').append(new Option(p));
  const fit = () => {
    const k = kinds.find((x) => x.name === kind.value);
    const serial = k.port === 'serial';
    // A port offered for one kind is no answer for the other.
    if (port.value === '' || ports.includes(port.value)) {
      port.value = serial && ports.length ? ports[0] : '';
    }
    if (serial) {
      port.setAttribute('list', 'serial-ports');
      port.placeholder = '/dev/ttyUSB0';
      $('port-hint').textContent = ports.length
        ? 'The serial port of the interface: choose or type it.'
        : 'No serial port found: plug the interface in and reload, or type its path.';
    } else {
      port.removeAttribute('list');
      port.placeholder = k.default_port ? 'HOST[:PORT]' : 'HOST:PORT';
      $('port-hint').textContent = k.default_port
        ? `Host name or address, then :PORT unless it is ${k.default_port}.`
        : 'Host name or address, and :PORT.';
    }
  };
  kind.addEventListener('change', fit);
  fit();
  const open = async () => {
    $('open').disabled = true;
    notice('');
    try {
      await api('open', { interface: kind.value, port: port.value.trim() });
    } catch (e) {
      // 409: another page opened one meanwhile, and that one is used.
      if (e.status !== 409) {
        notice(e.message);
        $('open').disabled = false;
        return;
      }
    }
    try {
      main(await api('state'));
    } catch (e) {
      notice(e.message);
    }
  };
  $('open').addEventListener('click', open);
  port.addEventListener('keydown', (e) => {
    if (e.key === 'Enter') open();
  });
  $('connect').hidden = false;
  kind.focus();
}

async function boot() {
  // The address pasted into the same tab, or sens started again, brings a new token.
  window.addEventListener('hashchange', () => location.reload());
  if (!token) {
    notice('Open the address sens printed: it carries the token');
    return;
  }
  try {
    const state = await api('state');
    if (state.open) main(state);
    else await connect();
  } catch (e) {
    notice(e.message);
  }
}

boot();
