// The browser page measured in headless Chromium (bench/web.sh):
//   speed MOVIE RUNS   the page's conversion against movdith --engine=builtin,
//                      in turn, RUNS times each: medians and their ratio
//   preview MOVIE      the preview's redraw after a change of option and of position,
//                      jumps cold (no cache) and warm (after the background pass)
//   jumps MOVIE [ROUNDS]  cold jumps alone, ROUNDS times 10: time and CPU time
//   memory SHORT LONG  the page's peak memory converting a short and a long movie
// The page's time is the conversion's own (Convert pressed to the file
// ready), as the command line's is the whole run of the program.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { convert, launch, MOVDITH, openMovie, openPage, serve, setOptions, tempDir } from '../tests/web/support.mjs';

const [what, ...args] = process.argv.slice(2);
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor((values.length - 1) / 2)];
const server = await serve();
const chromium = await launch(['--enable-precise-memory-info']);
const folder = tempDir();

async function pageConversion(movie, options = []) {
  const page = await openPage(chromium.browser, server.origin);
  try {
    await openMovie(page, movie);
    await setOptions(page, options);
    const result = await convert(page, folder);
    return { ms: await page.evaluate(() => window.movdithPage.lastConvertMs), bytes: result.bytes.length };
  } finally {
    await page.close();
  }
}

function cliConversion(movie) {
  const started = process.hrtime.bigint();
  execFileSync(MOVDITH, [movie, path.join(folder, 'cli.8xx'), '--engine=builtin'], { stdio: 'ignore' });
  return Number(process.hrtime.bigint() - started) / 1e6;
}

try {
  if (what === 'speed') {
    const [movie, runs = '5'] = args;
    const pageTimes = [], cliTimes = [];
    for (let i = 1; i <= Number(runs); ++i) {
      pageTimes.push((await pageConversion(movie)).ms);
      cliTimes.push(cliConversion(movie));
      console.log(`run ${i}: page ${(pageTimes.at(-1) / 1000).toFixed(2)} s, command line ${(cliTimes.at(-1) / 1000).toFixed(2)} s`);
    }
    const p = median(pageTimes), c = median(cliTimes);
    console.log(`${path.basename(movie)}, medians of ${runs}: page ${(p / 1000).toFixed(2)} s, ` +
      `movdith --engine=builtin ${(c / 1000).toFixed(2)} s, ratio ${(p / c).toFixed(2)} (target at most 3)`);
  } else if (what === 'preview') {
    const [movie] = args;
    const show = (t) => `median ${median(t).toFixed(1)} ms, worst ${Math.max(...t).toFixed(1)} ms`;
    const name = path.basename(movie);
    // Cold: the page without its cache of pictures, every jump decoded;
    // warm: the same jumps once the background pass has kept every position.
    for (const cold of [true, false]) {
      const page = await openPage(chromium.browser, server.origin, cold ? '?nocache' : '');
      await openMovie(page, movie);
      const length = Number(await page.$eval('#position', (e) => e.max));
      const moveTo = async (ms) => {
        await page.evaluate(() => { window.movdithPage.lastPreviewMs = window.movdithPage.lastPreviewFirstMs = undefined; });
        await page.fill('#position', String(ms));  // fires the slider's input event, one preview
        await page.evaluate(() => window.movdithPage.previewDone());
        return page.evaluate(() => [window.movdithPage.lastPreviewFirstMs, window.movdithPage.lastPreviewMs,
          window.movdithPage.lastPreviewKept]);
      };
      if (cold) {
        const optionTimes = [];
        for (const args of [['--fit=crop'], ['--dither=atkinson'], ['-g'], ['--fit=stretch'], ['--dither=bayer'],
          ['--fit=pad'], ['--stable'], ['--dither=blue-noise'], ['-r', '6'], ['--gamma=2.5']]) {
          await page.evaluate(() => { window.movdithPage.lastRedrawMs = undefined; });
          await setOptions(page, args);
          await page.waitForFunction(() => window.movdithPage.lastRedrawMs !== undefined);
          optionTimes.push(await page.evaluate(() => window.movdithPage.lastRedrawMs));
        }
        console.log(`${name}: redraw after a change of option: ${show(optionTimes)} (target under 100 ms)`);
        // Stepping on by a tenth of a second, as the arrow keys do on the slider.
        const stepTimes = [];
        const third = Math.round(length / 3 / 100) * 100;
        await moveTo(third);
        for (let i = 1; i <= 10; ++i) stepTimes.push((await moveTo(third + 100 * i))[1]);
        console.log(`${name}: after a step of a tenth of a second on, the exact picture: ${show(stepTimes)}`);
      } else {
        const started = Date.now();
        await page.evaluate(() => window.movdithPage.cacheDone());
        const kept = await page.evaluate(() => window.movdithPage.state.source.cache.kept);
        console.log(`${name}: the background pass kept ${kept} pictures in ${((Date.now() - started) / 1000).toFixed(1)} s`);
      }
      // Where a jump's time goes: the decoder's reading and packets, the
      // copy and the scaling of pictures, the pipeline and drawing.
      const spent = () => page.evaluate(() => ({ ...window.movdithPage.decodingSpent(), ...window.movdithPage.drawSpent }));
      const before = await spent();
      const firstTimes = [], exactTimes = [];
      let fromCache = 0;
      for (let i = 1; i <= 10; ++i) {
        const [first, exact, kept] = await moveTo(Math.round((length * i) / 11 / 100) * 100);
        exactTimes.push(exact);
        firstTimes.push(first ?? exact);
        if (kept) ++fromCache;
      }
      const after = await spent();
      const per = (k) => ((after[k] - before[k]) / 10).toFixed(k.endsWith('Ms') ? 1 : 0);
      const label = cold ? 'cold (no cache)' : 'warm (cache filled)';
      console.log(`${name}: after a jump to another position, ${label}, ${fromCache} of 10 from the cache: ` +
        `the keyframe before it shown: ${show(firstTimes)}; the exact picture: ${show(exactTimes)} (target: median 150 ms, worst 300 ms)`);
      const average = exactTimes.reduce((a, b) => a + b, 0) / exactTimes.length;
      const rest = ['readMs', 'copyMs', 'scaleMs', 'ditherMs', 'drawMs'].reduce((r, k) => r - Number(per(k)), average);
      console.log(`${name}:   a jump's average: ${average.toFixed(1)} ms: reading ${per('readMs')} ms, ` +
        `${per('decoded')} packets decoded, ${per('skipped')} left out, copying ${per('copyMs')} ms, ` +
        `scaling ${per('scaleMs')} ms, pipeline ${per('ditherMs')} ms, drawing ${per('drawMs')} ms; ` +
        `the rest, ${rest.toFixed(1)} ms, waiting on the decoder`);
      if (cold) {
        const ways = await page.evaluate(() => window.movdithPage.decoderWays);
        console.log(`${name}:   the decoder's ways (time per packet, jumps counted): ` + ways.map((w) =>
          `${w.latency ? 'one thread (optimizeForLatency)' : 'threads'} ${w.msPerPacket?.toFixed(2)} ms, ${w.jumps}`).join('; '));
      }
      await page.close();
    }
  } else if (what === 'jumps') {
    // Cold jumps alone (`?nocache`), ROUNDS pages of 10 jumps: the exact
    // picture's time and the browser's CPU time (all its processes) per
    // jump. Run in turn on two builds of the site (MOVDITH_WEB_SITE) to
    // compare them at the same load.
    const [movie, rounds = '2'] = args;
    const cpuMs = () => fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d)).reduce((sum, pid) => {
      try {
        if (!fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes(chromium.profile)) return sum;
        const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
        return sum + (Number(fields[11]) + Number(fields[12])) * 10;  // user and system, in 10 ms ticks
      } catch {
        return sum;  // a process that has ended
      }
    }, 0);
    const times = [], cpu = [];
    for (let round = 0; round < Number(rounds); ++round) {
      const page = await openPage(chromium.browser, server.origin, '?nocache');
      await openMovie(page, movie);
      const length = Number(await page.$eval('#position', (e) => e.max));
      for (let i = 1; i <= 10; ++i) {
        await page.evaluate(() => { window.movdithPage.lastPreviewMs = undefined; });
        const before = cpuMs();
        await page.fill('#position', String(Math.round((length * i) / 11 / 100) * 100));
        await page.evaluate(() => window.movdithPage.previewDone());
        cpu.push(cpuMs() - before);
        times.push(await page.evaluate(() => window.movdithPage.lastPreviewMs));
      }
      await page.close();
    }
    console.log(`${path.basename(movie)}: ${times.length} cold jumps, the exact picture: median ${median(times).toFixed(1)} ms, ` +
      `worst ${Math.max(...times).toFixed(1)} ms; the browser's CPU time per jump: median ${median(cpu)} ms`);
  } else if (what === 'memory') {
    // Each movie in a browser of its own, so that only its page's processes are counted.
    for (const movie of args) {
      const own = await launch(['--enable-precise-memory-info']);
      const page = await openPage(own.browser, server.origin);
      await openMovie(page, movie);
      const rss = () => execFileSync('ps', ['-eo', 'rss=,args='], { encoding: 'utf8' }).split('\n')
        .filter((l) => l.includes(own.profile) && l.includes('--type=renderer'))
        .reduce((sum, l) => sum + Number(l.trim().split(' ')[0]) * 1024, 0);
      // Memory still in use: garbage is collected before each reading.
      const cdp = await page.context().newCDPSession(page);
      const reading = async () => {
        await cdp.send('HeapProfiler.collectGarbage');
        const [heap, wasm] = await page.evaluate(() => [performance.memory.usedJSHeapSize,
          window.movdithPage.state.core.memoryBytes()]);
        return { heap, wasm, rss: rss() };
      };
      const before = await reading();
      const peak = { ...before };
      let running = true;
      const sampler = (async () => {
        while (running) {
          const r = await reading();
          for (const k of Object.keys(peak)) peak[k] = Math.max(peak[k], r[k]);
          await new Promise((r) => setTimeout(r, 500));
        }
      })();
      const result = await convert(page, folder);
      running = false;
      await sampler;
      const mib = (b) => (b / 1048576).toFixed(1);
      const line = (k) => `${mib(before[k])} -> ${mib(peak[k])} MiB (+${mib(peak[k] - before[k])})`;
      console.log(`${path.basename(movie)}: ${(result.bytes.length - 23) / 768} records, file ${mib(result.bytes.length)} MiB; ` +
        `opened -> peak while converting: JavaScript heap ${line('heap')}, WebAssembly memory ${line('wasm')}, ` +
        `the page's processes resident ${line('rss')}`);
      await page.close();
      await own.close();
    }
  } else {
    console.error('usage: web_bench.mjs speed MOVIE [RUNS] | preview MOVIE | jumps MOVIE [ROUNDS] | memory MOVIE...');
    process.exitCode = 2;
  }
} finally {
  await chromium.close();
  server.close();
  fs.rmSync(folder, { recursive: true, force: true });
}
