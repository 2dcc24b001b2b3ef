// node screenshot.js URL PNG [WIDTH [SELECTOR]]: opens a server's web panel
// in Debian's headless Chromium, waits until the panel has drawn (it marks
// <body data-drawn> once a live update is shown and every machine's diagram,
// properties and history have loaded) or, for another page, until SELECTOR
// shows, and writes a full-page screenshot WIDTH pixels wide (1280 by
// default). Gives up after TIMEOUT_MS with
// exit status 1 and says what it was waiting for. scripts/screenshot.sh
// runs it.
'use strict';
const {chromium} = require('playwright-core');

const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'];
const TIMEOUT_MS = 20000;

async function main() {
  const [url, png, width, selector] = process.argv.slice(2);
  const columns = Number(width || 1280);
  if (!url || !png || !Number.isInteger(columns) || columns < 200 || columns > 8000) {
    throw new Error('usage: node screenshot.js URL PNG [WIDTH, 200 to 8000 [SELECTOR]]');
  }
  const browser = await chromium.launch({executablePath: '/usr/bin/chromium', args: CHROMIUM_ARGS});
  try {
    const page = await browser.newPage({viewport: {width: columns, height: 900}});
    await page.goto(url, {timeout: TIMEOUT_MS});
    try {
      if (selector) await page.waitForSelector(selector, {timeout: TIMEOUT_MS});
      else await page.waitForSelector('body[data-drawn]', {state: 'attached', timeout: TIMEOUT_MS});
    } catch (e) {
      const status = await page.locator('#status').textContent().catch(() => '?');
      throw new Error(`the page at ${url} did not draw within ${TIMEOUT_MS} ms (status: ${status})`);
    }
    // A diagram is at most 80% of the window high and scrolls beyond: the
    // window is made high enough for the highest to show whole.
    const highest = await page.$$eval('figure.diagram', (f) => Math.max(0, ...f.map((e) => e.scrollHeight)));
    if (highest > 0.8 * 900) await page.setViewportSize({width: columns, height: Math.ceil(highest / 0.8) + 40});
    // Fonts loaded and the page painted: two frames after the last change.
    await page.evaluate(() => document.fonts.ready.then(() => new Promise(
        (done) => requestAnimationFrame(() => requestAnimationFrame(done)))));
    await page.screenshot({path: png, fullPage: true});
  } finally {
    await browser.close();
  }
}

main().catch((e) => {
  console.error('screenshot: ' + e.message);
  process.exit(1);
});
