// 256 simulated modules behind one gateway with [web], for the screenshots
// (node tests/web/plant.js screenshots) and the console's cost
// (node tests/web/plant.js cost). Neither is a CI test.
'use strict';
const fs = require('fs');
const path = require('path');
const h = require('./harness');

const mode = process.argv[2];
if (mode !== 'screenshots' && mode !== 'cost') {
  console.error('usage: node tests/web/plant.js screenshots|cost');
  process.exit(2);
}
const docs = path.resolve(__dirname, '../../docs');

async function plant(groups, interval) {
  const modules = [];
  for (const g of groups) {
    const s = await h.sim(`sim-${g.model}`, ['--model', String(g.model), '--modules', String(g.count), '--address', g.address,
      '--modbus-port', '0', '--config-port', '0', ...(g.args || [])], g.count);
    s.modules.forEach((m, i) => modules.push({ ...m, model: g.model, name: `${g.prefix}${String(i + 1).padStart(3, '0')}`, i }));
  }
  // The models in turn, as a line's modules would be listed.
  modules.sort((a, b) => a.i - b.i);
  const mqttPort = await h.broker();
  const webPort = await h.freePort();
  let conf = `[gateway]\nid = "line3"\n\n[mqtt]\nbroker = "127.0.0.1:${mqttPort}"\n\n[web]\nlisten = "127.0.0.1:${webPort}"\n`;
  for (const m of modules) {
    conf += `\n[[module]]\nname = "${m.name}"\nmodel = ${m.model}\naddress = "${m.address}"\nmodbus_port = ${m.modbus}\n` +
      `config_port = ${m.config}\ninterval_ms = ${interval}\n`;
    if (m.name === 'press001') conf += '\n[module.settings]\nai_enable = [1, 2, 3, 4, 5, 6]\nai_range = ["0~10V", "0~10V", "-10~10V", "0~20mA"]\n';
  }
  const gw = await h.gateway(conf, webPort);
  return { base: `http://127.0.0.1:${webPort}`, webPort, gw, modules };
}

function cpuSeconds(pid) {
  // utime and stime, fields 14 and 15, after the command's parenthesis.
  const f = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(f[11]) + Number(f[12])) / 100;
}

async function cpuShare(pid, seconds) {
  const c0 = cpuSeconds(pid), t0 = Date.now();
  await h.sleep(seconds * 1000);
  return (cpuSeconds(pid) - c0) / ((Date.now() - t0) / 1000);
}

async function screenshots() {
  const p = await plant([
    { model: 7301, count: 86, address: '127.0.38.1', prefix: 'press' },
    { model: 7302, count: 85, address: '127.0.39.1', prefix: 'valves', args: ['--di', '0x2d', '--do', '0x5'] },
    { model: 7303, count: 85, address: '127.0.40.1', prefix: 'oven', args: ['--tc', '3=0,24.0,1'] },
  ], 1000);
  const context = await h.browser();
  const page = context.pages()[0] || await context.newPage();
  await page.goto(p.base + '/');
  await page.waitForFunction(() => document.querySelectorAll('#modules tbody .badge.online').length >= 256, null, { timeout: 60000 });
  // A minute of trend for the module page.
  await h.sleep(60000);
  await page.screenshot({ path: path.join(docs, 'console-overview.png') });
  await page.goto(p.base + '/module/press001');
  await page.waitForFunction(() => Number(document.querySelector('#trends figure')?.dataset.points) > 30, null, { timeout: 20000 });
  await page.screenshot({ path: path.join(docs, 'console-module.png'), fullPage: true });
  await context.close();
}

async function cost() {
  const seconds = 30;
  const p = await plant([{ model: 7303, count: 256, address: '127.0.41.1', prefix: 'oven' }], 100);
  await h.sleep(10000);
  const idle = await cpuShare(p.gw.pid, seconds);
  const context = await h.browser();
  const page = context.pages()[0] || await context.newPage();
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.enable');
  const streams = new Set();
  let bytes = 0, events = 0;
  cdp.on('Network.requestWillBeSent', (e) => { if (e.request.url.includes('/api/events')) streams.add(e.requestId); });
  cdp.on('Network.dataReceived', (e) => { if (streams.has(e.requestId)) bytes += e.dataLength; });
  cdp.on('Network.eventSourceMessageReceived', () => { events++; });
  await page.goto(p.base + '/');
  await page.waitForFunction(() => document.querySelectorAll('#modules tbody .badge.online').length >= 256, null, { timeout: 60000 });
  await h.sleep(5000);
  const b0 = bytes, e0 = events;
  const withPage = await cpuShare(p.gw.pid, seconds);
  const rate = (bytes - b0) / seconds, eventRate = (events - e0) / seconds;
  await context.close();
  const web = path.resolve(__dirname, '../../gateway/web');
  const weight = fs.readdirSync(web).reduce((n, f) => n + fs.statSync(path.join(web, f)).size, 0);
  console.log(`256 modules at 100 ms, ${seconds} s each:`);
  console.log(`gateway CPU without a browser: ${(idle * 100).toFixed(1)} % of a core`);
  console.log(`gateway CPU with one overview page: ${(withPage * 100).toFixed(1)} % of a core (+${((withPage - idle) * 100).toFixed(1)} points)`);
  console.log(`the page receives ${Math.round(rate)} bytes/s on /api/events in ${eventRate.toFixed(1)} events/s`);
  console.log(`page weight (gateway/web): ${weight} bytes`);
}

h.run(mode, 300000, mode === 'cost' ? cost : screenshots);
