// node screenshot.js URL PNG [WIDTH [SELECTOR]]: opens the web panel in
// Debian's headless Chromium, waits until SELECTOR shows (by default: a
// diagram with an active state), and writes a full-page screenshot.
'use strict';
const {chromium} = require('playwright-core');

const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'];

async function main() {
  const [url, png, width, selector] = process.argv.slice(2);
  const browser = await chromium.launch({executablePath: '/usr/bin/chromium', args: CHROMIUM_ARGS});
  try {
    const page = await browser.newPage({viewport: {width: Number(width || 1280), height: 900}});
    await page.goto(url);
    await page.waitForSelector(selector || '.diagram g.node.active', {timeout: 10000});
    await page.waitForTimeout(300); // the trace and flows of the same update
    await page.screenshot({path: png, fullPage: true});
  } finally {
    await browser.close();
  }
}

main().catch((e) => {
  console.error(e.message);
  process.exit(1);
});
