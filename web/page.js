// The page's flow: a movie opened (button or drop), its preview and Convert
// brought into the window, the settings checked as the command line checks
// them (a clip it would refuse is refused here, before converting), the
// size of the result shown before converting, the conversion with its
// progress and Cancel, then the result (player, size, Download) brought
// into view. Every rule about frames, sizes and dithering is the
// WebAssembly core's; this file only leads the way through.
import { loadCore } from './core.js';
import { SettingsForm } from './controls.js';
import { openMp4 } from './demux.js';
import {
  Cancelled, TrackDecoder, closeVideoElement, convertTrack, convertVideoElement, openVideoElement, streamFacts,
} from './convert.js';
import { WORDS, bringIntoView, say, unsay } from './messages.js';
import { Player, clear } from './player.js';
import { download, forgetResult, openVideoFile, showResult } from './result.js';
import { clipText, drawPreview, forgetPicture, markClip, placeSource, positionChanged, preview } from './preview.js';
import { FrameCache } from './frame_cache.js';
import { keepOffline } from './offline.js';
import { $, framesText, state, timeText } from './state.js';

const HEVC = /^(hvc1|hev1)/;
const keepGreys = new URLSearchParams(location.search).has('greys');
// Without the cache every jump is decoded (for the tests and the bench).
const keepPictures = !new URLSearchParams(location.search).has('nocache');

// ---- settings ----

// The clip's clock in the movie's own ticks.
function setClock() {
  const s = state.source;
  if (s.kind === 'mp4') state.core.clock(1, s.track.timescale, s.track.t0);
  else state.core.clock(1, 1000, 0);
}

// Gives the form's command line to the core and, with a movie open, asks
// it what the clip gives; false (with the reason shown beside `near`) when
// the command line would refuse it.
function applySettings(near = $('settings-title')) {
  state.form.showCommand();
  state.plan = null;
  const result = state.core.settings(state.form.args());
  let refusal = null;
  if (!result.ok) {
    refusal = settingsRefusal(result.message.trim().split('\n').pop(), near);
  } else if (state.source) {
    setClock();
    const frames = state.core.plan(state.durationMs, state.endTicks);
    if (frames < 0) refusal = WORDS.refused(state.core.message());
    else state.plan = { frames, bytes: state.core.fileBytes(frames) };
  }
  showPlan();
  $('go').disabled = !state.plan || Boolean(state.convertJob);
  if (refusal) say(refusal, near);
  else unsay(near);
  return !refusal;
}

// The command line's refusal of a setting, in the setting's own words: the
// option its line names ("error argument for --gamma: a number from ..."),
// or for the design's options, whose line names no flag, the one just
// changed; any other line as it is.
function settingsRefusal(line, near) {
  const long = /^error argument for (--[a-z-]+): (.+)$/.exec(line);
  if (long && state.form.about(long[1])) return WORDS.setting(state.form.about(long[1]), long[2]);
  const changed = near && near.classList.contains('row') && near.querySelector('[name]');
  if (/^error argument for /.test(line) && changed) {
    const about = state.form.about(changed.name);
    return WORDS.setting(about, about.help);
  }
  return WORDS.settings(line);
}

// The frames, seconds and bytes the settings give, before converting.
function showPlan() {
  const p = state.plan;
  $('estimate').textContent = p ? `The video: ${framesText(p.frames)}, ${(p.frames / 10).toFixed(1)} s, ` +
    `${p.bytes.toLocaleString('en')} bytes` : '';
}

// A change of option redraws the preview from the picture in hand.
function settingsChanged(near) {
  clipText();
  if (!applySettings(near) || !state.source || state.convertJob) return;
  const started = performance.now();
  try {
    placeSource(state.source.width, state.source.height);
    if (state.core.repicture()) drawPreview();
    else if (state.source.cache) {  // a picture from the cache, made at another placement
      forgetPicture();
      preview(Number($('position').value));
    }
  } catch (e) {
    say(e.message, near);
  }
  window.movdithPage.lastRedrawMs = performance.now() - started;
}

// ---- opening ----

function resetMovie() {
  if (state.previewJob) state.previewJob.cancelled = true;
  if (state.source && state.source.kind === 'video') closeVideoElement(state.source.video);
  if (state.source && state.source.decoder) state.source.decoder.close();
  if (state.source && state.source.cache) state.source.cache.close();
  state.source = null;
  forgetPicture();
  for (const id of ['position', 'mark-start', 'mark-end', 'mark-clear', 'go']) $(id).disabled = true;
  clear($('source'));
  clear($('result'));
  $('movie-info').textContent = '';
  $('estimate').textContent = '';
  forgetResult();
}

async function openMovie(file) {
  resetMovie();
  say('');
  state.file = file;
  state.form.movieName = file.name;
  $('movie-info').textContent = `Reading ${file.name}…`;
  try {
    const opened = await openMp4(file);
    if (opened.track) {
      const track = opened.track;
      const config = { codec: track.codec, codedWidth: track.width, codedHeight: track.height };
      if (track.description) config.description = track.description;
      // Without WebCodecs (check.js has said so) the browser's player reads it.
      const support = typeof VideoDecoder === 'function'
        ? await VideoDecoder.isConfigSupported(config).catch(() => ({ supported: false })) : { supported: false };
      if (support.supported) {
        const { colour, sar } = streamFacts(state.core, track);
        state.source = {
          kind: 'mp4', track, config, colour, sar, trackMatrix: track.trackMatrix, movieMatrix: track.movieMatrix,
          // The preview's decoder, kept between positions, and the timestamp
          // of the picture it last handed to the core (null: none).
          decoder: new TrackDecoder(file, track, config), held: null,
          cache: keepPictures ? new FrameCache(state.core, file, track, config, colour, track.durationMs, {
            busy: () => state.previewJob !== null || state.convertJob !== null,
            converting: () => state.convertJob !== null,
          }) : null,
        };
        state.durationMs = track.durationMs;
        state.endTicks = track.end;
      } else if (HEVC.test(track.codec)) {
        return failOpen(WORDS.hevc);
      } else {
        await openThroughPlayer(file, WORDS.codec(track.codec));
      }
    } else if (opened.problem === 'no-video') {
      return failOpen(WORDS.soundOnly);
    } else {
      await openThroughPlayer(file, notAMovie(file));
    }
    if (!state.source) return;
    const position = $('position');
    position.max = String(Math.max(0, Math.floor(state.durationMs / 100) * 100));
    position.value = '0';
    $('position-text').value = timeText(0);
    for (const id of ['position', 'mark-start', 'mark-end', 'mark-clear']) $(id).disabled = false;
    preview(0);
    await state.previewRun;
    applySettings($('open-title'));
    clipText();
    if (state.source.track && state.source.track.brokenMs !== null) {
      say(WORDS.brokenOff(timeText(state.source.track.brokenMs)), $('movie-info'));
    }
    bringIntoView($('preview'), $('convert'));
  } catch (e) {
    failOpen(e instanceof Cancelled ? '' : WORDS.unreadable);
  }
}

async function openThroughPlayer(file, otherwise) {
  let video;
  try {
    video = await openVideoElement(file);
  } catch {
    failOpen(otherwise);
    return;
  }
  state.source = { kind: 'video', video, sar: null, trackMatrix: null, movieMatrix: null };
  state.durationMs = Math.floor(video.duration * 1000);
  state.endTicks = state.durationMs;
}

// What to say of a file nothing here can read: what it is, when the
// browser's type for it (from its name) says it is no movie at all.
function notAMovie(file) {
  if (file.type.startsWith('image/')) return WORDS.picture;
  if (file.type.startsWith('text/')) return WORDS.text;
  return WORDS.notAMovie;
}

function failOpen(text) {
  resetMovie();
  if (text) say(text, $('movie-info'));
}

// ---- converting ----

function progressText(done, total, started) {
  const elapsed = performance.now() - started;
  const left = done > 0 && total > done ? (elapsed / done) * (total - done) : 0;
  $('progress').max = Math.max(total, 1);
  $('progress').value = Math.min(done, total);
  $('progress-text').value = `${done} of ${framesText(total)}` + (done > 0 && total > done ? `, about ${Math.ceil(left / 1000)} s left` : '');
}

// The student's words for a conversion that failed.
function convertFailure(e) {
  const text = String(e && e.message ? e.message : e);
  if (/memory/.test(text)) return WORDS.full;
  return WORDS.stopped;
}

async function convert() {
  if (!state.source || state.convertJob || !applySettings($('go'))) return;
  const job = { cancelled: false };
  state.convertJob = job;
  // A preview still copying a picture into the core must be done first:
  // the conversion uses the same buffer.
  if (state.previewJob) state.previewJob.cancelled = true;
  await state.previewRun;
  const core = state.core;
  const s = state.source;
  if (s.decoder) s.decoder.close();  // its pictures' memory, while converting
  // The background pass may be waiting on its decoder: pause() wakes it to stop.
  if (s.cache) { s.cache.pause(); s.cache.decoder.close(); }
  $('go').disabled = true;
  $('cancel').disabled = false;
  // Nothing else is opened or changed while converting: Cancel first.
  $('settings').inert = $('open').inert = true;
  $('player').hidden = true;
  say('');
  const started = performance.now();
  try {
    placeSource(s.width, s.height);
    setClock();
    const total = core.estimate(state.durationMs);
    if (!core.begin(keepGreys)) throw new Error(core.message());
    progressText(0, total, started);
    const progress = (done) => progressText(done, Math.max(total, done), started);
    const records = s.kind === 'mp4'
      ? await convertTrack(core, state.file, s.track, s.config, s.colour, job, progress)
      : await convertVideoElement(core, s.video, job, progress);
    if (records < 0) throw new Error(core.message());
    state.greys = keepGreys ? core.greys(records) : null;
    state.records = records;
    progressText(records, records, started);
    $('progress-text').value = `Done: ${framesText(records)} in ${((performance.now() - started) / 1000).toFixed(1)} s`;
    window.movdithPage.lastConvertMs = performance.now() - started;
    showResult(core.output(), true);
    if (s.track && s.track.brokenMs !== null) say(WORDS.damaged(timeText(s.track.brokenMs), records), $('video-info'));
  } catch (e) {
    core.abandon();
    $('progress').value = 0;
    if (e instanceof Cancelled) {
      $('progress-text').value = 'Cancelled: nothing was saved.';
    } else {
      $('progress-text').value = '';
      say(convertFailure(e), $('go').parentElement);
    }
  } finally {
    state.convertJob = null;
    $('cancel').disabled = true;
    $('settings').inert = $('open').inert = false;
    $('go').disabled = !state.plan;
    // The conversion used the picture buffer: the preview takes its picture again.
    forgetPicture();
    preview(Number($('position').value));
  }
}

// ---- wiring ----

function wire() {
  $('movie').addEventListener('change', () => { if ($('movie').files[0]) openMovie($('movie').files[0]); });
  $('video').addEventListener('change', () => { if ($('video').files[0]) openVideoFile($('video').files[0]); });
  const drop = $('drop');
  document.addEventListener('dragover', (e) => { e.preventDefault(); drop.classList.add('over'); });
  document.addEventListener('dragleave', () => drop.classList.remove('over'));
  document.addEventListener('drop', (e) => {
    e.preventDefault();
    drop.classList.remove('over');
    const file = e.dataTransfer.files[0];
    if (!file || state.convertJob) return;
    if (/\.8xx$/i.test(file.name)) openVideoFile(file); else openMovie(file);
  });
  $('position').addEventListener('input', positionChanged);
  for (const which of ['start', 'end', 'clear']) {
    $('mark-' + which).addEventListener('click', () => { if (markClip(which)) settingsChanged($('marks')); });
  }
  $('go').addEventListener('click', convert);
  $('cancel').addEventListener('click', () => { if (state.convertJob) state.convertJob.cancelled = true; });
  $('download').addEventListener('click', download);
  // A setting reached by keyboard is shown whole (for a text box the browser
  // brings only its caret's line into view).
  $('settings').addEventListener('focusin', (e) => {
    if (e.target.matches(':focus-visible')) bringIntoView(e.target, e.target);
  });
}

async function start() {
  keepOffline();
  window.movdithPage = { ready: false, state, drawSpent: { ditherMs: 0, drawMs: 0 } };
  try {
    state.core = await loadCore();
  } catch (e) {
    // Where check.js has said on arrival what this browser lacks, that one
    // message stands; otherwise the core failed to start here and says so.
    if (!$('unsupported')) say(WORDS.noWasm, $('open-title'));
    window.movdithPage.failed = true;
    return;
  }
  state.form = new SettingsForm($('options'), state.core.options(),
    (control) => settingsChanged(control.closest('.row') || control));
  state.player = new Player(state.core, $('screen'), $('play'), $('frame'), $('frame-text'));
  wire();
  applySettings();
  clipText();
  window.movdithPage.ready = true;
  window.movdithPage.greys = () => state.greys;
  window.movdithPage.previewShades = () => Array.from(state.core.preview() || []);
  // Resolves when every preview asked for so far is done.
  window.movdithPage.previewDone = () => state.previewRun;
  // Resolves when the background pass has kept what it can (at once without one).
  window.movdithPage.cacheDone = () => (state.source && state.source.cache ? state.source.cache.done() : null);
  window.movdithPage.decodingSpent = () => state.source && state.source.decoder && state.source.decoder.spent;
}

start();
