// The web panel in Debian's headless Chromium against the oven example:
// the page shows every machine with its active states lit, an event sent
// from the page's form moves the lit state, a device fault shows; flows
// carry their descriptions, superstate locations' flows included, guarded
// edges their guard's name; a legend; zoom and pan on a narrow screen; the
// mark a screenshot waits for.
// Run by ctest with the programs' paths in OVEN_SERVER, SIM_DEVICES,
// NORIX_CLIENT and the example's configuration folder in DEMO_DIR.
'use strict';
const {test, before, after} = require('node:test');
const assert = require('node:assert');
const {spawn, execFileSync} = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {chromium} = require('playwright-core');

const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'];
const dir = fs.mkdtempSync(path.join(process.env.TMPDIR || os.tmpdir(), 'panel-'));
const servers = [];
let browser;
let page;

// Starts a server program in dir; resolves with its output once it has
// written `text`, rejects if it ends or takes 10 s.
function start(program, conf, text) {
  return new Promise((resolve, reject) => {
    const p = spawn(program, [conf], {cwd: dir, stdio: ['ignore', 'pipe', 'pipe']});
    servers.push(p);
    let out = '';
    const timer = setTimeout(() => reject(new Error(program + ' did not start: ' + out)), 10000);
    const read = (chunk) => {
      out += chunk;
      if (out.includes(text)) {
        clearTimeout(timer);
        resolve(out);
      }
    };
    p.stdout.on('data', read);
    p.stderr.on('data', read);
    p.on('exit', () => reject(new Error(program + ' ended: ' + out)));
  });
}

const lit = (id) => `[data-location="OVEN"] [id="${id}"].active`;

before(async () => {
  for (const f of ['oven.conf', 'devices.conf', 'oven_settings.sr'])
    fs.copyFileSync(path.join(process.env.DEMO_DIR, f), path.join(dir, f));
  const conf = path.join(dir, 'oven.conf');
  fs.writeFileSync(conf, fs.readFileSync(conf, 'utf8').replace('location OVEN', 'http 127.0.0.1:0\nlocation OVEN'));
  await start(process.env.SIM_DEVICES, 'devices.conf', 'listening on');
  const out = await start(process.env.OVEN_SERVER, 'oven.conf', 'norix server');
  const url = out.match(/web panel listening on (http:\/\/\S+)/)[1];
  browser = await chromium.launch({executablePath: '/usr/bin/chromium', args: CHROMIUM_ARGS});
  page = await browser.newPage();
  await page.goto(url);
});

after(async () => {
  if (browser) await browser.close();
  for (const p of servers) p.kill('SIGKILL');
  fs.rmSync(dir, {recursive: true, force: true});
});

test('shows every machine with its active states lit', async () => {
  await page.waitForSelector(lit('OVEN/idle'), {timeout: 5000});
  await page.waitForSelector('[data-location="MONITOR"] [id="MONITOR/quiet"].active');
  const machines = await page.$$eval('section.machine', (s) => s.map((e) => e.dataset.location));
  assert.deepStrictEqual(machines.sort(), ['MONITOR', 'OVEN']);
  assert.strictEqual(await page.locator(`[data-location="OVEN"] g.node.active`).count(), 4);
  // Every property links to its value.
  const link = page.locator('[data-location="OVEN"] ul.props a', {hasText: /^FLOW_0$/});
  const value = await (await page.request.get(await link.evaluate((a) => a.href))).json();
  assert.match(value.value, /idle :/);
});

test('marks itself drawn only once every machine has its diagram and properties', async () => {
  await page.waitForSelector('body[data-drawn]', {state: 'attached', timeout: 5000});
  const loaded = await page.$$eval('section.machine', (all) => all.map((s) => [
    s.dataset.location, !!s.querySelector('figure.diagram svg'), s.querySelectorAll('ul.props li').length > 0]));
  assert.deepStrictEqual(loaded.sort(), [['MONITOR', true, true], ['OVEN', true, true]]);
});

test('an event sent from the form moves the lit state within a second', async () => {
  const form = page.locator('[data-location="OVEN"] form');
  await form.getByLabel('Send an event to OVEN').fill('pump:*');
  await form.getByRole('button', {name: 'Send'}).click();
  await page.waitForSelector(lit('OVEN/pumping') + ', ' + lit('OVEN/vacuum'), {timeout: 1000});
  assert.strictEqual(await page.locator(lit('OVEN/vented')).count(), 0);
  assert.match(await form.locator('output').textContent(), /^sent: pump:\*/);
  // A refused write shows the server's code and text.
  await form.getByLabel('Send an event to OVEN').fill(':DOOR');
  await form.getByRole('button', {name: 'Send'}).click();
  await form.locator('output').getByText('error 106: wrong data type: EVENT needs an event name')
      .waitFor({timeout: 2000});
});

test('a fault set on a device shows on the page', async () => {
  execFileSync(process.env.NORIX_CLIENT,
               ['-s', 'unix:' + path.join(dir, 'dev.sock'), 'set', 'DEMO.DEV/SIM/HEATER/FAULTY', '1']);
  const fault = page.locator('[data-location="OVEN"] .fault');
  await fault.getByText('heater sensor broken').waitFor({timeout: 5000});
  assert.ok(await fault.isVisible());
});

test('flows, edges and the legend say what the machine means', async () => {
  const rows = await page.$$eval('[data-location="OVEN"] table.flows th', (t) => t.map((e) => e.textContent));
  assert.ok(rows.includes('FLOW_0 heater mode'), rows.join('|'));
  assert.ok(rows.includes('DOOR/FLOW_0 door'), rows.join('|'));
  const svg = page.locator('[data-location="OVEN"] figure.diagram svg');
  await svg.getByText('flow 0: heater mode').first().waitFor({timeout: 5000});
  await svg.getByText('start [vacuum and door closed]').waitFor({timeout: 1000});
  const legend = page.locator('[data-location="OVEN"] dl.legend');
  assert.match(await legend.textContent(), /guarded transition/);
});

test('at 400 px the diagram zooms and pans', async () => {
  await page.setViewportSize({width: 400, height: 800});
  const box = page.locator('[data-location="OVEN"] figure.diagram');
  const fitted = await box.evaluate((b) => b.querySelector('svg').getBoundingClientRect().width);
  assert.ok(fitted <= 400, 'fitted width ' + fitted);
  for (let i = 0; i < 4; ++i) await page.getByRole('button', {name: 'zoom in of OVEN'}).click();
  const zoomed = await box.evaluate((b) => b.querySelector('svg').getBoundingClientRect().width);
  assert.ok(zoomed > fitted * 2, `zoomed ${zoomed} from ${fitted}`);
  const r = await box.boundingBox();
  await page.mouse.move(r.x + r.width / 2, r.y + 50);
  await page.mouse.down();
  await page.mouse.move(r.x + r.width / 2 - 120, r.y + 50, {steps: 4});
  await page.mouse.up();
  assert.ok(await box.evaluate((b) => b.scrollLeft) > 0, 'dragging pans');
  await page.getByRole('button', {name: 'fit the diagram of OVEN'}).click();
  const back = await box.evaluate((b) => b.querySelector('svg').getBoundingClientRect().width);
  assert.ok(back <= 400, 'fitted again ' + back);
});
