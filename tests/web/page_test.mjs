// The browser page in Debian's Chromium, headless: its files against the
// command line's built-in engine (byte for byte on lossless movies, within a
// stated distance of its grey frames on ordinary ones), bad input, Cancel,
// playing a video, labels and keys, and that nothing but the page's own
// files is ever asked for. Run by CTest once for each page (web_page: the
// served site, web_page_one_file: dist/movdith.html opened from a folder,
// MOVDITH_WEB_TARGET=one-file), with the built site in MOVDITH_WEB_SITE, the
// one file in MOVDITH_WEB_ONE_FILE and the command line in MOVDITH_BIN and
// CLI_GREYS_BIN.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import {
  cliGreys, convert, greyDistance, launch, makeMovie, openMovie, openPage, pageUrl, runCli, serve, setDisplayMatrix, setOptions,
  tempDir, FRAME_BYTES, TARGET, TARGETS,
} from './support.mjs';

// The page's grey frames may differ from the command line's: the browser's
// decoder and the core's area averaging against libavcodec and libswscale.
// Measured (docs/web.md): at most 9 levels (1280 x 720), 16 (the turned
// movie, at the picture's edges), 8 (the others), each frame within 0.72 on
// average.
const MAX_GREY_DIFFERENCE = 20;
const MAX_FRAME_MEAN_DIFFERENCE = 1.0;
const PHONE_MATRIX = [0, 65536, 0, -65536, 0, 0, 0, 0, 1 << 30];  // shown a quarter turn clockwise
const COMMAND = 'movdith movie.mp4 movie.8xx --engine=builtin';

const sampleMovie = new URL('../../sample/sample.mp4', import.meta.url).pathname;
let server, chromium, folder, lossless, bframes, wide, turned, hd, phone, anamorphic, webm, fragmented;

before(async () => {
  folder = tempDir();
  // Lossless RGB H.264 (green-blue-red planes, decoded alike by both sides):
  // testsrc2's colour bars, gradients and moving shapes give the dithering
  // varied greys and motion. x264 makes no B-frames when lossless; at -qp 1
  // it does (pictures decoded out of order, some that no other refers to),
  // and both sides still decode the same pictures.
  lossless = makeMovie(path.join(folder, 'lossless.mp4'), 'testsrc2=size=96x64:rate=25:duration=3',
    ['-c:v', 'libx264rgb', '-qp', '0']);
  bframes = makeMovie(path.join(folder, 'bframes.mp4'), 'testsrc2=size=96x64:rate=25:duration=3',
    ['-c:v', 'libx264rgb', '-qp', '1']);
  // Wider than the screen, lossless: padded and cropped, it differs.
  wide = makeMovie(path.join(folder, 'wide.mp4'), 'testsrc2=size=192x64:rate=25:duration=2',
    ['-c:v', 'libx264rgb', '-qp', '0']);
  turned = makeMovie(path.join(folder, 'turned.mp4'), 'testsrc2=size=64x96:rate=30:duration=2',
    ['-c:v', 'libx264rgb', '-qp', '0']);
  setDisplayMatrix(turned, PHONE_MATRIX);
  hd = makeMovie(path.join(folder, 'hd.mp4'), 'testsrc2=size=1280x720:rate=30:duration=4',
    ['-c:v', 'libx264', '-pix_fmt', 'yuv420p']);
  // A phone's way: a landscape picture stored with a matrix that shows it upright.
  phone = path.join(folder, 'phone.mp4');
  fs.copyFileSync(hd, phone);
  setDisplayMatrix(phone, PHONE_MATRIX);
  // PAL's 16:9 pixels: 720 x 576 stored, 1024 x 576 shown.
  anamorphic = makeMovie(path.join(folder, 'anamorphic.mp4'), 'testsrc2=size=720x576:rate=25:duration=2,setsar=64/45',
    ['-c:v', 'libx264', '-pix_fmt', 'yuv420p']);
  // Fragments all through the file (as recorders write), over a megabyte:
  // the pictures' table is read from every fragment's header.
  fragmented = makeMovie(path.join(folder, 'fragmented.mp4'), 'testsrc2=size=1280x720:rate=25:duration=4',
    ['-c:v', 'libx264', '-pix_fmt', 'yuv420p', '-movflags', 'frag_keyframe+empty_moov']);
  // Not MP4: read through the page's <video> element.
  webm = makeMovie(path.join(folder, 'movie.webm'), 'testsrc2=size=320x240:rate=25:duration=2',
    ['-c:v', 'libvpx-vp9', '-b:v', '400k']);
  server = await serve();
  chromium = await launch();
});

after(async () => {
  if (chromium) await chromium.close();
  if (server) server.close();
  fs.rmSync(folder, { recursive: true, force: true });
});

// The page and the command line on one movie with one command line.
async function bothWays(movie, args) {
  const page = await openPage(chromium.browser, server.origin, '?greys');
  try {
    const opened = await openMovie(page, movie);
    assert.equal(opened.error, '', opened.error);
    await setOptions(page, args);
    const result = await convert(page, folder);
    const cli = runCli(movie, path.join(folder, 'cli.8xx'), args);
    const sizes = await page.evaluate(() => window.movdithPage.sizes);
    assert.deepEqual(page.errors, []);
    return { page: result, cli, sizes };
  } finally {
    await page.close();
  }
}

describe('the page writes what the command line writes', () => {
  const cases = [
    { name: 'two shades', args: [] },
    { name: 'four shades', args: ['-g'] },
    { name: 'a kernel and serpentine', args: ['-m', '0,0,0,0,0,0.5,0,0.5,0', '--serpentine'] },
    { name: 'steady dithering', args: ['--stable', '--dither=atkinson'] },
    { name: 'a clip', args: ['--start=0.75', '--duration=1.2', '-g'] },
    { name: 'reduction and ordered dithering', args: ['-r', '4', '--dither=bayer', '-g'] },
    { name: 'gamma 3 and sharpen 3', args: ['--gamma=3', '--sharpen=3'] },
  ];
  for (const c of cases) {
    test(`lossless movie, ${c.name}: ${c.args.join(' ') || 'no options'}`, async () => {
      const { page, cli } = await bothWays(lossless, c.args);
      assert.equal(page.name, 'lossless.8xx');
      assert.ok(page.bytes.length > 23);
      assert.ok(page.bytes.equals(cli.bytes), `${page.bytes.length} bytes against the command line's ${cli.bytes.length}`);
    });
  }
  test('lossless movie shown a quarter turn, cropped', async () => {
    const { page, cli } = await bothWays(turned, ['--fit=crop', '-g']);
    assert.ok(page.bytes.equals(cli.bytes), `${page.bytes.length} bytes against ${cli.bytes.length}`);
  });
});

// The command line's one frame of a clip starting at `ms`, unpacked as the
// preview's shades: a set bit is black.
function cliFrameAt(movie, ms, args = []) {
  const record = runCli(movie, path.join(folder, 'one.8xx'), [...args, `--start=${ms / 1000}`, '--duration=0.1']).bytes;
  assert.equal(record.length, 23 + 768);
  return Array.from({ length: FRAME_BYTES }, (_, i) => (record[23 + (i >> 3)] >> (7 - (i & 7))) & 1 ? 0 : 255);
}

// Moves the slider to `ms` (its input event, one preview) and waits for that
// preview: the pictures it drew, whether it came from the cache, its shades.
async function jump(page, ms) {
  await page.fill('#position', String(ms));
  return page.evaluate(async () => {
    await window.movdithPage.previewDone();
    const p = window.movdithPage;
    return { pictures: p.lastPreviewPictures, kept: p.lastPreviewKept, shades: p.previewShades() };
  });
}

describe('the preview at a position shows what the frame there shows', () => {
  for (const [name, movie, outOfOrder] of [['lossless, no B-frames', () => lossless, false],
    ['B-frames', () => bframes, true]]) {
    test(name, async () => {
      // Without the cache, so that every position is decoded as described below.
      const page = await openPage(chromium.browser, server.origin, '?nocache');
      try {
        await openMovie(page, movie());
        assert.equal(await page.evaluate(() => {
          const cts = window.movdithPage.state.source.track.table.cts;
          return cts.some((t, i) => i > 0 && t < cts[i - 1]);
        }), outOfOrder, 'pictures decoded out of order');
        // The movie's pictures are 40 ms apart from 0, its only keyframe at 0.
        const pictureAt = (ms) => Math.floor(ms / 40) * 40;
        // The pictures the preview draws, in order: a step on of a tenth of a
        // second goes on decoding and shows the exact picture alone, and so
        // does the same position again (the picture in hand); a step back
        // starts again from the keyframe and shows it first. After a jump on,
        // whether the keyframe comes first depends on how far the decoder had
        // read ahead (null: either way).
        for (const [ms, drawn] of [[1200, null], [1300, [1280]], [1400, [1400]], [1400, [1400]], [500, [0, 480]],
          [2900, null], [0, [0]]]) {
          // Fires the slider's input event; the preview it asks for is awaited.
          await page.fill('#position', String(ms));
          const pictures = await page.evaluate(async () => {
            await window.movdithPage.previewDone();
            return window.movdithPage.lastPreviewPictures;
          });
          assert.equal(await page.textContent('#error'), '', `at ${ms} ms`);
          assert.deepEqual(pictures, drawn ?? (pictures.length === 2 ? [0, pictureAt(ms)] : [pictureAt(ms)]), `at ${ms} ms`);
          const shades = await page.evaluate(() => window.movdithPage.previewShades());
          assert.deepEqual(shades, cliFrameAt(movie(), ms), `at ${ms} ms`);
        }
      } finally {
        await page.close();
      }
    });
  }
});

describe('a jump in the preview: from the cache of pictures, or decoded', () => {
  // Positions out of order, back and forth, each one's exact picture.
  const positions = [2300, 700, 2900, 100, 0, 1500, 1400];
  for (const [name, movie] of [['lossless, no B-frames', () => lossless], ['B-frames', () => bframes]]) {
    test(`served from the cache once the background pass has kept it: ${name}`, async () => {
      const page = await openPage(chromium.browser, server.origin);
      try {
        await openMovie(page, movie());
        await page.evaluate(() => window.movdithPage.cacheDone());
        // 3 s at a tenth of a second: 31 positions, each its own picture.
        assert.equal(await page.evaluate(() => window.movdithPage.state.source.cache.kept), 31);
        for (const ms of positions) {
          const got = await jump(page, ms);
          assert.equal(got.kept, true, `at ${ms} ms`);
          // The exact picture alone, no keyframe before it.
          assert.deepEqual(got.pictures, [Math.floor(ms / 40) * 40], `at ${ms} ms`);
          assert.deepEqual(got.shades, cliFrameAt(movie(), ms), `at ${ms} ms`);
        }
        // The picture held (1400 ms, from the cache) redraws exactly after a
        // change of tone and dithering, which leaves the kept pictures good.
        const args = ['--gamma=2.5', '--dither=atkinson'];
        await setOptions(page, args);
        const redrawn = await page.evaluate(async () => {
          await window.movdithPage.previewDone();
          return window.movdithPage.previewShades();
        });
        assert.notDeepEqual(cliFrameAt(movie(), 1400, args), cliFrameAt(movie(), 1400));
        assert.deepEqual(redrawn, cliFrameAt(movie(), 1400, args));
        assert.equal((await jump(page, 2300)).kept, true);
        assert.deepEqual(page.errors, []);
      } finally {
        await page.close();
      }
    });
    test(`served by decoding, without the cache: ${name}`, async () => {
      const page = await openPage(chromium.browser, server.origin, '?nocache');
      try {
        await openMovie(page, movie());
        for (const ms of positions) {
          const got = await jump(page, ms);
          assert.equal(got.kept, false, `at ${ms} ms`);
          assert.equal(got.pictures.at(-1), Math.floor(ms / 40) * 40, `at ${ms} ms`);
          assert.deepEqual(got.shades, cliFrameAt(movie(), ms), `at ${ms} ms`);
        }
        assert.deepEqual(page.errors, []);
      } finally {
        await page.close();
      }
    });
  }
  // A drag of the slider: each move drops the jump before it, so only the
  // last position is decoded and shown, and its picture is exact; with the
  // cache, the background pass, stopped by the first move while it waits on
  // its decoder, goes on after and keeps every position.
  for (const [query, name] of [['?nocache', 'without the cache'], ['', 'with the background pass running']]) {
    test(`moves made while a jump is on the way: only the last is shown, exactly (${name})`, async () => {
      const page = await openPage(chromium.browser, server.origin, query);
      try {
        await openMovie(page, bframes);
        const moves = [2300, 700, 2900, 1500];
        const shown = await page.evaluate(async (list) => {
          const p = window.movdithPage;
          await p.previewDone();
          p.positionsShown = [];
          const cache = p.state.source.cache;
          if (cache) {
            // The moves come as the pass first waits on its decoder, packets queued in it.
            await new Promise((resolve) => {
              const decoder = cache.decoder;
              Object.defineProperty(decoder, 'wake', {
                configurable: true,
                get: () => null,
                set: (wake) => {
                  delete decoder.wake;
                  decoder.wake = wake;
                  if (wake) resolve();
                },
              });
            });
          }
          const slider = document.getElementById('position');
          for (const ms of list) {
            slider.value = String(ms);
            slider.dispatchEvent(new Event('input', { bubbles: true }));
          }
          await p.previewDone();
          return { positions: p.positionsShown, pictures: p.lastPreviewPictures, shades: p.previewShades() };
        }, moves);
        assert.deepEqual(shown.positions, [1500]);
        assert.equal(shown.pictures.at(-1), 1480);
        assert.deepEqual(shown.shades, cliFrameAt(bframes, 1500));
        if (query === '') {
          await page.evaluate(() => window.movdithPage.cacheDone());
          assert.equal(await page.evaluate(() => window.movdithPage.state.source.cache.kept), 31);
          const got = await jump(page, 2900);
          assert.equal(got.kept, true);
          assert.deepEqual(got.shades, cliFrameAt(bframes, 2900));
        }
        assert.equal(await page.textContent('#error'), '');
        assert.deepEqual(page.errors, []);
      } finally {
        await page.close();
      }
    });
  }
  test('a kept picture made stale by a change of fit is decoded again at the new fit', async () => {
    // The pictures at 1 s padded, then cropped, as the page decodes them
    // without the cache (this movie's padded picture is not the command
    // line's to the bit, so the page's own decoding is the reference here).
    const shown = async (page, fit) => {
      if (fit) await setOptions(page, [`--fit=${fit}`]);
      return page.evaluate(async () => {
        await window.movdithPage.previewDone();
        return window.movdithPage.previewShades();
      });
    };
    const reference = await openPage(chromium.browser, server.origin, '?nocache');
    let padded, cropped;
    try {
      await openMovie(reference, wide);
      assert.equal((await jump(reference, 1000)).kept, false);
      padded = await shown(reference);
      cropped = await shown(reference, 'crop');
      assert.notDeepEqual(cropped, padded);
    } finally {
      await reference.close();
    }
    const page = await openPage(chromium.browser, server.origin);
    try {
      await openMovie(page, wide);
      await page.evaluate(() => window.movdithPage.cacheDone());
      const got = await jump(page, 1000);
      assert.equal(got.kept, true);
      assert.deepEqual(got.shades, padded);
      // The redraw asks for the position again: its picture at the new fit.
      assert.deepEqual(await shown(page, 'crop'), cropped);
      assert.deepEqual(page.errors, []);
    } finally {
      await page.close();
    }
  });
});

describe('ordinary movies: the same sizes and frames, grey frames close', () => {
  for (const [name, movie, args] of [['1280 x 720', () => hd, []], ['phone, upright', () => phone, ['-g']],
    ['1280 x 720 cropped, a clip', () => hd, ['--fit=crop', '--start=1.05', '--duration=2']],
    ['anamorphic', () => anamorphic, []], ['fragmented', () => fragmented, ['-g']],
    ['WebM, through the player', () => webm, []]]) {
    test(name, async (t) => {
      const { page, cli, sizes } = await bothWays(movie(), args);
      const reference = cliGreys(movie(), args);
      for (const key of ['inWidth', 'inHeight', 'outWidth', 'outHeight']) assert.equal(sizes[key], reference.sizes[key], key);
      assert.match(cli.console, new RegExp(`In Width: ${sizes.inWidth}\nIn Height: ${sizes.inHeight}\n` +
        `Out Width: ${sizes.outWidth}\nOut Height: ${sizes.outHeight}\n`));
      assert.equal(page.bytes.length, cli.bytes.length, 'the same number of records');
      assert.ok(page.bytes.subarray(0, 23).equals(cli.bytes.subarray(0, 23)), 'the same header');
      assert.equal(page.greys.length, reference.frames * FRAME_BYTES);
      const d = greyDistance(page.greys, reference.greys);
      t.diagnostic(`${reference.frames} frames; grey frames differ by up to ${d.max}, a frame by ${d.worstMean.toFixed(2)} on average`);
      assert.ok(d.max <= MAX_GREY_DIFFERENCE && d.worstMean <= MAX_FRAME_MEAN_DIFFERENCE,
        `grey frames differ by up to ${d.max}, a frame by ${d.worstMean.toFixed(2)} on average`);
    });
  }
});

describe('bad input gets a plain message and the page goes on', () => {
  const hevcMessage = `This movie is HEVC (H.265), as phones record, and this browser cannot decode HEVC on this ` +
    `computer. Convert it with the command line (${COMMAND}), or re-encode it to H.264 first.`;
  const cases = [
    { name: 'a text file named .mp4', make: (f) => fs.writeFileSync(f, 'these are words, not a movie\n'),
      message: 'This file is not a movie this browser can read. If it is a movie, convert it with the command line ' +
        `(${COMMAND}), or re-encode it to H.264 MP4 first.` },
    { name: 'sound only', make: (f) => makeMovie(f, 'sine=frequency=440:duration=1', ['-c:a', 'aac']),
      message: 'This file has no picture to convert: it holds sound only, or no video track.' },
    { name: 'HEVC', make: (f) => makeMovie(f, 'testsrc2=size=160x120:rate=10:duration=1',
      ['-c:v', 'libx265', '-tag:v', 'hvc1', '-x265-params', 'log-level=error']), message: hevcMessage },
    { name: 'a picture', file: 'picture.png', make: (f) => makeMovie(f, 'testsrc2=size=200x100', ['-frames:v', '1']),
      message: 'This file is a picture, not a movie. Open a movie file (MP4, MOV or WebM, for example).' },
    { name: 'a text file', file: 'notes.txt', make: (f) => fs.writeFileSync(f, 'these are words\n'),
      message: 'This file is text, not a movie. Open a movie file (MP4, MOV or WebM, for example).' },
    { name: 'an empty file', make: (f) => fs.writeFileSync(f, ''),
      message: 'This file is not a movie this browser can read. If it is a movie, convert it with the command line ' +
        `(${COMMAND}), or re-encode it to H.264 MP4 first.` },
  ];
  test('each is refused in words, then a good movie converts', async () => {
    const page = await openPage(chromium.browser, server.origin);
    try {
      for (const c of cases) {
        const file = path.join(folder, c.file || `bad-${c.name.replace(/\W+/g, '-')}.mp4`);
        c.make(file);
        const opened = await openMovie(page, file);
        assert.equal(opened.error, c.message, c.name);
        assert.equal(await page.isDisabled('#go'), true, `${c.name}: nothing to convert`);
      }
      const opened = await openMovie(page, lossless);
      assert.equal(opened.error, '');
      const result = await convert(page, folder);
      assert.ok(result.bytes.equals(runCli(lossless, path.join(folder, 'after.8xx'), []).bytes));
      assert.deepEqual(page.errors, []);
    } finally {
      await page.close();
    }
  });
});

test('Cancel in the middle: nothing is downloaded and the page goes on', async () => {
  const long = makeMovie(path.join(folder, 'long.mp4'), 'testsrc2=size=1280x720:rate=30:duration=40',
    ['-c:v', 'libx264', '-preset', 'ultrafast', '-pix_fmt', 'yuv420p']);
  const page = await openPage(chromium.browser, server.origin);
  const downloads = [];
  page.on('download', (d) => downloads.push(d));
  try {
    assert.equal((await openMovie(page, long)).error, '');
    await page.click('#go');
    await page.waitForFunction(() => document.querySelector('#progress').value >= 5, null, { timeout: 60000 });
    await page.click('#cancel');
    await page.waitForFunction(() => document.querySelector('#progress-text').value.startsWith('Cancelled'));
    assert.equal(await page.$eval('#progress-text', (e) => e.value), 'Cancelled: nothing was saved.');
    assert.equal(await page.isHidden('#player'), true);
    assert.equal(await page.isDisabled('#go'), false);
    assert.equal(await page.isDisabled('#cancel'), true);
    assert.deepEqual(downloads, []);
    // The page goes on: the next conversion is whole.
    await setOptions(page, ['--duration=0.5']);
    const result = await convert(page, folder);
    assert.equal(result.bytes.length, 23 + 5 * 768);
    assert.deepEqual(page.errors, []);
  } finally {
    await page.close();
  }
});

test('a .8xx video plays in the page', async () => {
  const video = runCli(lossless, path.join(folder, 'played.8xx'), ['-g']);
  const page = await openPage(chromium.browser, server.origin);
  try {
    await page.setInputFiles('#video', path.join(folder, 'played.8xx'));
    await page.waitForSelector('#player:not([hidden])');
    assert.equal(await page.textContent('#video-info'), `${video.bytes.length.toLocaleString('en')} bytes, 30 frames, 3.0 s, four shades`);
    assert.equal(await page.$eval('#frame', (e) => e.max), '29');
    await page.click('#play');
    await page.waitForFunction(() => Number(document.querySelector('#frame').value) >= 3);
    await page.click('#play');  // pauses
    assert.equal(await page.textContent('#play'), 'Play');
    // A file that is not a video says so.
    await page.setInputFiles('#video', lossless);
    await page.waitForSelector('#error:not([hidden])');
    assert.equal(await page.textContent('#error'), 'This file cannot be played: this is not a .8xx video. Choose a ' +
      'video movdith made (its name ends in .8xx), or open a movie with "Open a movie…" to convert it.');
    assert.equal(await page.$eval('#error', (e) => e.previousElementSibling.id), 'drop', 'below where the file was chosen');
    assert.equal(await inWindow(page, '#error'), true);
  } finally {
    await page.close();
  }
});

test('every control is labelled and works from the keyboard', async () => {
  const page = await openPage(chromium.browser, server.origin);
  try {
    const unlabelled = await page.evaluate(() => [...document.querySelectorAll('input, select, button')]
      .filter((e) => !(e.labels && e.labels.length) && !e.getAttribute('aria-label') && !e.textContent.trim())
      .map((e) => e.id));
    assert.deepEqual(unlabelled, []);
    await openMovie(page, lossless);
    // Tab reaches the controls in order; Enter on Convert converts.
    const order = [];
    for (let i = 0; i < 40; ++i) {
      await page.keyboard.press('Tab');
      order.push(await page.evaluate(() => document.activeElement.id));
    }
    for (const id of ['movie', 'video', 'option-g', 'option-fit', 'position', 'go']) assert.ok(order.includes(id), id);
    await page.focus('#go');
    await page.keyboard.press('Enter');
    await page.waitForSelector('#player:not([hidden])');
    await page.focus('#play');
    await page.keyboard.press('Space');
    assert.equal(await page.textContent('#play'), 'Pause');
  } finally {
    await page.close();
  }
});

test('nothing but the page\'s own files is asked for, and the policy refuses the rest', async () => {
  // Every request of the browser, from the page's own load on.
  const asked = [];
  const fetched = [];  // fetches of any kind, data: URLs too
  const listen = (r) => {
    if (!/^(blob|data):/.test(r.url())) asked.push(r.url());
    if (['fetch', 'xhr'].includes(r.resourceType())) fetched.push(r.url().slice(0, 40));
  };
  chromium.browser.on('request', listen);
  const page = await openPage(chromium.browser, server.origin);
  try {
    await openMovie(page, hd);
    await convert(page, folder);
    assert.deepEqual(page.errors, [], 'the page breaks none of its own policy');
    if (TARGET === 'one-file') {
      // The one file asks for nothing but itself: its wasm is handed to
      // the core as bytes, not fetched from a data: URL.
      assert.deepEqual([...new Set(asked)], [server.origin]);
      assert.deepEqual(fetched, []);
    } else {
      assert.deepEqual(asked.filter((url) => !url.startsWith(server.origin)), []);
      const files = new Set(fs.readdirSync(process.env.MOVDITH_WEB_SITE, { recursive: true }).map((f) => '/' + f));
      const strangers = server.requests.map((u) => new URL(u, server.origin).pathname)
        .filter((p) => p !== '/' && !files.has(p));
      assert.deepEqual(strangers, []);
    }
    // The policy that forbids any other request is in the page itself:
    // the page's own origin only, or for the one file, no origin at all.
    const policy = await page.$eval('meta[http-equiv="Content-Security-Policy"]', (e) => e.content);
    if (TARGET === 'one-file') {
      assert.match(policy, /default-src 'none'/);
      assert.match(policy, /connect-src 'none';/);
      assert.doesNotMatch(policy, /connect-src[^;]*data:/);
      assert.match(policy, /script-src 'wasm-unsafe-eval'( 'sha256-[A-Za-z0-9+/]{43}=')+;/);
      assert.doesNotMatch(policy, /'self'|'unsafe-inline'|'unsafe-eval'/);
    } else {
      assert.match(policy, /default-src 'self'/);
      assert.match(policy, /connect-src 'self'/);
    }
    assert.equal(await page.evaluate(() => fetch('http://127.0.0.1:9/').then(() => 'answered', () => 'refused')), 'refused');
    // The browser reports the refusal (in one line or two, by its version),
    // naming the rule that refused it, and nothing else.
    assert.notEqual(page.errors.length, 0);
    for (const e of page.errors) assert.match(e, /http:\/\/127\.0\.0\.1:9\/.*Content Security Policy|Content Security Policy.*http:\/\/127\.0\.0\.1:9\//i);
    assert.match(page.errors.join('\n'), /"connect-src /);
  } finally {
    chromium.browser.off('request', listen);
    await page.close();
  }
});

test('it works offline, served by its service worker', {
  skip: !TARGETS[TARGET].serviceWorker && 'the one file has no service worker: it is offline by being one file',
}, async () => {
  const page = await openPage(chromium.browser, server.origin);
  try {
    await page.waitForFunction(() => navigator.serviceWorker.controller !== null || navigator.serviceWorker.ready);
    await page.evaluate(() => navigator.serviceWorker.ready);
    await page.reload();
    await page.waitForFunction(() => navigator.serviceWorker.controller !== null);
    await chromium.browser.setOffline(true);
    const before = server.requests.length;
    await page.reload();
    await page.waitForFunction(() => window.movdithPage && window.movdithPage.ready);
    assert.equal((await openMovie(page, lossless)).error, '');
    const result = await convert(page, folder);
    assert.ok(result.bytes.equals(runCli(lossless, path.join(folder, 'offline.8xx'), []).bytes));
    // The browser itself checks sw.js for a new version after navigations,
    // on its own schedule, which may fall after setOffline (in the full
    // suite, under load, it came 0.2 s after): that check is not the page's.
    const heard = server.requests.slice(before).filter((url) => url !== '/sw.js');
    assert.deepEqual(heard, [], 'offline, the server heard nothing but the browser\'s check of sw.js');
  } finally {
    await chromium.browser.setOffline(false);  // for the tests after this one, whatever happened
    await page.close();
  }
});

test('the page after converting the sample, for the README', async () => {
  const sample = new URL('../../sample/sample.mp4', import.meta.url).pathname;
  const page = await openPage(chromium.browser, server.origin);
  try {
    assert.equal((await openMovie(page, sample)).error, '');
    await setOptions(page, ['-g', '--dither=atkinson']);
    await page.fill('#position', '3000');
    await page.evaluate(() => window.movdithPage.previewDone());
    const result = await convert(page, folder);
    assert.equal(result.name, 'sample.8xx');
    // A lossy movie: the same records, not the same bytes (see above).
    assert.equal(result.bytes.length, runCli(sample, path.join(folder, 'sample.8xx'), ['-g']).bytes.length);
    await page.click('#play');
    await page.waitForFunction(() => Number(document.querySelector('#frame').value) >= 25);
    await page.click('#play');
    const shot = process.env.MOVDITH_WEB_SCREENSHOT || path.join(folder, 'page.png');
    await page.screenshot({ path: shot, fullPage: true });
    assert.ok(fs.statSync(shot).size > 10000);
  } finally {
    await page.close();
  }
});

// ---- The way a student meets the page ----

// What the command line says (its line on standard output) and writes.
function cliOutcome(movie, args) {
  const out = path.join(folder, 'outcome.8xx');
  fs.rmSync(out, { force: true });
  try {
    const { bytes } = runCli(movie, out, args);
    return { ok: true, bytes };
  } catch (e) {
    return { ok: false, line: e.stdout.trim().split('\n').pop(), file: fs.existsSync(out) };
  }
}

async function withPage(body, query) {
  const page = await openPage(chromium.browser, server.origin, query);
  try {
    return await body(page);
  } finally {
    await page.close();
  }
}

// Whether `selector`'s box lies wholly inside the window.
async function inWindow(page, selector) {
  return page.$eval(selector, (e) => {
    const r = e.getBoundingClientRect();
    return r.width > 0 && r.top >= 0 && r.left >= 0 && r.bottom <= innerHeight && r.right <= innerWidth;
  });
}

test('every control speaks in words, its flag a hint after them; the command line follows the form', async () => {
  await withPage(async (page) => {
    await openMovie(page, lossless);
    const labels = await page.$$eval('#options label', (all) => all.map((l) => ({
      words: l.firstChild.textContent.trim(), flag: l.querySelector('code.flag')?.textContent })));
    assert.ok(labels.length >= 13);
    for (const { words, flag } of labels) {
      assert.match(words, /^[A-Z][a-z]/, `"${words}" reads as words`);
      assert.match(flag, /^--?[a-z]/, `${words}: its flag after the words`);
    }
    // Each help line says what the control does to the picture: no flag, no
    // program's name, none of the trade's words.
    const helps = await page.$$eval('#options .help', (all) => all.map((e) => e.textContent));
    assert.equal(helps.length, labels.length);
    for (const help of helps) {
      assert.doesNotMatch(help, /(^|[\s(])--?[a-z]|ImageMagick|kernel|error.diffusion|posteris|unsharp|transfer curve/i, help);
    }
    assert.equal(await page.$eval('#option-dither', (e) => e.selectedOptions[0].textContent), 'Floyd–Steinberg');
    assert.deepEqual(await page.$$eval('#option-g option', (all) => all.map((o) => o.textContent)), ['black and white', '4 greys']);
    // The seldom ones are folded away; the first are those that change most pictures.
    assert.equal(await page.$eval('#more', (e) => e.open), false);
    for (const id of ['option-m', 'option-r', 'option-gamma', 'option-sharpen', 'option-serpentine', 'option-levels']) {
      assert.equal(await page.$eval('#' + id, (e) => Boolean(e.closest('#more'))), true, id);
    }
    assert.deepEqual((await page.$$eval('#options > .grid .row select, #options > .grid .row input',
      (all) => all.map((e) => e.id))).slice(0, 3), ['option-g', 'option-dither', 'option-stable']);
    const command = () => page.$eval('#command', (e) => e.value);
    assert.equal(await command(), 'movdith lossless.mp4 lossless.8xx');
    await setOptions(page, ['-g', '--stable']);
    assert.equal(await command(), 'movdith lossless.mp4 lossless.8xx -g --stable');
    await setOptions(page, ['--gamma=2.5']);
    assert.equal(await command(), 'movdith lossless.mp4 lossless.8xx -g --stable --gamma=2.5');
    assert.equal(await page.$eval('#option-gamma-value', (e) => e.value), '2.5', 'the value shown');
    // Copy puts exactly that on the clipboard.
    // (A page opened from disk has no origin to grant reading the clipboard to.)
    if (TARGET !== 'one-file') {
      await chromium.browser.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: server.origin });
    }
    await page.click('#copy');
    assert.equal(await page.textContent('#copy-status'), 'Copied.');
    if (TARGET !== 'one-file') assert.equal(await page.evaluate(() => navigator.clipboard.readText()), await command());
    // A preset sets its named options only, keeps the shades, and shows them.
    for (const [label, args] of [['Line-art cartoon', '--dither=atkinson --stable'], ['Live action', '--stable --gamma=2.2'],
      ['Dark movie', '--stable --sharpen=1']]) {
      await page.selectOption('#preset', { label });
      assert.equal(await command(), `movdith lossless.mp4 lossless.8xx -g ${args}`, label);
    }
    assert.deepEqual(page.errors, []);
  });
});

test('gamma and sharpen are sliders through their ranges in the command line\'s steps', async () => {
  await withPage(async (page) => {
    for (const [id, min, max] of [['gamma', '1', '4'], ['sharpen', '0', '5']]) {
      assert.deepEqual(await page.$eval('#option-' + id, (e) => [e.type, e.min, e.max, e.step]), ['range', min, max, '0.01']);
    }
  });
  // Gamma 3 and sharpen 3 give the command line's bytes: among the cases above.
});

test('a value typed past a slider\'s end, or one the command line cannot read, is refused in the setting\'s words', async () => {
  const gammaTakes = 'a number from 1 to 4, at most two decimals (2.2 for most movies; 1: off)';
  const gammaRefused = `"Dither in light (gamma)" (--gamma) takes ${gammaTakes}. Change it, or choose a preset.`;
  // What is typed in the number field is what the command line is given,
  // whatever the slider beside it can hold: at the end, one step past it,
  // more decimals than its steps.
  const cases = [
    { field: '#option-gamma-value', typed: '4', arg: '--gamma=4' },
    { field: '#option-gamma-value', typed: '4.01', arg: '--gamma=4.01', said: gammaRefused },
    { field: '#option-gamma-value', typed: '2.505', arg: '--gamma=2.505', said: gammaRefused },
    { field: '#option-gamma-value', typed: '1', arg: null },
    { field: '#option-gamma-value', typed: '0.99', arg: '--gamma=0.99', said: gammaRefused },
    { field: '#option-m', typed: 'abc', arg: '-m abc', said: '"Your own dithering kernel" (-m) takes nine numbers, row by ' +
      'row: how much of each dot\'s error goes to the dots around it. Change it, or choose a preset.' },
    { field: '#option-brightness', typed: '101', arg: '--brightness=101',
      said: '"Brightness" (--brightness) takes a whole number from -100 to 100. Change it, or choose a preset.' },
  ];
  await withPage(async (page) => {
    await openMovie(page, lossless);
    await page.$eval('#more', (e) => { e.open = true; });
    for (const c of cases) {
      for (const field of ['#option-gamma-value', '#option-m', '#option-brightness']) await page.fill(field, '');
      await page.fill(c.field, c.typed);
      const command = await page.$eval('#command', (e) => e.value);
      const name = `${c.field} ${c.typed}`;
      assert.equal(command, `movdith lossless.mp4 lossless.8xx${c.arg ? ' ' + c.arg : ''}`, name);
      const cli = cliOutcome(lossless, c.arg ? c.arg.split(' ') : []);
      assert.equal(cli.ok, !c.said, `${name}: the command line ${c.said ? 'refuses' : 'takes'} it`);
      if (c.said) {
        assert.equal(await page.textContent('#error'), c.said, name);
        if (c.arg.startsWith('--')) assert.ok(c.said.includes(cli.line.replace(/^error argument for --[a-z]+: /, '')), cli.line);
        assert.equal(await inWindow(page, '#error'), true, `${name}: the alert in the window`);
        assert.equal(await page.isDisabled('#go'), true, name);
      } else {
        assert.equal(await page.isHidden('#error'), true, name);
        assert.equal(await page.isDisabled('#go'), false, name);
      }
    }
  });
});

describe('the size before converting, and the clips the command line refuses', () => {
  // The lossless movie: 75 pictures 40 ms apart, the last ending at 3 s.
  const cases = [
    { args: [], frames: 30 },
    { args: ['-g'], frames: 30 },
    { args: ['--start=1', '--duration=0.5'], frames: 5 },
    { args: ['--start=2.999', '-g'], frames: 1 },
    { args: ['--start=3'], refused: true },
    { args: ['--start=3.001'], refused: true },
    { args: ['--start=20'], refused: true },
    { args: ['--duration=0.001'], frames: 1 },
    { args: ['--duration=0'], refused: true },
  ];
  test(cases.map((c) => c.args.join(' ') || 'no options').join('; '), async () => {
    await withPage(async (page) => {
      await openMovie(page, lossless);
      for (const c of cases) {
        // Back to the whole movie in two shades, then this case's options.
        await page.fill('#option-start', '');
        await page.fill('#option-duration', '');
        await page.selectOption('#option-g', '');
        await setOptions(page, c.args);
        const cli = cliOutcome(lossless, c.args);
        const name = c.args.join(' ');
        if (c.refused) {
          assert.equal(cli.ok, false, `${name}: the command line refuses it`);
          assert.equal(cli.file, false);
          await page.waitForSelector('#error:not([hidden])');
          const said = await page.textContent('#error');
          // The command line's reason, after the setting's words ("Clip length" (--duration) takes ...).
          const reason = cli.line.replace(/^error (argument for --[a-z]+: )?/, '');
          assert.ok(said.includes(reason), `${name}: "${said}" gives the command line's "${reason}"`);
          assert.equal(await page.getAttribute('#error', 'role'), 'alert');
          assert.equal(await inWindow(page, '#error'), true, `${name}: the alert is in the window`);
          assert.equal(await page.isDisabled('#go'), true, `${name}: nothing to convert`);
          assert.equal(await page.textContent('#estimate'), '');
        } else {
          assert.equal(cli.ok, true, name);
          const bytes = 23 + c.frames * (c.args.includes('-g') ? 1536 : 768);
          assert.equal(cli.bytes.length, bytes, `${name}: the command line's file`);
          const frames = `${c.frames} frame${c.frames === 1 ? '' : 's'}`;  // one frame, in the singular
          assert.equal(await page.textContent('#estimate'), `The video: ${frames}, ${(c.frames / 10).toFixed(1)} s, ` +
            `${bytes.toLocaleString('en')} bytes`, name);
          assert.equal(await page.isHidden('#error'), true, name);
        }
      }
    });
  });
  test('a movie read by the browser\'s player (VP9 WebM): the clip past its end refused before converting', async () => {
    await withPage(async (page) => {
      assert.equal((await openMovie(page, webm)).error, '');
      assert.equal(await page.textContent('#estimate'), 'The video: 20 frames, 2.0 s, 15,383 bytes');
      await setOptions(page, ['--start=2']);
      await page.waitForSelector('#error:not([hidden])');
      assert.equal(await page.textContent('#error'), 'Start error: the clip starts after the movie\'s end. Move the ' +
        'clip\'s start before the end of the movie (or press Whole movie), then convert.');
      assert.equal(await page.isDisabled('#go'), true);
      await setOptions(page, ['--start=1.9']);
      assert.equal(await page.isHidden('#error'), true);
      assert.equal(await page.textContent('#estimate'), 'The video: 1 frame, 0.1 s, 791 bytes');
    });
  });
  test('Start here at the movie\'s end: the command line\'s reason beside the button, and no file', async () => {
    await withPage(async (page) => {
      const downloads = [];
      page.on('download', (d) => downloads.push(d));
      await openMovie(page, lossless);
      await page.fill('#position', '3000');
      await page.click('#mark-start');
      await page.waitForSelector('#error:not([hidden])');
      assert.equal(await page.textContent('#error'), 'Start error: the clip starts after the movie\'s end. Move the ' +
        'clip\'s start before the end of the movie (or press Whole movie), then convert.');
      assert.equal(cliOutcome(lossless, ['--start=3']).line, 'Start error: the clip starts after the movie\'s end');
      assert.equal(await page.$eval('#error', (e) => e.previousElementSibling.id), 'marks', 'beside the clip buttons');
      assert.equal(await inWindow(page, '#error'), true);
      assert.equal(await page.isDisabled('#go'), true);
      await page.click('#mark-clear');
      assert.equal(await page.isHidden('#error'), true);
      assert.equal(await page.isDisabled('#go'), false);
      assert.deepEqual(downloads, []);
    });
  });
});

// A tap of the finger at the middle of `selector` (touch events, as a phone sends them).
async function tap(session, page, selector) {
  const box = await page.locator(selector).boundingBox();
  const point = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  await session.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: [point] });
  await session.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
}

describe('the way through: preview and Convert in the window, then the result', () => {
  for (const [width, height, phone] of [[1280, 800, false], [390, 844, true]]) {
    test(`${width} x ${height}${phone ? ', a phone\'s touch' : ''}`, async () => {
      await withPage(async (page) => {
        const session = await page.context().newCDPSession(page);
        await session.send('Emulation.setDeviceMetricsOverride', { width, height, deviceScaleFactor: phone ? 3 : 1, mobile: phone });
        await session.send('Emulation.setTouchEmulationEnabled', { enabled: phone, maxTouchPoints: phone ? 5 : 1 });
        await page.setViewportSize({ width, height });
        assert.equal((await openMovie(page, sampleMovie)).error, '');
        await page.evaluate(() => window.movdithPage.previewDone());
        for (const id of ['source', 'result', 'go', 'estimate']) assert.equal(await inWindow(page, '#' + id), true, `${id} in the window`);
        // Side by side: the two screens share a row.
        const [a, b] = await Promise.all(['#source', '#result'].map((s) => page.locator(s).boundingBox()));
        assert.ok(Math.abs(a.y - b.y) < 1 && a.x + a.width <= b.x, 'the two screens side by side');
        // Nothing wider than the window, and every control there to be tapped:
        // the element under its middle is itself (or its own label).
        await page.$eval('#more', (e) => { e.open = true; });
        assert.equal(await page.evaluate(() => document.documentElement.scrollWidth), width, 'no sideways scrolling');
        const hidden = await page.$$eval('button:not([disabled]), select, input:not([type=file]), textarea, summary, label.button',
          (all) => all.filter((e) => e.offsetParent !== null).map((e) => {
            e.scrollIntoView({ block: 'center' });
            const r = e.getBoundingClientRect();
            const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
            const own = hit && (hit === e || e.contains(hit) || (hit.closest('label') && hit.closest('label').control === e));
            return own && r.right <= innerWidth && r.left >= 0 ? null : e.id || e.textContent;
          }).filter(Boolean));
        assert.deepEqual(hidden, []);
        await page.$eval('#more', (e) => { e.open = false; });
        await page.evaluate(() => scrollTo(0, 0));
        // The taps a student makes: a position, Start here, Convert.
        await page.fill('#position', '2000');
        if (phone) await tap(session, page, '#mark-start'); else await page.click('#mark-start');
        assert.equal(await page.textContent('#clip-text'), 'Clip: from 0:02.0 to the end');
        assert.equal(await page.textContent('#estimate'), 'The video: 60 frames, 6.0 s, 46,103 bytes');
        if (phone) await tap(session, page, '#go'); else await page.click('#go');
        await page.waitForSelector('#player:not([hidden])', { timeout: 120000 });
        await page.waitForFunction(() => document.activeElement.id === 'download');
        for (const id of ['screen', 'download', 'video-info']) assert.equal(await inWindow(page, '#' + id), true, `${id} in the window`);
        assert.equal(await page.textContent('#video-info'), 'sample.8xx: 46,103 bytes, 60 frames, 6.0 s, black and white');
        assert.deepEqual(page.errors, []);
      });
    });
  }
});

// Moves the focus by Tab from the first setting to past the last (opening
// "More settings" with Enter on the way, as a student would), then back by
// Shift+Tab to before the first (a control the window scrolls up to ends at
// its top edge, where a box held at the top would cover it), calling `check`
// with the focused control's id at each; resolves to the ids both ways.
async function tabThroughSettings(page, check) {
  const focusedSetting = () => page.evaluate(() => {
    const e = document.activeElement;
    if (!e.closest('#settings')) return null;
    return e.tagName === 'SUMMARY' ? 'more-summary' : e.id;
  });
  const walk = async (first, key) => {
    const visited = [];
    for (let id = first; id; id = await focusedSetting()) {
      visited.push(id);
      await check(id);
      if (id === 'more-summary' && !(await page.$eval('#more', (e) => e.open))) await page.keyboard.press('Enter');
      await page.keyboard.press(key);
    }
    return visited;
  };
  await page.focus('#preset');
  const forth = await walk('preset', 'Tab');
  await page.keyboard.press('Shift+Tab');
  return { forth, back: await walk(await focusedSetting(), 'Shift+Tab') };
}

// The browser scrolls a focused control into view by whole pixels, so a
// control placed at a fraction of one may end that fraction past the edge.
const SCROLL_ROUNDING = 1;

// Where the focused control is: inside the window, and the element under
// its middle itself or inside it (not a box laid over it).
async function focusedInSight(page) {
  return page.evaluate((slack) => {
    const e = document.activeElement;
    const r = e.getBoundingClientRect();
    const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
    return { inWindow: r.width > 0 && r.top > -slack && r.bottom < innerHeight + slack && r.left >= 0 && r.right <= innerWidth,
      uncovered: !!hit && (hit === e || e.contains(hit)) };
  }, SCROLL_ROUNDING);
}

describe('the settings, walked through by keyboard: each focused control in sight, the preview beside it', () => {
  // Wide windows have two columns, the preview staying in view; a phone has one.
  for (const [width, height, phone] of [[1000, 700, false], [1280, 800, false], [1920, 1080, false], [390, 844, true]]) {
    test(`${width} x ${height}`, async () => {
      await withPage(async (page) => {
        const session = await page.context().newCDPSession(page);
        await session.send('Emulation.setDeviceMetricsOverride', { width, height, deviceScaleFactor: phone ? 3 : 1, mobile: phone });
        await page.setViewportSize({ width, height });
        assert.equal((await openMovie(page, sampleMovie)).error, '');
        await page.evaluate(() => window.movdithPage.previewDone());
        // Every control of the settings that takes the focus, the folded ones included.
        const controls = await page.$$eval('#settings select, #settings input, #settings textarea, #settings button',
          (all) => all.map((e) => e.id));
        assert.ok(controls.length >= 15, `${controls.length} controls`);
        for (const step of ['opened', 'converted']) {
          if (step === 'converted') {
            await page.$eval('#more', (e) => { e.open = false; });
            await page.click('#go');
            await page.waitForSelector('#player:not([hidden])', { timeout: 120000 });
          }
          let scrolled = 0;
          const visited = await tabThroughSettings(page, async (id) => {
            const seen = await focusedInSight(page);
            assert.deepEqual(seen, { inWindow: true, uncovered: true }, `${step}, ${id}: the focused control in sight`);
            scrolled = Math.max(scrolled, await page.evaluate(() => scrollY));
            if (phone) return;
            for (const screen of ['#source', '#result']) {
              assert.equal(await inWindow(page, screen), true, `${step}, ${id}: ${screen} wholly in the window`);
            }
          });
          const controlsOf = (ids) => ids.filter((id) => id !== 'more-summary');
          assert.deepEqual(controlsOf(visited.forth), controls, `${step}: every control in turn, the last included`);
          assert.deepEqual(controlsOf(visited.back), [...controls].reverse(), `${step}: every control again, backwards`);
          // The window did scroll: the settings are taller than it.
          assert.ok(scrolled > 0, `${step}: scrolled by ${scrolled} px`);
        }
        assert.deepEqual(page.errors, []);
      });
    });
  }
});

test('a wide window too short for the way through: its column scrolls on its own, and an alert in it is brought into view', async () => {
  await withPage(async (page) => {
    await page.setViewportSize({ width: 1280, height: 480 });
    assert.equal((await openMovie(page, sampleMovie)).error, '');
    assert.equal(await page.$eval('.work', (e) => e.scrollHeight > e.clientHeight), true, 'the column is taller than the window');
    // Where a student who went down to Convert is: the window and the column scrolled to their ends.
    await page.evaluate(() => {
      scrollTo(0, document.documentElement.scrollHeight);
      const column = document.querySelector('.work');
      column.scrollTop = column.scrollHeight;
    });
    for (const id of ['go', 'progress']) assert.equal(await inWindow(page, '#' + id), true, `${id} in the window`);
    assert.equal(await inWindow(page, '#drop'), false, 'the top of the column scrolled away');
    // A file that is not a video, chosen with the button at the column's top: the alert just under it, in view.
    await page.setInputFiles('#video', sampleMovie);
    await page.waitForSelector('#error:not([hidden])');
    assert.equal(await page.$eval('#error', (e) => e.previousElementSibling.id), 'drop');
    assert.equal(await inWindow(page, '#error'), true, 'the alert in the window');
    assert.deepEqual(page.errors, []);
  });
});

test('a phone\'s long file name wraps: no sideways scrolling at 360 px, before and after converting', async () => {
  const named = path.join(folder, 'VID_20240517_123456789_the_whole_class_trip_recorded_on_my_phone_final.mp4');
  fs.copyFileSync(lossless, named);
  await withPage(async (page) => {
    await page.setViewportSize({ width: 360, height: 640 });
    const overflowing = () => page.evaluate(() => [document.documentElement.scrollWidth,
      ...['movie-info', 'video-info'].map((id) => Math.ceil(document.getElementById(id).getBoundingClientRect().right))]
      .filter((right) => right > innerWidth));
    assert.equal((await openMovie(page, named)).error, '');
    assert.match(await page.textContent('#movie-info'), /^VID_20240517_/);
    assert.deepEqual(await overflowing(), []);
    await convert(page, folder);
    assert.match(await page.textContent('#video-info'), /^VID_20240517_\w+\.8xx: /);
    assert.deepEqual(await overflowing(), []);
  });
});

test('without WebCodecs an MP4 is read through the browser\'s player, and converts', async () => {
  const page = await chromium.browser.newPage();
  try {
    await page.addInitScript(() => { delete window.VideoDecoder; });
    await page.goto(pageUrl(server.origin));
    await page.waitForFunction(() => window.movdithPage && window.movdithPage.ready);
    const opened = await openMovie(page, lossless);
    assert.equal(opened.error, '');
    assert.match(opened.info, /read through the browser's player\.$/);
    const result = await convert(page, folder);
    assert.equal(result.bytes.length, runCli(lossless, path.join(folder, 'player.8xx'), []).bytes.length);
  } finally {
    await page.close();
  }
});

test('a flag in a message stays on one line at 360 px (--engine=builtin is not broken after its dashes)', async () => {
  const file = path.join(folder, 'words.mp4');
  fs.writeFileSync(file, 'these are words, not a movie\n');
  await withPage(async (page) => {
    await page.setViewportSize({ width: 360, height: 640 });
    await openMovie(page, file);
    // The lines the flag's letters fall on, found from the text as shown.
    const lines = await page.$eval('#error', (box) => {
      const flag = '--engine=builtin';
      const at = box.textContent.indexOf(flag);
      const range = document.createRange();
      const walker = document.createTreeWalker(box, NodeFilter.SHOW_TEXT);
      for (let node, seen = 0; (node = walker.nextNode()); seen += node.length) {
        if (at >= seen && at < seen + node.length) range.setStart(node, at - seen);
        if (at + flag.length > seen && at + flag.length <= seen + node.length) range.setEnd(node, at + flag.length - seen);
      }
      return at < 0 ? null : new Set([...range.getClientRects()].filter((r) => r.width > 0).map((r) => Math.round(r.bottom))).size;
    });
    assert.equal(lines, 1);
    assert.equal(await page.evaluate(() => document.documentElement.scrollWidth), 360);
  });
});

test('a second movie opened: the first one\'s video goes, and Download gives the second one\'s', async () => {
  await withPage(async (page) => {
    await openMovie(page, lossless);
    await convert(page, folder);
    assert.equal((await openMovie(page, bframes)).error, '');
    assert.equal(await page.isHidden('#player'), true, 'no video of the first movie left to download');
    const result = await convert(page, folder);
    assert.equal(result.name, 'bframes.8xx');
    assert.ok(result.bytes.equals(runCli(bframes, path.join(folder, 'second.8xx'), []).bytes), 'the second movie\'s video');
  });
});

test('every button shown does something, and none is shown that cannot', async () => {
  await withPage(async (page) => {
    await openMovie(page, lossless);
    await convert(page, folder);
    await page.fill('#position', '1000');
    // What each does, in the order clicked; a button the table does not know fails the test.
    const effects = {
      'label:movie': async (click) => (await Promise.all([page.waitForEvent('filechooser'), click()]))[0] && true,
      'label:video': async (click) => (await Promise.all([page.waitForEvent('filechooser'), click()]))[0] && true,
      'mark-start': async (click) => { await click(); return page.textContent('#clip-text'); },
      'mark-end': async (click) => { await page.fill('#position', '2000'); await click(); return page.textContent('#clip-text'); },
      'mark-clear': async (click) => { await click(); return page.textContent('#clip-text'); },
      play: async (click) => { await click(); const t = await page.textContent('#play'); await page.click('#play'); return t; },
      download: async (click) => (await Promise.all([page.waitForEvent('download'), click()]))[0].suggestedFilename(),
      copy: async (click) => { await click(); return page.textContent('#copy-status'); },
      go: async (click) => {
        await click();
        await page.waitForFunction(() => /^Done: 10 /.test(document.querySelector('#progress-text').value), null, { timeout: 60000 });
        return page.textContent('#progress-text');
      },
    };
    const expected = {
      'label:movie': true, 'label:video': true, 'mark-start': 'Clip: from 0:01.0 to the end', 'mark-end': 'Clip: 0:01.0 to 0:02.0',
      'mark-clear': 'Clip: from 0:00.0 to the end', play: 'Pause', download: 'lossless.8xx', go: /^Done: 10 frames/,
      copy: /^(Copied\.|Selected)/,
    };
    const shown = await page.$$eval('button:not([disabled]), label.button', (all) => all.filter((e) => e.offsetParent !== null)
      .map((e) => (e.tagName === 'LABEL' ? 'label:' + e.htmlFor : e.id)));
    assert.deepEqual(shown.filter((id) => !effects[id]), [], 'buttons the test does not know');
    for (const id of shown) {
      const selector = id.startsWith('label:') ? `label[for=${id.slice(6)}]` : '#' + id;
      const got = await effects[id](() => page.click(selector));
      if (expected[id] instanceof RegExp) assert.match(got, expected[id], id); else assert.equal(got, expected[id], id);
    }
    // Whole movie is shown enabled only when there is a clip to undo.
    assert.equal(shown.includes('mark-clear'), false, 'no clip after the first conversion');
    assert.equal(await effects['mark-clear'](() => page.click('#mark-clear')), expected['mark-clear']);
    assert.equal(await page.isDisabled('#mark-clear'), true);
    // A .8xx opened to play offers no download (nothing to download), and shows no such button.
    await page.setInputFiles('#video', runCli(lossless, path.join(folder, 'shown.8xx'), []).bytes.length && path.join(folder, 'shown.8xx'));
    await page.waitForFunction(() => document.activeElement.id === 'play');
    assert.equal(await page.isVisible('#download'), false);
    assert.equal(await page.$eval('#download', (e) => getComputedStyle(e).display), 'none');
  });
});

test('a movie cut short converts up to its damage, as the command line does, and says where', async () => {
  const whole = makeMovie(path.join(folder, 'whole.mp4'), 'testsrc2=size=320x240:rate=25:duration=4',
    ['-c:v', 'libx264', '-pix_fmt', 'yuv420p', '-movflags', '+faststart']);
  const cut = path.join(folder, 'cut.mp4');
  fs.writeFileSync(cut, fs.readFileSync(whole).subarray(0, 30000));
  const cli = runCli(cut, path.join(folder, 'cut.8xx'), []);
  await withPage(async (page) => {
    await openMovie(page, cut);
    const broke = await page.textContent('#error');
    assert.match(broke, /^This movie breaks off at 0:00\.\d: the file is damaged or was not copied whole\./);
    await page.click('#go');
    await page.waitForSelector('#player:not([hidden])', { timeout: 60000 });
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download')]);
    const bytes = fs.readFileSync(await download.path());
    assert.equal(bytes.length, cli.bytes.length, 'the command line\'s frames');
    assert.ok(bytes.subarray(0, 23).equals(cli.bytes.subarray(0, 23)), 'its header');
    const frames = (cli.bytes.length - 23) / 768;
    assert.match(await page.textContent('#error'), new RegExp(`^The movie breaks off at 0:00\\.\\d: .* The ${frames} frames ` +
      'before it were converted'));
    assert.equal(await inWindow(page, '#error'), true);
    assert.deepEqual(page.errors, []);
  });
});

test('an accessibility audit (axe-core) finds nothing serious', async () => {
  const axe = fs.readFileSync(new URL('../../node_modules/axe-core/axe.min.js', import.meta.url), 'utf8');
  await withPage(async (page) => {
    for (const step of ['arrived', 'opened', 'converted']) {
      if (step === 'opened') await openMovie(page, lossless);
      if (step === 'converted') await convert(page, folder);
      await page.$eval('#more', (e) => { e.open = true; });
      // Evaluated through the browser's debugger: the page's own policy allows no injected script.
      if (!(await page.evaluate(() => typeof window.axe !== 'undefined'))) await page.evaluate(axe);
      const found = await page.evaluate(async () => (await window.axe.run(document)).violations
        .filter((v) => v.impact === 'serious' || v.impact === 'critical')
        .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`));
      assert.deepEqual(found, [], step);
    }
  });
});
