// The gateway's web console: the overview (/) and a module's page
// (/module/<name>). No library and no build step; the gateway serves this
// file as it is. Values arrive as the module's own text and are shown as
// such; the live stream (/api/events) sends only rows that changed.
'use strict';

// ---- helpers ---------------------------------------------------------------

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function setText(e, text) {
  // Writing the same text again still costs a layout; 1000 rows tick each second.
  if (e.textContent !== text) e.textContent = text;
}

function ageText(ms) {
  if (ms === null || ms === undefined) return '—';
  const s = Math.max(0, (Date.now() - ms) / 1000);
  if (s < 10) return s.toFixed(1) + ' s';
  if (s < 120) return Math.round(s) + ' s';
  if (s < 7200) return Math.round(s / 60) + ' min';
  if (s < 172800) return Math.round(s / 3600) + ' h';
  return Math.round(s / 86400) + ' d';
}

function clockText(ms) {
  if (ms === null || ms === undefined) return '';
  const d = new Date(ms);
  const sameDay = new Date().toDateString() === d.toDateString();
  return sameDay ? d.toLocaleTimeString() : d.toLocaleString();
}

function shareText(share) {
  return share === null || share === undefined ? '—' : Math.round(share * 100) + ' %';
}

function summaryText(g) {
  if (!g) return '';
  const broker = g.broker_connected === null || g.broker_connected === undefined ? 'no MQTT output'
    : g.broker_connected ? 'broker connected' : 'broker not connected';
  const polls = typeof g.polls_per_s === 'number' ? g.polls_per_s.toFixed(1) : '—';
  return `${g.online} of ${g.configured} modules online · ${polls} polls/s · ${broker}`;
}

// A quality that is not "good" is shown as a word, never as a number.
function valueSpan(v, q, unit) {
  if (q !== 'good' || v === null || v === undefined) return el('span', 'q-' + (q || 'none'), q || '—');
  return el('span', 'v', unit ? `${v} ${unit}` : String(v));
}

function dot(on, label) {
  const d = el('span', on ? 'dot on' : 'dot');
  d.title = `${label} ${on ? 'on' : 'off'}`;
  return d;
}

function sensorText(s) {
  if (s === null || s === undefined) return '—';
  if (typeof s === 'object') return s.value !== undefined ? String(s.value) : JSON.stringify(s);
  return String(s);
}

// The live stream, opened again by hand when the server refused it (a 503
// beyond its client limit ends EventSource's own retries).
function liveStream(url, handlers, onOpen) {
  const status = document.getElementById('connection');
  let source = null, opens = 0;
  function open() {
    source = new EventSource(url);
    source.onopen = () => {
      status.hidden = true;
      // Counted for the browser test: a stream that keeps ending shows here.
      document.body.dataset.streamOpens = String(++opens);
      onOpen();
    };
    source.onerror = () => {
      status.hidden = false;
      status.textContent = 'live updates lost; reconnecting…';
      if (source.readyState === EventSource.CLOSED) setTimeout(open, 5000);
    };
    for (const [name, fn] of Object.entries(handlers)) {
      source.addEventListener(name, (ev) => {
        let data;
        try { data = JSON.parse(ev.data); } catch (e) { return; }
        fn(data);
      });
    }
  }
  open();
}

// ---- overview ----------------------------------------------------------------

function overviewPage() {
  const tbody = document.querySelector('#modules tbody');
  const nameFilter = document.getElementById('filter-name');
  const statusFilter = document.getElementById('filter-status');
  const shown = document.getElementById('shown');
  const rows = new Map(); // name -> {tr, cells, data}
  let fullNext = true;    // the first event of each connection holds every row

  function matches(data) {
    const wanted = statusFilter.value;
    const name = nameFilter.value.trim().toLowerCase();
    return (wanted === 'all' || data.status === wanted) && (!name || data.name.toLowerCase().includes(name));
  }

  function countShown() {
    let n = 0;
    for (const r of rows.values()) if (!r.tr.hidden) n++;
    setText(shown, n === rows.size ? `${n} modules` : `${n} of ${rows.size} shown`);
  }

  function makeRow(name) {
    const tr = el('tr');
    const labels = ['Name', 'Model', 'Address', 'Status', 'Last good poll', 'Good (1 min)', 'Values'];
    const cells = labels.map((label) => {
      const td = el('td');
      td.dataset.label = label;
      tr.appendChild(td);
      return td;
    });
    const link = el('a', null, name);
    link.href = '/module/' + encodeURIComponent(name);
    cells[0].appendChild(link);
    cells[3].className = 'status';
    tr.dataset.name = name;
    return { tr, cells, data: null };
  }

  function fillValues(td, values) {
    td.textContent = '';
    if (!values) return;
    const box = el('span', 'values');
    for (const a of values.ai || []) box.appendChild(valueSpan(a.v, a.q, a.unit));
    for (const t of values.tc || []) box.appendChild(valueSpan(t.v, t.q, '°C'));
    for (const [kind, bits] of [['di', values.di], ['do', values.do]]) {
      if (!bits || !bits.length) continue;
      const group = el('span', 'bits-short');
      group.appendChild(el('span', 'muted', kind.toUpperCase()));
      bits.forEach((on, i) => group.appendChild(dot(on, `${kind}/${i + 1}`)));
      box.appendChild(group);
    }
    if (values.sensors && values.sensors.length) {
      const s = el('span', 'sensors-short', 'sensors ' + values.sensors.map(sensorText).join(' '));
      s.title = s.textContent;
      box.appendChild(s);
    }
    td.appendChild(box);
  }

  // Rows off the screen only keep their data; they are drawn once they
  // scroll into view, so that 1000 rows cost what a screenful does.
  const seen = 'IntersectionObserver' in window ? new IntersectionObserver((entries) => {
    for (const e of entries) {
      const r = rows.get(e.target.dataset.name);
      if (!r) continue;
      r.onScreen = e.isIntersecting;
      if (r.onScreen && r.dirty) draw(r);
    }
  }) : null;

  function update(r, data) {
    r.data = data;
    r.tr.hidden = !matches(data);
    if (!seen || r.onScreen || !r.drawn) draw(r);
    else r.dirty = true;
  }

  function draw(r) {
    const data = r.data;
    const old = r.drawn;
    r.drawn = data;
    r.dirty = false;
    const c = r.cells;
    setText(c[1], String(data.model));
    setText(c[2], data.address || '');
    if (!old || old.status !== data.status || old.since !== data.since) {
      c[3].textContent = '';
      c[3].appendChild(el('span', 'badge ' + data.status, data.status));
      if (data.since) {
        const since = el('span', 'since', 'since ' + clockText(data.since));
        since.title = new Date(data.since).toString();
        c[3].appendChild(since);
      }
    }
    setText(c[4], ageText(data.last_good));
    setText(c[5], shareText(data.good_share));
    c[5].classList.toggle('low', typeof data.good_share === 'number' && data.good_share < 0.9);
    if (!old || JSON.stringify(old.values) !== JSON.stringify(data.values)) fillValues(c[6], data.values);
    r.tr.className = data.status;
  }

  function onModules(msg) {
    document.getElementById('summary').textContent = summaryText(msg.gateway);
    if (msg.gateway && msg.gateway.id) setText(document.getElementById('gateway-id'), msg.gateway.id);
    const fresh = document.createDocumentFragment();
    const listed = new Set();
    for (const data of msg.modules || []) {
      listed.add(data.name);
      let r = rows.get(data.name);
      if (!r) {
        r = makeRow(data.name);
        rows.set(data.name, r);
        fresh.appendChild(r.tr);
        if (seen) seen.observe(r.tr);
      }
      update(r, data);
    }
    tbody.appendChild(fresh);
    if (fullNext) {
      // Modules removed (by a reload) while we were away.
      for (const [name, r] of rows) {
        if (listed.has(name)) continue;
        if (seen) seen.unobserve(r.tr);
        r.tr.remove();
        rows.delete(name);
      }
      fullNext = false;
    }
    countShown();
  }

  function refilter() {
    for (const r of rows.values()) r.tr.hidden = !matches(r.data);
    countShown();
  }
  nameFilter.addEventListener('input', refilter);
  statusFilter.addEventListener('change', refilter);
  document.getElementById('filters').addEventListener('submit', (e) => e.preventDefault());

  setInterval(() => {
    for (const r of rows.values()) if (r.drawn && !r.tr.hidden && (r.onScreen || !seen)) setText(r.cells[4], ageText(r.data.last_good));
  }, 1000);

  liveStream('/api/events', { modules: onModules }, () => { fullNext = true; });
}

// ---- module page -------------------------------------------------------------

const TREND_MS = 10 * 60 * 1000;
const TOKEN_KEY = 'kiv-gateway-token';

function modulePage() {
  const name = decodeURIComponent(location.pathname.replace(/^\/module\//, '').replace(/\/$/, ''));
  document.title = name + ' · kiv-gateway';
  setText(document.getElementById('title'), name);
  const trend = { t: [], series: {} };
  const charts = new Map(); // series key -> {path, labels}
  let units = {};           // series key -> unit
  let writable = false;
  let outputs = [];
  let busy = false;

  function fillTable(id, rows, cells) {
    const tbody = document.getElementById(id);
    document.getElementById(id + '-section').hidden = !rows || !rows.length;
    if (!rows) return;
    while (tbody.rows.length > rows.length) tbody.deleteRow(-1);
    rows.forEach((row, i) => {
      const tr = tbody.rows[i] || tbody.insertRow();
      const content = cells(row);
      while (tr.cells.length < content.length) tr.insertCell();
      content.forEach((c, j) => {
        const td = tr.cells[j];
        if (typeof c === 'string') {
          td.className = '';
          setText(td, c);
        } else {
          td.textContent = '';
          td.appendChild(c);
        }
      });
    });
  }

  function showChannels(ch) {
    if (!ch) return;
    fillTable('ai', ch.ai, (a) => [String(a.channel), valueSpan(a.value, a.quality, ''), a.unit || '', a.range || '—', a.quality]);
    fillTable('tc', ch.tc, (t) => [String(t.channel), valueSpan(t.temperature, t.quality, '°C'),
      t.reference === null || t.reference === undefined ? '—' : `${t.reference} °C`, t.quality,
      t.faults && t.faults.length ? t.faults.join(', ') : '—']);
    units = {};
    for (const a of ch.ai || []) units['ai/' + a.channel] = a.unit || '';
    for (const t of ch.tc || []) units['tc/' + t.channel] = '°C';
    const di = document.getElementById('di');
    document.getElementById('di-section').hidden = !ch.di || !ch.di.length;
    di.textContent = '';
    (ch.di || []).forEach((on, i) => {
      const b = el('span', 'bit');
      b.appendChild(dot(on, `di/${i + 1}`));
      b.appendChild(el('span', null, `${i + 1}`));
      di.appendChild(b);
    });
    outputs = ch.do || [];
    showOutputs();
    document.getElementById('sensors-section').hidden = !ch.sensors || !ch.sensors.length;
    const sensors = document.getElementById('sensors');
    sensors.textContent = '';
    (ch.sensors || []).forEach((s, i) => {
      const b = el('span', 'sensor');
      b.appendChild(el('span', 'muted', `${i + 1}`));
      b.appendChild(el('span', null, sensorText(s)));
      sensors.appendChild(b);
    });
  }

  let shownOutputs = '';
  function showOutputs() {
    const token = sessionStorage.getItem(TOKEN_KEY);
    document.getElementById('token-form').hidden = !writable || !!token;
    document.getElementById('token-kept').hidden = !writable || !token;
    document.getElementById('do-section').hidden = !outputs.length;
    // Rebuilt only on a change, so that a switch is not replaced under the pointer.
    const key = JSON.stringify([outputs, writable, busy]);
    if (key === shownOutputs) return;
    shownOutputs = key;
    const box = document.getElementById('do');
    box.textContent = '';
    outputs.forEach((on, i) => {
      const n = i + 1;
      if (writable) {
        const sw = el('button', on ? 'switch on' : 'switch', `${n} ${on ? 'on' : 'off'}`);
        sw.type = 'button';
        sw.setAttribute('role', 'switch');
        sw.setAttribute('aria-checked', on ? 'true' : 'false');
        sw.dataset.channel = String(n);
        sw.disabled = busy;
        sw.addEventListener('click', () => switchOutput(n, !on));
        box.appendChild(sw);
      } else {
        const b = el('span', 'bit');
        b.appendChild(dot(on, `do/${n}`));
        b.appendChild(el('span', null, `${n}`));
        box.appendChild(b);
      }
    });
  }

  async function switchOutput(n, on) {
    const result = document.getElementById('do-result');
    const token = sessionStorage.getItem(TOKEN_KEY);
    if (!token) {
      result.className = 'result error';
      result.textContent = 'Enter the token first.';
      document.getElementById('token').focus();
      return;
    }
    busy = true;
    showOutputs();
    result.className = 'result';
    result.textContent = `switching do/${n} ${on ? 'on' : 'off'}…`;
    try {
      const res = await fetch(`/api/module/${encodeURIComponent(name)}/do/${n}`, {
        method: 'POST', body: on ? 'on' : 'off', credentials: 'omit',
        headers: { 'Authorization': 'Bearer ' + token, 'Content-Type': 'text/plain' },
      });
      let body = {};
      try { body = await res.json(); } catch (e) { /* an empty or non-JSON answer */ }
      if (res.ok) {
        outputs[n - 1] = !!body.on;
        result.textContent = `do/${n} is ${body.on ? 'on' : 'off'} (read back)`;
      } else {
        result.className = 'result error';
        result.textContent = `do/${n} not switched: ${res.status} ${body.error || res.statusText}`;
        if (res.status === 401) sessionStorage.removeItem(TOKEN_KEY);
      }
    } catch (e) {
      result.className = 'result error';
      result.textContent = `do/${n} not switched: ${e.message}`;
    }
    busy = false;
    showOutputs();
  }

  document.getElementById('token-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const input = document.getElementById('token');
    if (input.value) sessionStorage.setItem(TOKEN_KEY, input.value);
    input.value = '';
    showOutputs();
  });
  document.getElementById('token-forget').addEventListener('click', () => {
    sessionStorage.removeItem(TOKEN_KEY);
    showOutputs();
  });

  function showErrors(errors) {
    const tbody = document.getElementById('errors');
    tbody.textContent = '';
    for (const e of errors || []) {
      const tr = tbody.insertRow();
      tr.insertCell().textContent = new Date(e.ts).toLocaleString();
      tr.insertCell().textContent = e.result;
    }
    document.getElementById('no-errors').hidden = !!(errors && errors.length);
    tbody.parentElement.hidden = !(errors && errors.length);
  }

  function showSettings(settings) {
    const box = document.getElementById('settings');
    box.textContent = '';
    if (settings === null || settings === undefined) {
      box.appendChild(el('p', 'muted', 'none reported'));
      return;
    }
    // The report's groups (found, changed, failed, ...) one row per setting.
    const table = el('table', 'settings');
    const row = (what, key, value) => {
      const tr = table.insertRow();
      tr.insertCell().textContent = what;
      tr.insertCell().textContent = key;
      tr.insertCell().textContent = Array.isArray(value) ? value.join(', ')
        : typeof value === 'object' && value !== null ? JSON.stringify(value) : String(value);
    };
    for (const [what, value] of Object.entries(settings)) {
      if (what === 'module') continue;
      if (value && typeof value === 'object' && !Array.isArray(value)) {
        const keys = Object.keys(value);
        if (!keys.length) row(what, '—', 'none');
        for (const key of keys) row(what, key, value[key]);
      } else {
        row(what, '', value);
      }
    }
    box.appendChild(table);
  }

  function showRow(row) {
    const facts = document.getElementById('facts');
    facts.textContent = '';
    facts.appendChild(el('span', 'badge ' + row.status, row.status));
    const parts = [
      row.since ? 'since ' + clockText(row.since) : '',
      `ZRM_${row.model}`, row.address,
      'last good poll ' + ageText(row.last_good) + (row.last_good ? ' ago' : ''),
      'good polls (1 min) ' + shareText(row.good_share),
    ];
    facts.appendChild(el('span', null, ' ' + parts.filter(Boolean).join(' · ')));
  }

  // ---- trend charts (SVG) ----
  const SVG = 'http://www.w3.org/2000/svg';
  const W = 400, H = 130, PAD_L = 50, PAD_B = 16, PAD_T = 6;

  function svg(tag, attrs) {
    const e = document.createElementNS(SVG, tag);
    for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
    return e;
  }

  function chartFor(key) {
    let c = charts.get(key);
    if (c) return c;
    const box = el('figure', 'chart');
    const caption = el('figcaption', null, key);
    const root = svg('svg', { viewBox: `0 0 ${W} ${H}`, role: 'img' });
    root.setAttribute('aria-label', 'trend of ' + key);
    root.appendChild(svg('rect', { x: PAD_L, y: PAD_T, width: W - PAD_L, height: H - PAD_T - PAD_B, class: 'plot' }));
    const max = svg('text', { x: PAD_L - 4, y: PAD_T + 10, class: 'axis', 'text-anchor': 'end' });
    const min = svg('text', { x: PAD_L - 4, y: H - PAD_B, class: 'axis', 'text-anchor': 'end' });
    const left = svg('text', { x: PAD_L, y: H - 4, class: 'axis' });
    left.textContent = '−10 min';
    const right = svg('text', { x: W, y: H - 4, class: 'axis', 'text-anchor': 'end' });
    right.textContent = 'now';
    const path = svg('path', { class: 'line', d: '' });
    for (const e of [max, min, left, right, path]) root.appendChild(e);
    box.appendChild(caption);
    box.appendChild(root);
    document.getElementById('trends').appendChild(box);
    c = { box, caption, path, max, min, left, points: 0 };
    charts.set(key, c);
    return c;
  }

  function drawTrends() {
    const keys = Object.keys(trend.series);
    document.getElementById('trend-section').hidden = !keys.length;
    const end = trend.t.length ? trend.t[trend.t.length - 1] : Date.now();
    // Up to 10 minutes; a younger trend fills the width (a minute at least).
    const span = Math.min(TREND_MS, Math.max(60000, trend.t.length ? end - trend.t[0] : 0));
    const start = end - span;
    const spanText = span >= 120000 ? `−${Math.round(span / 60000)} min` : `−${Math.round(span / 1000)} s`;
    for (const key of keys) {
      const values = trend.series[key];
      const c = chartFor(key);
      c.left.textContent = spanText;
      let lo = Infinity, hi = -Infinity, n = 0;
      for (const v of values) if (typeof v === 'number') { lo = Math.min(lo, v); hi = Math.max(hi, v); n++; }
      const unit = units[key] ? ' ' + units[key] : '';
      c.caption.textContent = `${key}${unit ? ' (' + units[key] + ')' : ''} · ${n} points`;
      c.points = n;
      c.box.dataset.points = String(n);
      // A channel disabled all along has nothing to draw.
      c.box.hidden = !n;
      if (!n) { c.path.setAttribute('d', ''); c.max.textContent = ''; c.min.textContent = ''; continue; }
      if (hi - lo < 1e-9) { hi += 0.5; lo -= 0.5; }
      c.max.textContent = +hi.toPrecision(3) + unit;
      c.min.textContent = +lo.toPrecision(3) + unit;
      const x = (t) => PAD_L + ((t - start) / span) * (W - PAD_L);
      const y = (v) => PAD_T + (1 - (v - lo) / (hi - lo)) * (H - PAD_T - PAD_B);
      let d = '', pen = false;
      values.forEach((v, i) => {
        // A gap (disabled, fault, offline) breaks the line.
        if (typeof v !== 'number') { pen = false; return; }
        d += `${pen ? 'L' : 'M'}${x(trend.t[i]).toFixed(1)} ${y(v).toFixed(1)}`;
        pen = true;
      });
      c.path.setAttribute('d', d);
    }
  }

  function addTrendPoint(p) {
    if (!p || (trend.t.length && p.t <= trend.t[trend.t.length - 1])) return;
    const n = trend.t.length;
    trend.t.push(p.t);
    for (const key of Object.keys(p.values || {})) {
      if (!trend.series[key]) trend.series[key] = new Array(n).fill(null);
    }
    for (const [key, values] of Object.entries(trend.series)) {
      const v = p.values ? p.values[key] : null;
      values.push(typeof v === 'number' ? v : null);
    }
    let cut = 0;
    while (cut < trend.t.length && trend.t[cut] < p.t - TREND_MS) cut++;
    if (cut) {
      trend.t.splice(0, cut);
      for (const values of Object.values(trend.series)) values.splice(0, cut);
    }
    drawTrends();
  }

  function showModule(m) {
    showRow(m);
    if (m.writable !== undefined) writable = !!m.writable;
    showChannels(m.channels);
    if (m.settings !== undefined) showSettings(m.settings);
    if (m.errors !== undefined) showErrors(m.errors);
  }

  async function load() {
    const res = await fetch('/api/module/' + encodeURIComponent(name));
    const missing = document.getElementById('missing');
    if (res.status === 404) {
      missing.hidden = false;
      missing.textContent = `No module is named ${name}.`;
      return false;
    }
    if (!res.ok) throw new Error(`${res.status} ${res.statusText}`);
    const m = await res.json();
    missing.hidden = true;
    showModule(m);
    if (m.trend && m.trend.t) {
      // The stream's points may have come first; keep whichever is newer.
      const keep = trend.t.length ? trend.t[0] : Infinity;
      const older = m.trend.t.filter((t) => t < keep).length;
      const merged = { t: m.trend.t.slice(0, older).concat(trend.t), series: {} };
      const keys = new Set([...Object.keys(m.trend.series || {}), ...Object.keys(trend.series)]);
      for (const key of keys) {
        const head = (m.trend.series[key] || new Array(m.trend.t.length).fill(null)).slice(0, older);
        const tail = trend.series[key] || new Array(trend.t.length).fill(null);
        merged.series[key] = head.concat(tail);
      }
      trend.t = merged.t;
      trend.series = merged.series;
    }
    drawTrends();
    return true;
  }

  let loaded = false;
  function onModule(m) {
    if (m.name !== name) return;
    showModule(m);
    addTrendPoint(m.trend_point);
  }
  liveStream('/api/events?module=' + encodeURIComponent(name), {
    modules: (msg) => setText(document.getElementById('summary'), summaryText(msg.gateway)),
    module: onModule,
  }, () => {
    // Each (re)connection fetches the trend kept while we were away.
    load().then((ok) => { loaded = ok; }).catch((e) => {
      const missing = document.getElementById('missing');
      missing.hidden = false;
      missing.textContent = 'cannot load the module: ' + e.message;
    });
  });
  setInterval(() => { if (loaded) drawTrends(); }, 5000);
}

if (document.body.dataset.page === 'module') modulePage();
else overviewPage();
