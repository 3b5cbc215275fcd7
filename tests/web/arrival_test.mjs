// What each page says on arrival where it cannot work: the served site and
// the one file, in Chromium with a feature the page needs taken away before
// the page loads (WebAssembly, WebCodecs), with no script run at all, and the
// served site's index.html opened from a folder, where its modules are
// blocked; with everything there, no message. Run by CTest (web_page_arrival).
import assert from 'node:assert/strict';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { after, before, test } from 'node:test';
import { launch, pageUrl, serve, SITE, TARGETS } from './support.mjs';

const BROWSERS = 'Use a recent Chrome or Edge (94 or newer), Firefox (130 or newer) or Safari (16.4 or newer).';
const COMMAND_LINE = ' Or convert on a computer with the command line: movdith movie.mp4 movie.8xx --engine=builtin.';
const NO_WASM = `This browser cannot run the converter: it has no WebAssembly (or it is turned off). ${BROWSERS}${COMMAND_LINE}`;
const NO_WEBCODECS = `This browser cannot read movies picture by picture: it has no WebCodecs. ${BROWSERS}${COMMAND_LINE}`;
const NO_SCRIPT = 'This page cannot start: this browser did not run its scripts. If you opened index.html from a ' +
  'folder on your computer, open movdith.html, the one-file page, instead. Otherwise turn on JavaScript, or convert ' +
  'with the command line: movdith movie.mp4 movie.8xx --engine=builtin.';
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

// Opens `url` as the case says; resolves to the message shown (null: none),
// whether it is in the window on arrival, and whether the page started.
async function arrive(url, c) {
  const page = await chromium.browser.newPage();
  try {
    if (c.lacks) await page.addInitScript(c.lacks);
    if (c.noScript) {
      const cdp = await page.context().newCDPSession(page);
      await cdp.send('Emulation.setScriptExecutionDisabled', { value: true });
    }
    await page.goto(url);
    const box = await page.$('#unsupported');
    const shown = box && {
      text: await box.innerText(),
      role: await box.getAttribute('role'),
      inWindow: await box.isVisible() && (await box.boundingBox()).y + 10 < page.viewportSize().height,
    };
    if (c.ready === undefined || c.noScript) return { shown, ready: false };
    // The page's module runs after parsing; its core then loads, or fails and says so.
    await page.waitForFunction(
      () => window.movdithPage && (window.movdithPage.ready || !document.querySelector('#error').hidden));
    return { shown, ready: await page.evaluate(() => window.movdithPage.ready) };
  } finally {
    await page.close();
  }
}

for (const target of Object.keys(TARGETS)) {
  for (const c of CASES) {
    test(`${target}: ${c.name}`, async () => {
      const { shown, ready } = await arrive(pageUrl(pages[target].origin), c);
      if (c.message === null) {
        assert.equal(shown, null, 'no message where the page works');
      } else {
        assert.deepEqual(shown, { text: c.message, role: 'alert', inWindow: true });
      }
      assert.equal(ready, c.ready);
    });
  }
}

test('the served site opened from a folder says to open the one file', async () => {
  const { shown } = await arrive(pathToFileURL(path.join(SITE, 'index.html')).href, {});
  assert.deepEqual(shown, { text: SEVERAL_FILES, role: 'alert', inWindow: true });
});
