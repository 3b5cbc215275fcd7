// What each page says on arrival where it cannot work: the served site and
// the one file, in Chromium with a feature the page needs taken away before
// the page loads (WebAssembly, WebCodecs), with no script run at all, and the
// served site's index.html opened from a folder, where its modules are
// blocked; one message at most, and with everything there, none. Run by
// CTest (web_page_arrival).
import assert from 'node:assert/strict';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { after, before, test } from 'node:test';
import { launch, pageUrl, serve, SITE, TARGETS } from './support.mjs';

const BROWSERS = 'Use a recent Chrome or Edge (94 or newer), Firefox (130 or newer) or Safari (16.4 or newer).';
const COMMAND_LINE = ' Or convert on a computer with the command line: movdith movie.mp4 movie.8xx --engine=builtin.';
const NO_WASM = `This browser cannot run the converter: it has no WebAssembly (or it is turned off). ${BROWSERS}${COMMAND_LINE}`;
const NO_WEBCODECS = 'This browser has no WebCodecs: the page reads movies through its video player instead, which is ' +
  `slower and may give slightly different frames. ${BROWSERS}${COMMAND_LINE}`;
const NO_SCRIPT = 'This page cannot start: this browser did not run its scripts. If you opened index.html from a ' +
  'folder on your computer, open movdith.html, the one-file page, instead. Otherwise turn on JavaScript, or convert ' +
  'with the command line: movdith movie.mp4 movie.8xx --engine=builtin.';
const NO_START = 'This browser could not start the converter (its WebAssembly did not load). Open the page in a ' +
  'recent Chrome, Edge, Firefox or Safari, or use the command line (movdith movie.mp4 movie.8xx --engine=builtin).';
const SEVERAL_FILES = 'This copy of the page is made of several files, and browsers run those only from a web server, ' +
  'not from a folder on your computer. Open movdith.html, the one-file page, instead: it works from a folder.';

// Each case: what the browser lacks (run before any of the page's scripts),
// and the message, or null where the page starts as usual.
const CASES = [
  { name: 'everything there', lacks: null, message: null, ready: true },
  { name: 'no WebCodecs', lacks: () => { delete window.VideoDecoder; }, message: NO_WEBCODECS, ready: true },
  { name: 'no WebAssembly', lacks: () => { delete window.WebAssembly; }, message: NO_WASM, ready: false },
  { name: 'no WebAssembly nor WebCodecs', lacks: () => { delete window.WebAssembly; delete window.VideoDecoder; },
    message: NO_WASM, ready: false },
  // WebAssembly there, but the module will not load: the page's own alert.
  { name: 'WebAssembly that will not load', lacks: () => {
    const refuse = () => Promise.reject(new Error('refused'));
    WebAssembly.instantiate = refuse;
    WebAssembly.instantiateStreaming = refuse;
  }, message: NO_START, ready: false },
  { name: 'no script at all', noScript: true, message: NO_SCRIPT, ready: false },
];

let chromium;
const pages = {};

before(async () => {
  chromium = await launch();
  for (const target of Object.keys(TARGETS)) pages[target] = await serve(target);
});

after(async () => {
  if (chromium) await chromium.close();
  for (const page of Object.values(pages)) page.close();
});

// Every alert shown: its text, and whether it is in the window.
const alertsShown = (page) => page.$$eval('[role=alert]', (all) => all.filter((e) => e.offsetParent !== null)
  .map((e) => ({ text: e.innerText, inWindow: e.getBoundingClientRect().top + 10 < innerHeight })));

// Opens `url` as the case says; resolves to the alerts shown once the page
// has started or given up, and whether it started.
async function arrive(url, c) {
  const page = await chromium.browser.newPage();
  try {
    if (c.lacks) await page.addInitScript(c.lacks);
    if (c.noScript) {
      const cdp = await page.context().newCDPSession(page);
      await cdp.send('Emulation.setScriptExecutionDisabled', { value: true });
    }
    await page.goto(url);
    if (c.ready === undefined || c.noScript) return { shown: await alertsShown(page), ready: false };
    // The page's module runs after parsing; its core then loads, or fails.
    await page.waitForFunction(() => window.movdithPage && (window.movdithPage.ready || window.movdithPage.failed));
    return { shown: await alertsShown(page), ready: await page.evaluate(() => window.movdithPage.ready) };
  } finally {
    await page.close();
  }
}

for (const target of Object.keys(TARGETS)) {
  for (const c of CASES) {
    test(`${target}: ${c.name}`, async () => {
      const { shown, ready } = await arrive(pageUrl(pages[target].origin), c);
      // One message at most, in the window.
      assert.deepEqual(shown, c.message === null ? [] : [{ text: c.message, inWindow: true }]);
      assert.equal(ready, c.ready);
    });
  }
}

test('the served site opened from a folder says to open the one file', async () => {
  const { shown } = await arrive(pathToFileURL(path.join(SITE, 'index.html')).href, {});
  assert.deepEqual(shown, [{ text: SEVERAL_FILES, inWindow: true }]);
});
