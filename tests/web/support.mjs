// Helpers for the browser tests: the page under test (the built site from a
// static server that logs every request, or the one-file page opened from a
// folder), headless Chromium driven by playwright-core, movies made with
// ffmpeg, and the command line run on the same movies.
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

export const SITE = process.env.MOVDITH_WEB_SITE;
export const ONE_FILE = process.env.MOVDITH_WEB_ONE_FILE;
// The pages the tests run on, one CTest entry each: the site as a server
// gives it, and dist/movdith.html saved alone in a folder and opened from
// there (file://). Tests that apply to one of them only say so.
export const TARGETS = {
  served: { serviceWorker: true },
  'one-file': { serviceWorker: false },
};
export const TARGET = process.env.MOVDITH_WEB_TARGET || 'served';
if (!TARGETS[TARGET]) throw new Error(`MOVDITH_WEB_TARGET: no page "${TARGET}"`);
export const MOVDITH = process.env.MOVDITH_BIN;
export const CLI_GREYS = process.env.CLI_GREYS_BIN;
export const FRAME_BYTES = 96 * 64;

const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript', '.css': 'text/css',
  '.wasm': 'application/wasm', '.json': 'application/json' };

// The page under test: `origin` is where openPage goes. Served, SITE on a
// free loopback port, `requests` listing every path asked for; the one
// file, copied alone into an empty folder, with no server at all.
export async function serve(target = TARGET) {
  if (target === 'one-file') {
    const folder = tempDir();
    const file = path.join(folder, 'movdith.html');
    fs.copyFileSync(ONE_FILE, file);
    return { origin: pathToFileURL(file).href, requests: [], close: () => fs.rmSync(folder, { recursive: true, force: true }) };
  }
  const requests = [];
  const server = http.createServer((req, res) => {
    requests.push(req.url);
    const name = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    const file = path.join(SITE, name.endsWith('/') ? name + 'index.html' : name);
    if (!file.startsWith(SITE) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream' });
    res.end(fs.readFileSync(file));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { origin: `http://127.0.0.1:${server.address().port}`, requests, close: () => server.close() };
}

// Debian's Chromium, headless, with nothing of its own going to the network
// (this machine has none: without these flags it waits on refused requests).
export async function launch(extraArgs = []) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'movdith-chromium-'));
  const browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    acceptDownloads: true,
    viewport: { width: 1100, height: 1400 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', ...extraArgs],
  });
  return { browser, profile, close: async () => { await browser.close(); fs.rmSync(profile, { recursive: true, force: true }); } };
}

export function tempDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'movdith-web-'));
}

// Makes `file` with ffmpeg from a test source and output options.
export function makeMovie(file, lavfi, options) {
  execFileSync('ffmpeg', ['-nostdin', '-v', 'error', '-y', '-f', 'lavfi', '-i', lavfi, ...options, file]);
  return file;
}

// Gives an MP4's video track a display matrix (nine numbers, 16.16 and 2.30).
export function setDisplayMatrix(file, matrix) {
  const bytes = fs.readFileSync(file);
  const tkhd = bytes.indexOf('tkhd');
  const at = tkhd + (bytes[tkhd + 4] === 1 ? 56 : 44);
  matrix.forEach((v, i) => bytes.writeInt32BE(v, at + 4 * i));
  fs.writeFileSync(file, bytes);
}

// The command line's built-in engine: its console text and file.
export function runCli(movie, out, args) {
  const console = execFileSync(MOVDITH, [movie, out, '--engine=builtin', ...args], { encoding: 'latin1' });
  return { console, bytes: fs.readFileSync(out) };
}

// The command line's grey frames, its sizes and frame count (cli_greys).
export function cliGreys(movie, args) {
  const run = spawnSync(CLI_GREYS, [movie, ...args], { maxBuffer: 1 << 30 });
  const sizes = /IN (\d+) (\d+) OUT (\d+) (\d+) FRAMES (\d+)/.exec(run.stderr.toString());
  if (run.status !== 0 || !sizes) throw new Error(`cli_greys failed: ${run.stderr}`);
  const [inWidth, inHeight, outWidth, outHeight, frames] = sizes.slice(1).map(Number);
  return { greys: run.stdout, sizes: { inWidth, inHeight, outWidth, outHeight }, frames };
}

// The page's address with a query ('?greys'): a server's page is its root,
// a file is itself.
export const pageUrl = (origin, query = '') => (origin.startsWith('file:') ? origin + query : `${origin}/${query}`);

// Opens the page; resolves when its module has loaded.
export async function openPage(browser, origin, query = '') {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  // What the page's policy refused counts as an error of the page.
  page.on('console', (m) => { if (m.type() === 'error' && /Content Security Policy/.test(m.text())) errors.push(m.text()); });
  await page.goto(pageUrl(origin, query));
  await page.waitForFunction(() => window.movdithPage && window.movdithPage.ready);
  page.errors = errors;
  return page;
}

// Opens a movie by the file button; resolves to { info, error }.
export async function openMovie(page, file) {
  await page.evaluate(() => { document.querySelector('#movie-info').textContent = ''; });
  await page.setInputFiles('#movie', file);
  await page.waitForFunction(() => !document.querySelector('#go').disabled || !document.querySelector('#error').hidden,
    null, { timeout: 60000 });
  return { info: await page.textContent('#movie-info'), error: await page.textContent('#error') };
}

// Sets the form from command-line options ("-g", "-r", "4", "--fit=crop", ...).
export async function setOptions(page, args) {
  for (let i = 0; i < args.length; ++i) {
    const a = args[i];
    const long = a.startsWith('--');
    const [name, value] = long ? a.slice(2).split('=') : [a.slice(1), ['r', 'm'].includes(a.slice(1)) ? args[++i] : undefined];
    const selector = '#option-' + name;
    const tag = await page.$eval(selector, (e) => e.tagName);
    // A flag is a tick box, or a choice of two in words (-g: black and white / 4 greys).
    if (value === undefined && tag === 'SELECT') await page.selectOption(selector, 'on');
    else if (value === undefined) await page.check(selector);
    else if (tag === 'SELECT') await page.selectOption(selector, value);
    else await openAndFill(page, selector, value);
  }
}

// Fills a control, opening the folded group it is in first (as a user would).
async function openAndFill(page, selector, value) {
  await page.$eval(selector, (e) => { const more = e.closest('details'); if (more) more.open = true; });
  await page.fill(selector, value);
}

// Converts and downloads; resolves to { bytes, name, records, greys }.
export async function convert(page, folder) {
  await page.click('#go');
  await page.waitForFunction(() => !document.querySelector('#player').hidden || !document.querySelector('#error').hidden,
    null, { timeout: 300000 });
  const error = await page.textContent('#error');
  if (error) throw new Error(error);
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download')]);
  const file = path.join(folder, download.suggestedFilename());
  await download.saveAs(file);
  const greys = await page.evaluate(() => {
    const g = window.movdithPage.greys();
    if (!g) return null;
    let s = '';
    for (let i = 0; i < g.length; i += 8192) s += String.fromCharCode(...g.subarray(i, i + 8192));
    return btoa(s);
  });
  return { bytes: fs.readFileSync(file), name: download.suggestedFilename(), greys: greys && Buffer.from(greys, 'base64') };
}

// How far two runs of grey frames are apart: the largest difference of a
// pixel, and the largest mean difference of a frame.
export function greyDistance(a, b) {
  let max = 0, worstMean = 0;
  for (let f = 0; f < a.length / FRAME_BYTES; ++f) {
    let sum = 0;
    for (let i = f * FRAME_BYTES; i < (f + 1) * FRAME_BYTES; ++i) {
      const d = Math.abs(a[i] - b[i]);
      sum += d;
      if (d > max) max = d;
    }
    worstMean = Math.max(worstMean, sum / FRAME_BYTES);
  }
  return { max, worstMean };
}
