// The fleet view in Debian's headless Chromium: a mosquitto on a free
// loopback port, the simulated devices and the oven as two servers that
// know each other only by name. The page lists both online with the oven's
// panel link, follows the oven's states live, shows a device fault as the
// FAULT banner, and a killed server offline within 1.5 keepalives and 2 s.
// Run by ctest with OVEN_SERVER, SIM_DEVICES, NORIX_CLIENT, MOSQUITTO and
// the example's folder in DEMO_DIR.
'use strict';
const {test, before, after} = require('node:test');
const assert = require('node:assert');
const {spawn, execFileSync} = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const {chromium} = require('playwright-core');

const KEEPALIVE_S = 5; // the least the client library takes
const dir = fs.mkdtempSync(path.join(process.env.TMPDIR || os.tmpdir(), 'fleet-'));
const processes = [];
let browser, page, devices, out = {};

// Starts a program in dir; resolves with its output once it has written
// `text`, rejects if it ends or takes 10 s.
function start(program, args, text) {
  return new Promise((resolve, reject) => {
    const p = spawn(program, args, {cwd: dir, stdio: ['ignore', 'pipe', 'pipe']});
    processes.push(p);
    let seen = '';
    const timer = setTimeout(() => reject(new Error(program + ' did not start: ' + seen)), 10000);
    const read = (chunk) => {
      seen += chunk;
      if (seen.includes(text)) clearTimeout(timer), resolve(seen);
    };
    p.stdout.on('data', read);
    p.stderr.on('data', read);
    p.on('exit', () => reject(new Error(program + ' ended: ' + seen)));
  });
}

const card = (server) => page.locator(`article[data-server="${server}"]`);
const oven = () => card('DEMO.FSM/OVEN.SERVER').locator('[data-location="OVEN"]');
const endpoint = (text) => text.match(/listening on (tcp:\S+)/)[1];

before(async () => {
  const port = await new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const p = s.address().port;
      s.close(() => resolve(p));
    });
  });
  fs.writeFileSync(path.join(dir, 'broker.conf'), `listener ${port} 127.0.0.1\nallow_anonymous true\n`);
  await start(process.env.MOSQUITTO, ['-c', 'broker.conf', '-v'], 'running');
  // No peer lines: each finds the other through the broker.
  const broker = `listen tcp:127.0.0.1:0\nmqtt mqtt://127.0.0.1:${port}\nmqtt_keepalive ${KEEPALIVE_S}\n`;
  const demo = (f) => fs.readFileSync(path.join(process.env.DEMO_DIR, f), 'utf8');
  fs.writeFileSync(path.join(dir, 'oven_settings.sr'), demo('oven_settings.sr'));
  fs.writeFileSync(path.join(dir, 'devices.conf'), demo('devices.conf').replace(/^listen .*$/m, broker));
  fs.writeFileSync(path.join(dir, 'oven.conf'), demo('oven.conf').replace(/^peer .*$/m, '')
    .replace(/^listen .*$/m, broker + 'http 127.0.0.1:0'));
  out.devices = await start(process.env.SIM_DEVICES, ['devices.conf'], 'listening on');
  devices = processes[processes.length - 1];
  out.oven = await start(process.env.OVEN_SERVER, ['oven.conf'], 'norix server');
  out.panel = out.oven.match(/web panel listening on (http:\/\/\S+)/)[1];
  browser = await chromium.launch({executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage']});
  page = await browser.newPage();
  await page.goto(out.panel + 'fleet');
});

after(async () => {
  if (browser) await browser.close();
  for (const p of processes) p.kill('SIGKILL');
  fs.rmSync(dir, {recursive: true, force: true});
});

test('lists both servers online, follows the oven live, shows its FAULT', async () => {
  await card('DEMO.DEV/SIM').locator('.badge.up').waitFor({timeout: 5000});
  await oven().getByText('OVEN/idle').waitFor({timeout: 5000});
  assert.strictEqual(await card('DEMO.FSM/OVEN.SERVER').locator('a.panel-link').getAttribute('href'),
                     out.panel);
  const client = (where, ...args) => execFileSync(process.env.NORIX_CLIENT, ['-s', endpoint(where), ...args]);
  // Vacuum needs the pump's pressure, read from the server found by name.
  client(out.oven, 'set', 'DEMO.FSM/OVEN.SERVER/OVEN/EVENT', 'pump:*');
  await oven().getByText('OVEN/vacuum').waitFor({timeout: 10000});
  client(out.devices, 'set', 'DEMO.DEV/SIM/HEATER/FAULTY', '1');
  await oven().locator('.fault').getByText('heater sensor broken').waitFor({timeout: 5000});
});

test('a killed server shows offline within its keepalive and 2 s', async () => {
  devices.kill('SIGKILL');
  await card('DEMO.DEV/SIM').locator('.badge.down').waitFor({timeout: (1.5 * KEEPALIVE_S + 2) * 1000});
  assert.strictEqual(await card('DEMO.FSM/OVEN.SERVER').locator('.badge.up').count(), 1);
});
