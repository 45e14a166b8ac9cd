// What the console's browser test and its screenshot script share: a broker,
// simulated modules and the gateway on loopback, each stopped at the end,
// and Chromium from Debian driven by playwright-core. Every wait is bounded.
'use strict';
const { spawn, execFile } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const http = require('http');

const root = path.resolve(__dirname, '../..');
const bin = {
  gateway: process.env.KIV_GATEWAY || `${root}/build/host/gateway/kiv-gateway`,
  sim: process.env.ZRM_SIM || `${root}/build/host/sim/zrm-sim`,
  kivtool: process.env.KIVTOOL || `${root}/build/host/tools/kivtool`,
  mosquitto: process.env.MOSQUITTO || '/usr/sbin/mosquitto',
};

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const children = new Set();
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kiv-web-test-'));

async function eventually(what, fn, ms) {
  const end = Date.now() + ms;
  for (;;) {
    try { const v = await fn(); if (v) return v; } catch (e) { if (Date.now() >= end) throw e; }
    if (Date.now() >= end) throw new Error(`not within ${ms} ms: ${what}`);
    await sleep(100);
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
    s.on('error', reject);
  });
}

function listening(port) {
  return new Promise((resolve) => {
    const c = net.connect(port, '127.0.0.1', () => { c.destroy(); resolve(true); });
    c.on('error', () => resolve(false));
  });
}

// Started processes write their stderr to a log of their own, read on failure.
function start(name, file, args) {
  const log = fs.openSync(path.join(dir, name + '.log'), 'a');
  const p = spawn(file, args, { stdio: ['ignore', 'pipe', log] });
  fs.closeSync(log);
  p.label = name;
  children.add(p);
  p.on('exit', () => children.delete(p));
  return p;
}

function stop(p, ms = 5000) {
  if (!p || p.exitCode !== null || p.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    const t = setTimeout(() => p.kill('SIGKILL'), ms);
    p.once('exit', () => { clearTimeout(t); resolve(); });
    p.kill('SIGTERM');
  });
}

async function broker() {
  const port = await freePort();
  const conf = path.join(dir, 'mosquitto.conf');
  fs.writeFileSync(conf, `listener ${port} 127.0.0.1\nallow_anonymous true\npersistence false\n`);
  start('mosquitto', bin.mosquitto, ['-c', conf]);
  await eventually('mosquitto listens', () => listening(port), 10000);
  return port;
}

// A zrm-sim process; resolves with its modules' ports from the ready lines.
function sim(name, args, count = 1) {
  const p = start(name, bin.sim, args);
  return new Promise((resolve, reject) => {
    const modules = [];
    let text = '';
    const t = setTimeout(() => reject(new Error(`${name}: no ready line in 15 s`)), 15000);
    p.stdout.on('data', (chunk) => {
      text += chunk;
      let nl;
      while ((nl = text.indexOf('\n')) >= 0) {
        const m = /ready modbus ([\d.]+):(\d+) config [\d.]+:(\d+)/.exec(text.slice(0, nl));
        text = text.slice(nl + 1);
        if (m) modules.push({ address: m[1], modbus: +m[2], config: +m[3] });
        if (modules.length === count) { clearTimeout(t); resolve({ process: p, modules }); }
      }
    });
    p.on('exit', (code) => reject(new Error(`${name} ended with ${code} before it was ready`)));
  });
}

async function gateway(conf, webPort) {
  const file = path.join(dir, 'gateway.toml');
  fs.writeFileSync(file, conf);
  const p = start('gateway', bin.gateway, ['--config', file]);
  await eventually('the gateway answers /api/modules', async () => (await get(webPort, '/api/modules')).status === 200, 15000);
  return p;
}

function request(port, method, urlPath, body, headers = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, method, path: urlPath, headers, timeout: 8000 }, (res) => {
      let data = '';
      res.on('data', (c) => { data += c; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: data }));
    });
    req.on('timeout', () => req.destroy(new Error('timeout')));
    req.on('error', reject);
    req.end(body);
  });
}
const get = (port, urlPath) => request(port, 'GET', urlPath);

function kivtool(args) {
  return new Promise((resolve, reject) => {
    execFile(bin.kivtool, ['--json', ...args], { timeout: 10000 }, (err, stdout) => {
      if (err) reject(new Error(`kivtool ${args.join(' ')}: ${err.message}`));
      else resolve(JSON.parse(stdout));
    });
  });
}

async function browser() {
  const { chromium } = require('playwright-core');
  return chromium.launchPersistentContext(path.join(dir, 'chromium'), {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    timeout: 30000,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
    viewport: { width: 1280, height: 900 },
  });
}

async function stopAll() {
  await Promise.all([...children].map((p) => stop(p)));
}

function logs() {
  let text = '';
  for (const f of fs.readdirSync(dir).filter((n) => n.endsWith('.log'))) {
    text += `--- ${f}\n` + fs.readFileSync(path.join(dir, f), 'utf8').split('\n').slice(-30).join('\n') + '\n';
  }
  return text;
}

function cleanup() {
  fs.rmSync(dir, { recursive: true, force: true });
}

// Runs main, then stops everything it started and exits: 0 when it
// resolved, 1 when it failed (after onFailure), ran past limitMs or was
// stopped by a signal.
function run(name, limitMs, main, onFailure = async () => {}) {
  let finishing = false;
  const finish = async (code) => {
    if (finishing) return;
    finishing = true;
    clearTimeout(watchdog);
    await stopAll();
    if (code) console.error(logs());
    cleanup();
    process.exit(code);
  };
  const watchdog = setTimeout(() => { console.error(`${name}: no end within ${limitMs / 1000} s`); finish(1); }, limitMs);
  for (const sig of ['SIGINT', 'SIGTERM']) process.on(sig, () => finish(1));
  main().then(() => { console.log(`${name}: passed`); return finish(0); },
    async (e) => { console.error(`${name}: FAILED:`, e && e.stack || e); await onFailure(); return finish(1); });
}

module.exports = { run, bin, dir, sleep, eventually, freePort, broker, sim, gateway, request, get, kivtool, browser, stop, stopAll, logs, cleanup };
