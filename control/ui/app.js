// The page of the units: everything through the control API's own routes, as a harness uses them.
'use strict';

const PAGE_SIZE = 50;
const MAX_ROWS = 5000;
const UNITS_MS = 1000;
const FAULTS_MS = 2000;
const METRICS_MS = 3000;
const JOURNAL_PAGE = 1000;

const $ = (id) => document.getElementById(id);

const page = {
  token: null,
  units: [],
  pageIndex: 0,
  search: '',
  chosen: null,
  faults: new Map(),     // unit id -> its rules
  clients: new Map(),    // unit id -> the peer a line event named since the page opened
  events: [],            // the chosen unit's newest events, oldest first
  shown: [],             // those of them the filters pass
  picked: null,          // the seq of the event shown whole
  rowHeight: 20,
  viewHeight: 0,         // the journal box's height, kept by a ResizeObserver
  incoming: [],          // events not drawn yet
  pending: [],           // events that came while paused
  queued: [],            // events that came while the journal was being read
  loading: false,
  paused: false,
  lastSeq: 0,
  commands: new Set(),
  types: new Set(),
  drawQueued: false,
  generation: 0,
};

// How long each update of the page took, for tests and the benchmark.
const stats = { updates: 0, maxMs: 0, totalMs: 0, lastMs: 0, byKind: {}, samples: [] };
window.varnelStats = stats;

// Frames the browser itself found long (over 50 ms), style, layout and paint included.
stats.longFrames = [];
if (window.PerformanceObserver && PerformanceObserver.supportedEntryTypes.includes('long-animation-frame')) {
  new PerformanceObserver((list) => {
    for (const frame of list.getEntries()) {
      const end = frame.startTime + frame.duration;
      if (stats.longFrames.length < 1000) {
        stats.longFrames.push([frame.duration, frame.renderStart ? end - frame.renderStart : 0, frame.startTime]);
      }
    }
  }).observe({ type: 'long-animation-frame', buffered: true });
}

let measuring = false;

function measure(kind, work) {
  // An update drawn inside another is part of that one.
  if (measuring) return work();
  measuring = true;
  const start = performance.now();
  try {
    work();
  } finally {
    measuring = false;
  }
  const scripted = performance.now();
  // The layout it causes counts too.
  void document.body.offsetHeight;
  const end = performance.now();
  const ms = end - start;
  stats.updates += 1;
  stats.totalMs += ms;
  stats.lastMs = ms;
  stats.maxMs = Math.max(stats.maxMs, ms);
  if (stats.samples.length < 20000) stats.samples.push([kind, ms, scripted - start]);
  const entry = stats.byKind[kind] || (stats.byKind[kind] = { updates: 0, maxMs: 0 });
  entry.updates += 1;
  entry.maxMs = Math.max(entry.maxMs, ms);
}

// -- the API ----------------------------------------------------------------------------------

class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

let tokenWanted = null;

// The token is asked for once, when the API first answers 401, and sent as a header only.
function askToken() {
  if (!tokenWanted) {
    tokenWanted = new Promise((resolve) => {
      const dialog = $('token-dialog');
      const form = $('token-form');
      form.onsubmit = () => {
        page.token = $('token-input').value;
        $('token-input').value = '';
        tokenWanted = null;
        resolve();
      };
      dialog.showModal();
    });
  }
  return tokenWanted;
}

function errorText(status, text) {
  try {
    const body = JSON.parse(text);
    if (body && typeof body.error === 'string') return body.error;
  } catch (e) { /* not JSON: shown as it came */ }
  return text.trim() || 'HTTP ' + status;
}

// Every change goes as JSON with its content type; the page's own origin only.
async function api(method, path, body, options = {}) {
  for (;;) {
    const headers = {};
    if (page.token) headers.Authorization = 'Bearer ' + page.token;
    const init = { method, headers, cache: 'no-store', credentials: 'omit' };
    if (method !== 'GET') {
      headers['Content-Type'] = 'application/json';
      if (body !== undefined) init.body = typeof body === 'string' ? body : JSON.stringify(body);
    }
    const response = await fetch(path, init);
    if (response.status === 401) {
      await askToken();
      continue;
    }
    if (options.stream && response.ok) return response;
    const text = await response.text();
    if (!response.ok) throw new ApiError(response.status, errorText(response.status, text));
    if (options.text) return text;
    return text ? JSON.parse(text) : null;
  }
}

function show(text, ok) {
  const box = $('message');
  box.textContent = text;
  box.className = ok ? 'done' : 'error';
}

async function act(work, done) {
  try {
    const answer = await work();
    show(typeof done === 'function' ? done(answer) : done, true);
    refreshFaults(page.chosen);
    refreshUnits();
  } catch (error) {
    show(error.message, false);
  }
}

// -- the units ------------------------------------------------------------------------------

function matching() {
  const wanted = page.search.trim().toLowerCase();
  if (!wanted) return page.units;
  return page.units.filter((unit) => String(unit.id) === wanted ||
                                      (unit.endpoint || '').toLowerCase().includes(wanted));
}

// Writes only what changed: an unchanged text costs no style or layout.
function setText(element, text) {
  const value = String(text);
  if (element.textContent !== value) element.textContent = value;
}

function cell(row, text, className) {
  const td = document.createElement('td');
  td.textContent = text;
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}

function faultSummary(rules) {
  if (!rules) return '';
  if (!rules.length) return 'none';
  return rules.map((rule) => rule.rule + ' (' + rule.state + ', ' + rule.fired + ')').join('; ');
}

function visibleUnits() {
  const list = matching();
  const pages = Math.max(1, Math.ceil(list.length / PAGE_SIZE));
  page.pageIndex = Math.min(page.pageIndex, pages - 1);
  return { list, pages, shown: list.slice(page.pageIndex * PAGE_SIZE, (page.pageIndex + 1) * PAGE_SIZE) };
}

function unitRow() {
  const row = document.createElement('tr');
  for (const className of ['', '', '', '', '', '', 'rules']) cell(row, '', className);
  return row;
}

function fillUpload(td, upload) {
  if (!upload) {
    if (td.firstChild) td.textContent = '';
    return;
  }
  let bar = td.firstChild;
  if (!bar) {
    bar = td.appendChild(document.createElement('progress'));
    td.appendChild(document.createTextNode(''));
  }
  const max = Math.max(1, upload.total);
  if (bar.max !== max) bar.max = max;
  if (bar.value !== upload.sent) bar.value = upload.sent;
  const text = ' ' + upload.sent + '/' + upload.total;
  if (bar.nextSibling.data !== text) bar.nextSibling.data = text;
}

// The page's rows are kept and only their changed cells written.
function fillUnit(row, unit) {
  if (row.dataset.unit !== String(unit.id)) row.dataset.unit = unit.id;
  row.classList.toggle('chosen', unit.id === page.chosen);
  const cells = row.cells;
  setText(cells[0], unit.id);
  setText(cells[1], unit.endpoint || '(window)');
  setText(cells[2], unit.line);
  if (cells[2].className !== 'line-' + unit.line) cells[2].className = 'line-' + unit.line;
  setText(cells[3], unit.connected ? (page.clients.get(unit.id) || 'connected') : '—');
  setText(cells[4], unit.records);
  fillUpload(cells[5], unit.upload);
  setText(cells[6], faultSummary(page.faults.get(unit.id)));
}

function drawUnits() {
  page.unitsQueued = false;
  measure('units', () => {
    const { list, pages, shown } = visibleUnits();
    const body = $('units').tBodies[0];
    while (body.rows.length > shown.length) body.rows[body.rows.length - 1].remove();
    while (body.rows.length < shown.length) body.appendChild(unitRow());
    shown.forEach((unit, i) => fillUnit(body.rows[i], unit));
    setText($('page-info'), list.length + ' of ' + page.units.length + ' units, page ' +
                            (page.pageIndex + 1) + '/' + pages);
    let connected = 0;
    for (const unit of page.units) if (unit.connected) connected += 1;
    setText($('summary'), page.units.length + ' units, ' + connected + ' connected');
    const chosen = page.units.find((unit) => unit.id === page.chosen);
    if (chosen) {
      setText($('unit-title'), 'Unit ' + chosen.id + ' · ' + (chosen.endpoint || '(window)') + ' · ' +
                               chosen.line + ' · ' + chosen.records + ' records');
    }
  });
}

// Keystrokes and clicks in one frame make one drawing of the list.
function queueUnits() {
  if (page.unitsQueued) return;
  page.unitsQueued = true;
  requestAnimationFrame(drawUnits);
}

async function refreshUnits() {
  try {
    const text = await api('GET', '/units', undefined, { text: true });
    // Most seconds nothing changed: no parse, no drawing.
    if (text === page.unitsText && !page.unitsStale) return;
    page.unitsText = text;
    page.unitsStale = false;
    // Reading the list is part of the update.
    measure('units', () => {
      page.units = JSON.parse(text);
      drawUnits();
    });
  } catch (error) {
    $('summary').textContent = 'GET /units: ' + error.message;
  }
}

async function refreshFaults(id) {
  if (!id) return;
  try {
    page.faults.set(id, await api('GET', '/units/' + id + '/faults'));
    if (id === page.chosen) drawFaults();
  } catch (error) {
    page.faults.delete(id);
  }
}

// The rules of the units on the page, a few requests at a time.
async function refreshPageFaults() {
  const ids = visibleUnits().shown.map((unit) => unit.id);
  for (let i = 0; i < ids.length; i += 6) await Promise.all(ids.slice(i, i + 6).map(refreshFaults));
  drawUnits();
}

function drawFaults() {
  measure('faults', () => {
    const body = document.createElement('tbody');
    for (const rule of page.faults.get(page.chosen) || []) {
      const row = document.createElement('tr');
      cell(row, rule.rule);
      cell(row, rule.state);
      cell(row, rule.fired);
      const remove = document.createElement('button');
      remove.className = 'remove';
      remove.type = 'button';
      remove.textContent = '✕';
      remove.title = 'remove rule ' + rule.id;
      remove.onclick = () => act(() => api('DELETE', '/units/' + page.chosen + '/faults/' + rule.id),
                                 'rule ' + rule.id + ' removed');
      row.appendChild(document.createElement('td')).appendChild(remove);
      body.appendChild(row);
    }
    $('faults').replaceChild(body, $('faults').tBodies[0]);
  });
}

// -- the journal --------------------------------------------------------------------------------

const FRAME_TYPES = { request: 'PC → unit', reply: 'unit → PC', record: 'unit → PC' };
const SHOWN_ELSEWHERE = new Set(['seq', 't', 'unit', 'type', 'hex', 'cmd', 'name', 'fields']);

function fieldsText(event) {
  if (Array.isArray(event.fields)) {
    return event.fields.map((f) => (f[2] ? f[2] + '.' : '') + (f[0] ? f[0] + '=' : '') + f[1]).join(', ');
  }
  return Object.keys(event).filter((key) => !SHOWN_ELSEWHERE.has(key))
    .map((key) => key + '=' + (typeof event[key] === 'object' ? JSON.stringify(event[key]) : event[key]))
    .join(', ');
}

function commandOf(event) {
  if (event.name) return event.name;
  if (event.type === 'record') return 'record ' + event.sequence;
  return '';
}

// The filters as chosen now, read once for a batch of events.
function filters() {
  const command = $('filter-command').value;
  const type = $('filter-type').value;
  return (event) => (!type || event.type === type) && (!command || event.name === command);
}

function addOption(select, seen, value) {
  if (!value || seen.has(value)) return;
  seen.add(value);
  const option = document.createElement('option');
  option.value = value;
  option.textContent = value;
  select.appendChild(option);
}

function rowOf(event) {
  const row = document.createElement('tr');
  row.className = event.type;
  row.dataset.seq = event.seq;
  cell(row, event.seq);
  cell(row, (event.t || '').slice(11, 26));
  cell(row, FRAME_TYPES[event.type] || '', 'dir');
  cell(row, event.type);
  cell(row, commandOf(event), 'command');
  cell(row, fieldsText(event), 'fields');
  return row;
}

// A click on an event shows it whole, its bytes too, under the journal.
function pick(seq) {
  const event = page.events.find((e) => e.seq === seq);
  page.picked = event ? seq : null;
  $('event-detail').hidden = !event;
  if (event) {
    $('event-title').textContent = '#' + event.seq + ' ' + event.t + ' ' + event.type + ' ' + commandOf(event);
    $('event-fields').textContent = fieldsText(event).split(', ').join('\n');
    $('event-hex').textContent = event.hex ? event.hex.replace(/(..)/g, '$1 ').trim().toUpperCase() : '';
  }
  for (const row of $('journal').tBodies[0].rows) row.classList.toggle('picked', row.seq === page.picked);
}

function drawJournalInfo() {
  setText($('journal-info'), page.events.length + ' kept, ' + page.shown.length + ' shown' +
    (page.paused ? ', paused with ' + page.pending.length + ' new' : ''));
}

// Only the rows in sight are in the page, newest on top, so an update costs the same with
// 5000 events kept as with 50. Rows still in sight are kept: a new event adds one row and
// drops one, it does not redraw the window. The box's geometry is read before anything is
// written, so drawing forces no layout of its own.
function drawWindow(scrollTop = $('journal-box').scrollTop) {
  const table = $('journal');
  const body = table.tBodies[0];
  const rows = body.rows;
  const total = page.shown.length;
  const spacer = total * page.rowHeight + 'px';
  if ($('journal-spacer').style.height !== spacer) $('journal-spacer').style.height = spacer;
  // Where the box will clamp an offset past the new end.
  const top = Math.min(scrollTop, Math.max(0, total * page.rowHeight - page.viewHeight));
  const first = Math.max(0, Math.floor(top / page.rowHeight) - 5);
  const last = Math.min(total, first + Math.ceil(page.viewHeight / page.rowHeight) + 10);
  if (first >= last) {
    body.textContent = '';
  } else {
    const high = page.shown[total - 1 - first].seq;
    const low = page.shown[total - last].seq;
    while (rows.length && rows[0].seq > high) rows[0].remove();
    while (rows.length && rows[rows.length - 1].seq < low) rows[rows.length - 1].remove();
    const newest = rows.length ? rows[0].seq : Infinity;
    const oldest = rows.length ? rows[rows.length - 1].seq : Infinity;
    const above = document.createDocumentFragment();
    const below = document.createDocumentFragment();
    for (let i = first; i < last; i += 1) {
      const event = page.shown[total - 1 - i];
      if (event.seq > newest) above.appendChild(journalRow(event));
      else if (event.seq < oldest) below.appendChild(journalRow(event));
    }
    body.insertBefore(above, body.firstChild);
    body.appendChild(below);
  }
  const offset = first * page.rowHeight + 'px';
  if (table.style.top !== offset) table.style.top = offset;
  if (rows.length && !page.rowMeasured) {
    page.rowHeight = rows[0].getBoundingClientRect().height || page.rowHeight;
    page.rowMeasured = true;
  }
}

function journalRow(event) {
  const row = rowOf(event);
  row.seq = event.seq;
  if (event.seq === page.picked) row.classList.add('picked');
  return row;
}

// New events go on top; beyond the newest MAX_ROWS the oldest go. A reader scrolled down keeps
// the rows in sight.
function drawIncoming() {
  page.drawQueued = false;
  if (!page.incoming.length) return;
  measure('journal', () => {
    const box = $('journal-box');
    let scrollTop = box.scrollTop;
    const fresh = page.incoming;
    page.incoming = [];
    let added = 0;
    const passes = filters();
    const commands = $('filter-command');
    const types = $('filter-type');
    for (const event of fresh) {
      addOption(commands, page.commands, event.name);
      addOption(types, page.types, event.type);
      if (passes(event)) {
        page.shown.push(event);
        added += 1;
      }
    }
    page.events.push(...fresh);
    if (page.events.length > MAX_ROWS) page.events.splice(0, page.events.length - MAX_ROWS);
    const oldest = page.events[0].seq;
    let gone = 0;
    while (gone < page.shown.length && page.shown[gone].seq < oldest) gone += 1;
    if (gone) page.shown.splice(0, gone);
    if (scrollTop > 0 && added) {
      // The spacer grows first, or the box would clamp the new offset.
      $('journal-spacer').style.height = page.shown.length * page.rowHeight + 'px';
      scrollTop += added * page.rowHeight;
      box.scrollTop = scrollTop;
    }
    drawWindow(scrollTop);
    drawJournalInfo();
  });
}

function drawJournal() {
  measure('journal-filter', () => {
    const scrollTop = $('journal-box').scrollTop;
    page.shown = page.events.filter(filters());
    $('journal').tBodies[0].textContent = '';
    drawWindow(scrollTop);
    drawJournalInfo();
  });
}

function take(events) {
  const fresh = events.filter((event) => event.seq > page.lastSeq);
  if (!fresh.length) return;
  page.lastSeq = fresh[fresh.length - 1].seq;
  if (page.paused) {
    page.pending.push(...fresh);
    if (page.pending.length > MAX_ROWS) page.pending.splice(0, page.pending.length - MAX_ROWS);
    drawJournalInfo();
    return;
  }
  page.incoming.push(...fresh);
  if (!page.drawQueued) {
    page.drawQueued = true;
    requestAnimationFrame(drawIncoming);
  }
}

async function hasEventsAfter(id, seq) {
  const answer = await api('GET', '/units/' + id + '/journal?after=' + seq + '&limit=1');
  return answer.events.length > 0;
}

// The newest MAX_ROWS events: the last seq is found by halving, then read in pages.
async function loadJournal(id, generation) {
  let high = 1;
  while (await hasEventsAfter(id, high)) high *= 2;
  let low = 0;
  while (high - low > 1) {
    const middle = Math.floor((low + high) / 2);
    if (await hasEventsAfter(id, middle)) low = middle; else high = middle;
  }
  let after = Math.max(0, high - MAX_ROWS);
  const events = [];
  for (;;) {
    const answer = await api('GET', '/units/' + id + '/journal?after=' + after + '&limit=' + JOURNAL_PAGE);
    if (generation !== page.generation) return;
    events.push(...answer.events);
    if (!answer.events.length || answer.next <= after) break;
    after = answer.next;
  }
  page.loading = false;
  take(events.slice(-MAX_ROWS));
  take(page.queued);
  page.queued = [];
}

function choose(id) {
  page.chosen = id;
  page.generation += 1;
  page.events = [];
  page.shown = [];
  page.picked = null;
  $('event-detail').hidden = true;
  page.incoming = [];
  page.pending = [];
  page.queued = [];
  page.lastSeq = 0;
  page.loading = true;
  $('unit-pane').hidden = false;
  $('journal').tBodies[0].textContent = '';
  drawWindow();
  $('message').textContent = '';
  const unit = page.units.find((entry) => entry.id === id);
  $('records-count').value = unit ? unit.records : '';
  drawUnits();
  refreshFaults(id);
  refreshMetrics();
  const generation = page.generation;
  loadJournal(id, generation).catch((error) => {
    if (generation === page.generation) show('journal: ' + error.message, false);
  });
}

function onStreamEvent(event) {
  if (event.type === 'line' && event.event === 'client connected') page.clients.set(event.unit, event.peer);
  else if (event.type === 'line') page.clients.delete(event.unit);
  if (event.type === 'line') page.unitsStale = true;
  if (event.unit !== page.chosen) return;
  if (event.type === 'reply' && !page.metricsQueued) {
    page.metricsQueued = true;
    setTimeout(() => { page.metricsQueued = false; refreshMetrics(); }, page.units.length > 100 ? 2000 : 500);
  }
  if (event.type === 'fault' && !page.faultRefreshQueued) {
    page.faultRefreshQueued = true;
    setTimeout(() => { page.faultRefreshQueued = false; refreshFaults(page.chosen); }, 200);
  }
  if (page.loading) page.queued.push(event); else take([event]);
}

// Whether an event line is worth parsing: the chosen unit's, or a line event of any unit.
function wanted(line) {
  const at = line.indexOf('"unit":');
  if (at < 0) return true;
  const unit = parseInt(line.slice(at + 7, at + 17), 10);
  return unit === page.chosen || line.includes('"type":"line"');
}

// The event stream read through fetch, so the token goes as a header.
async function followEvents() {
  for (;;) {
    try {
      const response = await api('GET', '/events', undefined, { stream: true });
      $('stream-state').textContent = 'live';
      const reader = response.body.getReader();
      const decoder = new TextDecoder();
      let buffer = '';
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        measure('stream', () => {
          buffer += decoder.decode(value, { stream: true });
          let end;
          while ((end = buffer.indexOf('\n\n')) >= 0) {
            const block = buffer.slice(0, end);
            buffer = buffer.slice(end + 2);
            let kind = 'message';
            for (const line of block.split('\n')) {
              if (line.startsWith('event: ')) kind = line.slice(7);
              else if (line.startsWith('data: ') && kind === 'message' && wanted(line)) {
                onStreamEvent(JSON.parse(line.slice(6)));
              }
              else if (line.startsWith('data: ') && kind === 'lost') {
                $('stream-state').textContent = 'live (' + JSON.parse(line.slice(6)).lost + ' events lost)';
              }
            }
          }
        });
      }
      $('stream-state').textContent = 'event stream ended; reconnecting';
    } catch (error) {
      $('stream-state').textContent = 'event stream: ' + error.message + '; reconnecting';
    }
    await new Promise((resolve) => setTimeout(resolve, 2000));
  }
}

// -- reply latency ----------------------------------------------------------------------------

const BUCKET = /^command="((?:[^"\\]|\\.)*)",le="([^"]+)"\} (\d+)/;

// Only the chosen unit's lines are read: with many units the scrape is long.
function histograms(text, unit) {
  const byCommand = new Map();
  const prefix = '\nvarnel_command_reply_latency_seconds_bucket{unit="' + unit + '",';
  for (let at = text.indexOf(prefix); at >= 0; at = text.indexOf(prefix, at + prefix.length)) {
    const end = text.indexOf('\n', at + 1);
    const match = BUCKET.exec(text.slice(at + prefix.length, end < 0 ? text.length : end));
    if (!match) continue;
    if (!byCommand.has(match[1])) byCommand.set(match[1], []);
    byCommand.get(match[1]).push({ le: match[2], cumulative: Number(match[3]) });
  }
  return byCommand;
}

function bucketLabel(le) {
  if (le === '+Inf') return '>5s';
  const seconds = Number(le);
  return seconds < 1 ? (seconds * 1000) + 'ms' : seconds + 's';
}

function drawLatency(byCommand) {
  measure('latency', () => {
    const canvas = $('latency');
    const rowHeight = 46;
    const left = 150;
    const commands = [...byCommand.keys()];
    canvas.dataset.commands = commands.join(' ');
    canvas.height = Math.max(1, commands.length) * rowHeight + 18;
    const ctx = canvas.getContext('2d');
    ctx.clearRect(0, 0, canvas.width, canvas.height);
    ctx.font = '11px sans-serif';
    ctx.fillStyle = '#888';
    if (!commands.length) {
      ctx.fillText('no reply yet', 8, 20);
      return;
    }
    commands.forEach((command, index) => {
      const buckets = byCommand.get(command);
      const counts = buckets.map((b, i) => b.cumulative - (i ? buckets[i - 1].cumulative : 0));
      const total = buckets[buckets.length - 1].cumulative;
      const most = Math.max(1, ...counts);
      const top = index * rowHeight + 4;
      const width = (canvas.width - left - 8) / counts.length;
      ctx.fillStyle = '#222';
      ctx.fillText(command, 4, top + 14);
      ctx.fillStyle = '#888';
      ctx.fillText(total + ' replies', 4, top + 28);
      counts.forEach((count, i) => {
        const height = Math.round((rowHeight - 28) * count / most);
        ctx.fillStyle = '#2b4a6b';
        ctx.fillRect(left + i * width + 1, top + rowHeight - 14 - height, width - 2, height);
        if (count) {
          ctx.fillStyle = '#222';
          ctx.fillText(String(count), left + i * width + 2, top + rowHeight - 16 - height);
        }
      });
    });
    ctx.fillStyle = '#888';
    const buckets = byCommand.get(commands[0]);
    const width = (canvas.width - left - 8) / buckets.length;
    buckets.forEach((bucket, i) => ctx.fillText('≤' + bucketLabel(bucket.le), left + i * width + 1,
                                                canvas.height - 4));
  });
}

async function refreshMetrics() {
  if (!page.chosen) return;
  try {
    const text = await api('GET', '/metrics', undefined, { text: true });
    measure('latency', () => drawLatency(histograms(text, page.chosen)));
  } catch (error) {
    show('GET /metrics: ' + error.message, false);
  }
}

// -- actions ------------------------------------------------------------------------------------

function unitPath(route) {
  return '/units/' + page.chosen + '/' + route;
}

function wire() {
  $('units').addEventListener('click', (e) => {
    const row = e.target.closest('tr[data-unit]');
    if (row) choose(Number(row.dataset.unit));
  });
  $('unit-search').addEventListener('input', (e) => {
    page.search = e.target.value;
    page.pageIndex = 0;
    queueUnits();
    refreshPageFaults();
  });
  $('page-prev').onclick = () => { page.pageIndex = Math.max(0, page.pageIndex - 1); queueUnits(); refreshPageFaults(); };
  $('page-next').onclick = () => { page.pageIndex += 1; queueUnits(); refreshPageFaults(); };
  $('fault-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const rule = $('fault-rule').value;
    act(() => api('POST', unitPath('faults'), { rule }), (added) => 'rule ' + added.id + ' added: ' + added.rule);
  });
  $('records-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const count = Number($('records-count').value);
    act(() => api('PUT', unitPath('records'), { count }), (answer) => 'records per upload: ' + answer.count);
  });
  $('stop-upload').onclick = () => act(() => api('POST', unitPath('stop')),
                                       (answer) => answer.uploading ? 'upload stopped' : 'no upload was running');
  $('reset-unit').onclick = () => act(() => api('POST', unitPath('reset')), 'unit reset');
  $('scenario-file').addEventListener('change', async (e) => {
    const file = e.target.files[0];
    if (file) $('scenario-text').value = await file.text();
  });
  $('scenario-load').onclick = () => act(() => api('POST', unitPath('scenario'), $('scenario-text').value),
                                         'scenario loaded');
  $('filter-command').onchange = drawJournal;
  $('filter-type').onchange = drawJournal;
  $('pause').onclick = () => {
    page.paused = !page.paused;
    $('pause').textContent = page.paused ? 'Resume' : 'Pause';
    if (!page.paused) {
      const waiting = page.pending;
      page.pending = [];
      page.incoming.push(...waiting);
      drawIncoming();
    }
    drawJournalInfo();
  };
  $('journal').addEventListener('click', (e) => {
    const row = e.target.closest('tr[data-seq]');
    if (row) pick(Number(row.dataset.seq));
  });
  new ResizeObserver((entries) => {
    const height = entries[entries.length - 1].contentRect.height;
    if (height === page.viewHeight) return;
    page.viewHeight = height;
    measure('scroll', () => drawWindow());
  }).observe($('journal-box'));
  $('journal-box').addEventListener('scroll', () => {
    if (!page.scrollQueued) {
      page.scrollQueued = true;
      requestAnimationFrame(() => { page.scrollQueued = false; measure('scroll', () => drawWindow()); });
    }
  });
}

async function start() {
  wire();
  await refreshUnits();
  const first = new URLSearchParams(location.search).get('unit');
  if (first && page.units.some((unit) => unit.id === Number(first))) choose(Number(first));
  else if (page.units.length === 1) choose(page.units[0].id);
  refreshPageFaults();
  followEvents();
  setInterval(refreshUnits, UNITS_MS);
  setInterval(() => { refreshPageFaults(); }, FAULTS_MS);
  setInterval(refreshMetrics, METRICS_MS);
}

start();
