// korvane panel in Debian's Chromium, headless, driven by puppeteer-core: the page opens with the
// printed URL, draws the simulator's sine, measures its 1 kHz, changes the timebase (checked with
// `korvane get`), answers *IDN? in its console, and leaves a screenshot in the artefacts folder.
// One browser session for every check. Environment: KORVANE, KORVANE_SIM, KORVANE_ARTEFACTS.
import { spawn, execFileSync } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import { createInterface } from 'node:readline';
import path from 'node:path';
import { homedir } from 'node:os';
import { createRequire } from 'node:module';

// puppeteer-core as scripts/bootstrap installs it (pinned by package-lock.json beside this file).
const modules = process.env.KORVANE_PANEL_NODE_MODULES ||
  path.join(process.env.XDG_CACHE_HOME || path.join(homedir(), '.cache'), 'korvane', 'panel-tests');
const require = createRequire(path.join(modules, 'package.json'));
let puppeteer;
try {
  puppeteer = require('puppeteer-core');
} catch (e) {
  console.log(`FAIL puppeteer-core is not installed in ${modules}: run scripts/bootstrap`);
  process.exit(1);
}
const { KORVANE, KORVANE_SIM } = process.env;
const artefacts = process.env.KORVANE_ARTEFACTS || '.';
const failures = [];
const check = (ok, what) => { console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`); if (!ok) failures.push(what); };

function firstLines(child, n) {
  return new Promise((resolve, reject) => {
    const lines = [];
    const rl = createInterface({ input: child.stdout });
    rl.on('line', (l) => { lines.push(l); if (lines.length === n) resolve(lines); });
    child.on('exit', (code) => reject(new Error(`${child.spawnargs[0]} exited ${code} before it started`)));
  });
}

const sim = spawn(KORVANE_SIM, ['--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
let panel, browser;
try {
  const [simLine] = await firstLines(sim, 1);
  const resource = `TCPIP0::127.0.0.1::${simLine.split(':')[1].split(' ')[0]}::SOCKET`;
  // KORVANE_PANEL_POINTS (bench/run-panel-bench --browser): a longer record, and the page's frame rate printed.
  const points = process.env.KORVANE_PANEL_POINTS;
  if (points) execFileSync(KORVANE, ['set', resource, 'Waveform.PointCount', points]);
  panel = spawn(KORVANE, ['panel', resource, '--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  const url = (await firstLines(panel, 2))[1].trim();
  browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.setViewport({ width: 1500, height: 1000 });
  await page.goto(url);
  await page.waitForSelector('body[data-ready=true]', { timeout: 30000 });
  check(errors.length === 0, `the page runs without script errors ${errors.join('; ')}`);

  // The sine on the canvas: the first trace's colour, its height per pixel column, varies like a sine.
  await page.waitForFunction(() => document.getElementById('status').dataset.fps > 0, { timeout: 20000 });
  const shape = await page.evaluate(() => {
    const cv = document.getElementById('wave');
    const img = cv.getContext('2d').getImageData(0, 0, cv.width, cv.height);
    const ys = [];
    for (let x = 0; x < cv.width; x += 2) {
      let sum = 0, n = 0;
      for (let y = 0; y < cv.height; ++y) {
        const i = (y * cv.width + x) * 4;
        const [r, g, b] = [img.data[i], img.data[i + 1], img.data[i + 2]];
        if (r > 90 && g > 80 && r - b > 60 && g - b > 50 && Math.abs(r - g) < 60) { sum += y; n++; }  // Channel1's yellow, also anti-aliased
      }
      if (n) ys.push(sum / n);
    }
    let crossings = 0;
    const mid = (Math.max(...ys) + Math.min(...ys)) / 2;
    for (let k = 1; k < ys.length; ++k) if ((ys[k - 1] - mid) * (ys[k] - mid) < 0) crossings++;
    return { columns: ys.length, width: cv.width / 2, swing: (Math.max(...ys) - Math.min(...ys)) / cv.height, crossings };
  });
  check(shape.columns > shape.width * 0.9, `the trace covers the canvas (${shape.columns} of ${shape.width} columns)`);
  check(shape.swing > 0.2 && shape.crossings >= 2, `the trace swings like a sine (${JSON.stringify(shape)})`);

  // The measured frequency of the simulator's 1 kHz sine.
  await page.waitForSelector('#measurements td[data-name=Frequency]', { timeout: 20000 });
  const freq = await page.$eval('#measurements td[data-name=Frequency]', (td) => Number(td.dataset.value));
  check(Math.abs(freq - 1000) < 10, `Frequency reads 1 kHz (${freq})`);

  // The timebase changed in the page reaches the instrument.
  const input = 'input[data-path="Timebase.HorizontalScale"]';
  await page.$eval(input, (i) => { i.value = '0.0002'; i.dispatchEvent(new Event('change')); });
  await page.waitForFunction((sel) => document.querySelector(sel).parentElement.querySelector('.result').textContent
    .startsWith('accepted'), { timeout: 10000 }, input);
  const got = execFileSync(KORVANE, ['get', resource, 'Timebase.HorizontalScale'], { encoding: 'utf8' }).trim();
  check(got === '0.0002', `korvane get sees the page's timebase (${got})`);

  // A value the instrument refuses: its own words under the control, which shows the value kept.
  const scale = 'input[data-path="Channels.Item(Channel1).Scale"]';
  const before = await page.$eval(scale, (i) => i.value);
  await page.$eval(scale, (i) => { i.value = '1e9'; i.dispatchEvent(new Event('change')); });
  await page.waitForFunction((sel) => document.querySelector(sel).parentElement.querySelector('.result.refused'),
    { timeout: 10000 }, scale);
  const refusal = await page.$eval(scale, (i) => [i.value, i.parentElement.querySelector('.result').textContent]);
  check(refusal[0] === before && /refused 1e9: -2\d\d /.test(refusal[1]),
    `a refused scale shows the instrument's text and the kept value (${refusal.join(' / ')})`);

  // *IDN? in the console.
  await page.type('#scpi', '*IDN?');
  await page.click('#scpi-form button');
  await page.waitForSelector('#console-out .reply', { timeout: 10000 });
  const idn = await page.$eval('#console-out .reply', (d) => d.textContent);
  check(idn.split(',').length === 4, `*IDN? answers in the console (${idn})`);

  // The property browser: generated from the path table, values read on demand.
  await page.click('#tabs button[data-tab=properties]');
  await page.type('#prop-filter', 'Timebase.HorizontalScale');
  await page.click('#prop-refresh');
  await page.waitForFunction(() => {
    const td = document.querySelector('#prop-table td[data-path="Timebase.HorizontalScale"]');
    return td && td.textContent !== '';
  }, { timeout: 10000 });
  const total = await page.$eval('#prop-count', (s) => parseInt(s.textContent, 10));
  const shown = await page.$eval('#prop-table td[data-path="Timebase.HorizontalScale"]', (td) => td.textContent);
  check(total > 100 && shown === '0.0002', `the property browser lists ${total} properties and reads ${shown}`);
  await page.click('#tabs button[data-tab=console]');

  // Two cursors: their time difference is what was clicked, in the shown time span.
  const box = await (await page.$('#wave')).boundingBox();
  await page.mouse.click(box.x + box.width * 0.25, box.y + box.height * 0.3);
  await page.keyboard.down('Shift');
  await page.mouse.click(box.x + box.width * 0.75, box.y + box.height * 0.6);
  await page.keyboard.up('Shift');
  const cursors = await page.$eval('#cursors', (d) => d.textContent);
  const dt = /Δt (\S+) (\S*)s/.exec(cursors);
  check(dt && dt[2] === 'm' && Math.abs(Number(dt[1]) - 1) < 0.01, `cursor delta of half of 2 ms shown (${cursors})`);

  if (points) {
    const rates = [];
    for (let k = 0; k < 10; ++k) {
      await new Promise((r) => setTimeout(r, 1000));
      rates.push(Number(await page.$eval('#status', (s) => s.dataset.fps)));
    }
    rates.sort((a, b) => a - b);
    console.log(`frames shown by the page, ${points} points per channel: median ${rates[5].toFixed(1)}/s, ` +
      `lowest ${rates[0].toFixed(1)}/s (10 one-second samples)`);
  }

  mkdirSync(artefacts, { recursive: true });
  await page.screenshot({ path: path.join(artefacts, 'panel.png') });
  console.log(`screenshot: ${path.join(artefacts, 'panel.png')}`);
} catch (e) {
  failures.push(String(e && e.stack || e));
  console.log(`FAIL ${e && e.stack || e}`);
} finally {
  if (browser) await browser.close();
  if (panel) panel.kill('SIGTERM');
  sim.kill('SIGTERM');
}
process.exit(failures.length ? 1 : 0);
