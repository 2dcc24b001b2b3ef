// The fleet view in Debian's headless Chromium: a broker (Debian's
// mosquitto on a free loopback port), the simulated devices and the oven as
// two servers that know each other only by name. The page lists both
// online, the oven's active states follow its events live, a device fault
// shows as the oven's FAULT banner, and a killed server turns offline.
// Run by ctest with the programs' paths in OVEN_SERVER, SIM_DEVICES,
// NORIX_CLIENT, MOSQUITTO and the example's folder in DEMO_DIR.
'use strict';
const {test, before, after} = require('node:test');
const assert = require('node:assert');
const {spawn, execFileSync} = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const {chromium} = require('playwright-core');

const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'];
const KEEPALIVE_S = 5;  // the least the client library takes
const dir = fs.mkdtempSync(path.join(process.env.TMPDIR || os.tmpdir(), 'fleet-'));
const processes = [];
let browser;
let page;
let devices;
let ovenEndpoint;
let devicesEndpoint;
let ovenPanel;

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const {port} = s.address();
      s.close(() => resolve(port));
    });
  });
}

// Starts a program in dir; resolves with the process and its output once
// it has written `text`, rejects if it ends or takes 10 s.
function start(program, args, text) {
  return new Promise((resolve, reject) => {
    const p = spawn(program, args, {cwd: dir, stdio: ['ignore', 'pipe', 'pipe']});
    processes.push(p);
    let out = '';
    const timer = setTimeout(() => reject(new Error(program + ' did not start: ' + out)), 10000);
    const read = (chunk) => {
      out += chunk;
      if (out.includes(text)) {
        clearTimeout(timer);
        resolve({p, out});
      }
    };
    p.stdout.on('data', read);
    p.stderr.on('data', read);
    p.on('exit', () => reject(new Error(program + ' ended: ' + out)));
  });
}

const card = (server) => page.locator(`article[data-server="${server}"]`);
const oven = () => card('DEMO.FSM/OVEN.SERVER').locator('[data-location="OVEN"]');

before(async () => {
  const port = await freePort();
  fs.writeFileSync(path.join(dir, 'broker.conf'),
    `listener ${port} 127.0.0.1\nallow_anonymous true\npersistence false\n`);
  await start(process.env.MOSQUITTO, ['-c', 'broker.conf', '-v'], 'running');
  // No peer lines: each finds the other through the broker.
  const broker = `mqtt mqtt://127.0.0.1:${port}\nmqtt_keepalive ${KEEPALIVE_S}\n`;
  const demo = (f) => fs.readFileSync(path.join(process.env.DEMO_DIR, f), 'utf8');
  fs.copyFileSync(path.join(process.env.DEMO_DIR, 'oven_settings.sr'), path.join(dir, 'oven_settings.sr'));
  fs.writeFileSync(path.join(dir, 'devices.conf'),
    demo('devices.conf').replace(/^listen .*$/m, 'listen tcp:127.0.0.1:0\n' + broker));
  fs.writeFileSync(path.join(dir, 'oven.conf'),
    demo('oven.conf').replace(/^peer .*$/m, '')
      .replace(/^listen .*$/m, 'listen tcp:127.0.0.1:0\nhttp 127.0.0.1:0\n' + broker));
  const listening = /listening on (tcp:\S+)/;
  const d = await start(process.env.SIM_DEVICES, ['devices.conf'], 'listening on');
  devices = d.p;
  devicesEndpoint = d.out.match(listening)[1];
  const o = await start(process.env.OVEN_SERVER, ['oven.conf'], 'norix server');
  ovenEndpoint = o.out.match(listening)[1];
  ovenPanel = o.out.match(/web panel listening on (http:\/\/\S+)/)[1];
  browser = await chromium.launch({executablePath: '/usr/bin/chromium', args: CHROMIUM_ARGS});
  page = await browser.newPage();
  await page.goto(ovenPanel + 'fleet');
});

after(async () => {
  if (browser) await browser.close();
  for (const p of processes) p.kill('SIGKILL');
  fs.rmSync(dir, {recursive: true, force: true});
});

test('lists every server online with its machines and a link to its panel', async () => {
  await card('DEMO.DEV/SIM').locator('.badge.up').waitFor({timeout: 5000});
  await card('DEMO.FSM/OVEN.SERVER').locator('.badge.up').waitFor({timeout: 5000});
  await oven().getByText('OVEN/idle').waitFor({timeout: 5000});
  assert.strictEqual(await page.locator('#broker.up').count(), 1);
  const link = card('DEMO.FSM/OVEN.SERVER').locator('a.panel-link');
  assert.strictEqual(await link.getAttribute('href'), ovenPanel);
  assert.strictEqual(await card('DEMO.DEV/SIM').locator('a.panel-link').count(), 0);
});

test('the oven drives the devices it found by name, and the view follows', async () => {
  execFileSync(process.env.NORIX_CLIENT,
               ['-s', ovenEndpoint, 'set', 'DEMO.FSM/OVEN.SERVER/OVEN/EVENT', 'pump:*']);
  // Vacuum needs the pump's pressure, read from the other server.
  await oven().getByText('OVEN/vacuum').waitFor({timeout: 10000});
  assert.strictEqual(await oven().getByText('OVEN/vented').count(), 0);
});

test('a device fault shows as the FAULT banner', async () => {
  execFileSync(process.env.NORIX_CLIENT,
               ['-s', devicesEndpoint, 'set', 'DEMO.DEV/SIM/HEATER/FAULTY', '1']);
  await oven().locator('.fault').getByText('heater sensor broken').waitFor({timeout: 5000});
});

test('a killed server shows offline within its keepalive and 2 s', async () => {
  const began = Date.now();
  devices.kill('SIGKILL');
  await card('DEMO.DEV/SIM').locator('.badge.down').waitFor({timeout: (1.5 * KEEPALIVE_S + 2) * 1000 + 1000});
  assert.ok(Date.now() - began <= (1.5 * KEEPALIVE_S + 2) * 1000 + 1000);
  assert.strictEqual(await card('DEMO.FSM/OVEN.SERVER').locator('.badge.up').count(), 1);
});
