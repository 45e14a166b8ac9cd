// The web console in a real, headless Chromium against kiv-gateway with a
// broker and three simulated modules, one of each model: the overview and
// its filters, a module going offline and coming back, a module page's
// values with units and its trend, switching an output with and without the
// token, and no error in the browser's console. One run; exits 1 on failure.
'use strict';
const assert = require('assert');
const fs = require('fs');
const path = require('path');
const h = require('./harness');

const INTERVAL_MS = 500;
const TOKEN = 'webtest-token-3141';
const sims = {
  ai1: { model: 7301, address: '127.0.37.1', args: ['--ai', '1=12.5', '--ai', '2=-3.25'] },
  io1: { model: 7302, address: '127.0.37.2', args: ['--di', '0x05', '--do', '0', '--sensor', '0=1234'] },
  tc1: { model: 7303, address: '127.0.37.3', args: ['--tc', '1=25.5', '--tc', '2=30.0,25.0,1', '--di', '0x1'] },
};

function simArgs(s, modbus = 0, config = 0) {
  return ['--model', String(s.model), '--address', s.address, '--modbus-port', String(modbus),
    '--config-port', String(config), ...s.args];
}

function config(mqttPort, webPort, tokenFile) {
  let text = `[gateway]\nid = "webtest"\n\n[mqtt]\nbroker = "127.0.0.1:${mqttPort}"\n\n` +
    `[web]\nlisten = "127.0.0.1:${webPort}"\ntoken_file = "${tokenFile}"\n`;
  for (const [name, s] of Object.entries(sims)) {
    text += `\n[[module]]\nname = "${name}"\nmodel = ${s.model}\naddress = "${s.address}"\n` +
      `modbus_port = ${s.ports.modbus}\nconfig_port = ${s.ports.config}\ninterval_ms = ${INTERVAL_MS}\n` +
      `offline_after = 1\ncommands = ${s.model === 7302}\n`;
    if (s.model === 7301) text += '\n[module.settings]\nai_range = ["0~10V"]\n';
  }
  return text;
}

const rowStatus = (page, name) => page.locator(`tr[data-name="${name}"] .badge`).textContent({ timeout: 5000 });

async function output1(s) {
  const r = await h.kivtool(['--modbus-port', String(s.ports.modbus), '--config-port', String(s.ports.config),
    s.address, '7302', 'do', '1', '1']);
  return r.channels[0].on;
}

async function main() {
  const mqttPort = await h.broker();
  for (const [name, s] of Object.entries(sims)) {
    const started = await h.sim(name, simArgs(s));
    s.process = started.process;
    s.ports = started.modules[0];
  }
  const webPort = await h.freePort();
  const tokenFile = path.join(h.dir, 'token');
  fs.writeFileSync(tokenFile, TOKEN + '\n');
  await h.gateway(config(mqttPort, webPort, tokenFile), webPort);
  const base = `http://127.0.0.1:${webPort}`;

  const context = await h.browser();
  const page = context.pages()[0] || await context.newPage();
  lastPage = page;
  page.setDefaultTimeout(10000);
  const errors = [];
  let expected401 = 0;
  page.on('console', (m) => {
    // Chromium reports every refused fetch; the one 401 we cause is no fault.
    if (m.type() === 'error' && expected401 > 0 && /status of 401/.test(m.text())) expected401--;
    else if (m.type() === 'error') errors.push(m.text());
  });
  page.on('pageerror', (e) => errors.push(String(e)));

  // The overview lists the three modules online, with their values.
  await page.goto(base + '/');
  await page.waitForFunction(() => document.querySelectorAll('#modules tbody .badge.online').length === 3, null, { timeout: 15000 });
  assert.match(await page.locator('#summary').textContent(), /3 of 3 modules online/);
  const row = (name) => page.locator(`tr[data-name="${name}"]`);
  assert.match(await row('ai1').textContent(), /7301.*127\.0\.37\.1/);
  await page.waitForFunction(() => /12\.50? V/.test(document.querySelector('tr[data-name="ai1"]').textContent), null, { timeout: 10000 });
  assert.match(await row('tc1').textContent(), /25\.5 °C/);
  assert.match(await row('tc1').textContent(), /fault/);
  assert.strictEqual(await row('io1').locator('.dot.on').count(), 2, 'io1: DI 1 and 3 lit, no output');
  await page.fill('#filter-name', 'io');
  assert.deepStrictEqual(await page.locator('#modules tbody tr:visible').evaluateAll((r) => r.map((e) => e.dataset.name)), ['io1']);
  await page.fill('#filter-name', '');

  // A module killed is offline within an interval plus 1 s (and a margin);
  // back on the same ports, online again.
  const tc = sims.tc1;
  await h.stop(tc.process);
  const killed = Date.now();
  await page.waitForFunction(() => document.querySelector('tr[data-name="tc1"] .badge').textContent === 'offline', null, { timeout: 15000 });
  const took = Date.now() - killed;
  assert.ok(took <= INTERVAL_MS + 1000 + 1500, `offline shown after ${took} ms`);
  await page.selectOption('#filter-status', 'offline');
  assert.strictEqual(await page.locator('#modules tbody tr:visible').count(), 1);
  await page.selectOption('#filter-status', 'all');
  assert.strictEqual(await page.getAttribute('body', 'data-stream-opens'), '1', 'the overview\'s event stream ended');
  tc.process = (await h.sim('tc1-again', simArgs(tc, tc.ports.modbus, tc.ports.config))).process;
  await page.waitForFunction(() => document.querySelector('tr[data-name="tc1"] .badge').textContent === 'online', null, { timeout: 15000 });
  assert.strictEqual(await rowStatus(page, 'tc1'), 'online');

  // The 7301's page: 12.5 in V (its range declared), disabled shown as such,
  // and a trend that gains points live.
  await page.goto(base + '/module/ai1');
  await page.waitForFunction(() => {
    const r = document.querySelector('#ai tr');
    return r && /^12\.50?$/.test(r.cells[1].textContent) && r.cells[2].textContent === 'V';
  }, null, { timeout: 10000 });
  assert.match(await page.locator('#ai tr').first().locator('td').nth(3).textContent(), /0~10V/);
  const points = () => page.locator('#trends figure').first().getAttribute('data-points').then(Number);
  await page.waitForFunction(() => Number(document.querySelector('#trends figure')?.dataset.points) >= 2, null, { timeout: 10000 });
  const before = await points();
  await page.waitForFunction((n) => Number(document.querySelector('#trends figure').dataset.points) > n, before, { timeout: 10000 });
  assert.match(await page.locator('#trends path.line').first().getAttribute('d'), /^M[\d.]+ [\d.]+L/);
  assert.match(await page.locator('#settings').textContent(), /ai_range/);
  assert.strictEqual(await page.getAttribute('body', 'data-stream-opens'), '1', 'the module page\'s event stream ended');

  // The 7302's outputs: a wrong token is refused (401) and writes nothing;
  // so is a request without one; with the token the output follows.
  const io = sims.io1;
  await page.goto(base + '/module/io1');
  await page.locator('#token-form').waitFor({ state: 'visible' });
  await page.fill('#token', 'not-the-token');
  await page.click('#token-form button');
  expected401 = 1;
  await page.click('#do button[data-channel="1"]');
  await page.waitForFunction(() => /401/.test(document.getElementById('do-result').textContent));
  assert.strictEqual(await output1(io), false, 'a wrong token switched do/1');
  const bare = await h.request(webPort, 'POST', '/api/module/io1/do/1', 'on');
  assert.strictEqual(bare.status, 401);
  assert.strictEqual(await output1(io), false, 'a request without a token switched do/1');
  await page.locator('#token-form').waitFor({ state: 'visible' });
  await page.fill('#token', TOKEN);
  await page.click('#token-form button');
  await page.click('#do button[data-channel="1"]');
  await page.waitForFunction(() => /do\/1 is on/.test(document.getElementById('do-result').textContent), null, { timeout: 10000 });
  assert.strictEqual(await output1(io), true, 'do/1 not switched on');
  await page.waitForFunction(() => document.querySelector('#do button[data-channel="1"]').getAttribute('aria-checked') === 'true');

  assert.deepStrictEqual(errors, [], 'errors in the browser console');
  assert.strictEqual(expected401, 0, 'the refused switch left no trace in the console');
  await context.close();
}

let lastPage = null;
// What the page showed, to tell the page's fault from the gateway's.
h.run('web console test', 150000, main, async () => {
  if (lastPage) await lastPage.locator('body').innerText({ timeout: 2000 }).then((t) => console.error(`--- ${lastPage.url()}\n${t}`), () => {});
});
