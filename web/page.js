// The page: opening a movie (button or drop), the settings form, the
// preview at the chosen position, the conversion with its progress and
// Cancel, the player and the download. Every rule about frames, sizes and
// dithering is the WebAssembly core's; this file only wires the page.
import { loadCore } from './core.js';
import { buildControls, commandLine } from './controls.js';
import { openMp4 } from './demux.js';
import {
  Cancelled, TrackDecoder, closeVideoElement, convertTrack, convertVideoElement, decodePicture, openVideoElement,
  pictureAt, streamFacts, videoPictureAt,
} from './convert.js';
import { Player, clear, drawBitmap, drawShades } from './player.js';
import { keepOffline } from './offline.js';

const $ = (id) => document.getElementById(id);
const HEVC = /^(hvc1|hev1)/;
const COMMAND = 'movdith movie.mp4 movie.8xx --engine=builtin';
const keepGreys = new URLSearchParams(location.search).has('greys');
// A position this many pictures (in decoding order) past the preview
// decoder's is decoded on to at once; a farther one shows its keyframe first.
const NEAR_PACKETS = 15;

const state = {
  core: null, controls: null, file: null, source: null, durationMs: 0,
  previewJob: null, previewRun: null, convertJob: null, result: null, resultUrl: null, greys: null, records: 0,
};

function showError(text) {
  $('error').textContent = text;
  $('error').hidden = !text;
}

function timeText(ms) {
  const s = Math.max(0, ms) / 1000;
  const m = Math.floor(s / 60);
  return `${m}:${(s - m * 60).toFixed(1).padStart(4, '0')}`;
}

// ---- settings ----

// Gives the form's command line to the core; false (with the error shown)
// when the command line would refuse it.
function applySettings() {
  const result = state.core.settings(commandLine(state.controls));
  if (!result.ok) {
    const line = result.message.trim().split('\n').pop();
    showError(`The settings are not ones movdith takes: ${line.replace(/^error /, '')}.`);
    $('go').disabled = true;
    return false;
  }
  showError('');
  $('go').disabled = !state.source;
  return true;
}

function placeSource(width, height) {
  const s = state.source;
  const placed = state.core.place(width, height, s.sar, s.trackMatrix, s.movieMatrix);
  if (!placed) throw new Error('The picture is too thin to keep a row or column at 96 × 64.');
  s.width = width;
  s.height = height;
  window.movdithPage.sizes = placed;
  $('movie-info').textContent = `${state.file.name}: ${placed.inWidth} × ${placed.inHeight}` +
    `${placed.quarter % 2 ? ' (turned)' : ''}, ${timeText(state.durationMs)}; on the calculator ` +
    `${placed.outWidth} × ${placed.outHeight}${s.kind === 'video' ? '; read through the browser\'s player' : ''}.`;
  return placed;
}

function drawPreview() {
  const shades = state.core.preview();
  if (!shades) return;
  drawBitmap($('source'), state.core.bitmap());
  drawShades($('result'), shades);
}

// A change of option redraws the preview from the picture in hand.
function settingsChanged() {
  if (!applySettings() || !state.source || state.convertJob) return;
  const started = performance.now();
  try {
    placeSource(state.source.width, state.source.height);
    if (state.core.repicture()) drawPreview();
  } catch (e) {
    showError(e.message);
  }
  window.movdithPage.lastRedrawMs = performance.now() - started;
}

// ---- opening ----

function resetMovie() {
  if (state.previewJob) state.previewJob.cancelled = true;
  if (state.source && state.source.kind === 'video') closeVideoElement(state.source.video);
  if (state.source && state.source.decoder) state.source.decoder.close();
  state.source = null;
  forgetPicture();
  for (const id of ['position', 'mark-start', 'mark-end', 'mark-clear', 'go']) $(id).disabled = true;
  clear($('source'));
  clear($('result'));
  $('movie-info').textContent = '';
}

async function openMovie(file) {
  resetMovie();
  showError('');
  state.file = file;
  $('movie-info').textContent = `Reading ${file.name}…`;
  try {
    const opened = await openMp4(file);
    if (opened.track) {
      const track = opened.track;
      const config = { codec: track.codec, codedWidth: track.width, codedHeight: track.height };
      if (track.description) config.description = track.description;
      const support = await VideoDecoder.isConfigSupported(config).catch(() => ({ supported: false }));
      if (support.supported) {
        const { colour, sar } = streamFacts(state.core, track);
        state.source = {
          kind: 'mp4', track, config, colour, sar, trackMatrix: track.trackMatrix, movieMatrix: track.movieMatrix,
          // The preview's decoder, kept between positions, and the timestamp
          // of the picture it last handed to the core (null: none).
          decoder: new TrackDecoder(file, track, config), held: null,
        };
        state.durationMs = track.durationMs;
      } else if (HEVC.test(track.codec)) {
        return failOpen(`This movie is HEVC (H.265), as phones record, and this browser cannot decode HEVC on this ` +
          `computer. Convert it with the command line (${COMMAND}), or re-encode it to H.264 first.`);
      } else {
        await openThroughPlayer(file, `This browser cannot decode this movie's video (${track.codec}). ` +
          `Convert it with the command line (${COMMAND}), or re-encode it to H.264 first.`);
      }
    } else if (opened.problem === 'no-video') {
      return failOpen('This file has no picture to convert: it holds sound only, or no video track.');
    } else {
      await openThroughPlayer(file, 'This file is not a movie this browser can read. If it is a movie, convert it ' +
        `with the command line (${COMMAND}), or re-encode it to H.264 MP4 first.`);
    }
    if (!state.source) return;
    const position = $('position');
    position.max = String(Math.max(0, Math.floor(state.durationMs / 100) * 100));
    position.value = '0';
    for (const id of ['position', 'mark-start', 'mark-end', 'mark-clear']) $(id).disabled = false;
    preview(0);
    await state.previewRun;
    applySettings();
  } catch (e) {
    failOpen(e instanceof Cancelled ? '' : `The movie could not be read: ${e.message || e}.`);
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
}

function failOpen(text) {
  resetMovie();
  if (text) showError(text);
}

// ---- preview ----

// The core lets go of the picture it holds (the conversion used its buffer).
function forgetPicture() {
  state.core.forget();
  if (state.source) state.source.held = null;
}

// Shows the picture at `ms`. Decoding starts from the keyframe before it, so
// that keyframe is shown first, at once, and the exact picture when it is
// decoded (MP4); a position later in the group the decoder is in goes on
// from where it is, and the picture the core holds already is not decoded
// again. A newer request drops an older one.
function preview(ms) {
  if (!state.source || state.convertJob) return;
  if (state.previewJob) state.previewJob.cancelled = true;
  const job = { cancelled: false };
  state.previewJob = job;
  // One at a time: the one dropped stops at its next picture.
  const previous = state.previewRun;
  state.previewRun = (async () => {
    await previous;
    if (!job.cancelled) await showPicture(ms, job);
  })();
}

async function showPicture(ms, job) {
  const started = performance.now();
  const s = state.source;
  const timing = window.movdithPage;
  // The pictures drawn, by their time in the movie (ms from its first).
  const drawn = timing.lastPreviewPictures = [];
  try {
    if (s.kind === 'mp4') {
      if (!s.width) placeSource(s.track.width, s.track.height);
      const at = pictureAt(s.track, ms);
      // The keyframe first, unless the decoder is nearly there already or
      // the picture is in hand (the decoder has gone past it: it would
      // start again from the keyframe).
      const direct = at.keyPts === at.pts || s.held === at.pts ||
        (s.decoder.reaches(at.key, at.pts, at.index) && s.decoder.near(at.index, NEAR_PACKETS));
      const steps = direct ? [at.pts] : [at.keyPts, at.pts];
      for (const want of steps) {
        if (s.held !== want) {
          s.held = null;
          if (!(await decodePicture(state.core, s.decoder, s.colour, at, want, job))) {
            if (job.cancelled) return;
            throw new Error('no picture could be decoded there');
          }
          s.held = want;
          // The decoder's picture size is the one that counts (an MP4 header may say otherwise).
          const seen = state.core.lastSize();
          if (seen && (seen[0] !== s.width || seen[1] !== s.height)) {
            placeSource(seen[0], seen[1]);
            state.core.repicture();
          }
        }
        if (job.cancelled) return;
        drawPreview();
        drawn.push(Math.round(((want - s.track.t0) * 1000) / s.track.timescale));
        if (want !== at.pts) timing.lastPreviewFirstMs = performance.now() - started;
      }
    } else {
      if (!s.width) placeSource(s.video.videoWidth, s.video.videoHeight);
      if (!(await videoPictureAt(state.core, s.video, ms))) throw new Error('no picture could be drawn there');
      if (job.cancelled) return;
      drawPreview();
      drawn.push(ms);
    }
    timing.lastPreviewMs = performance.now() - started;
  } catch (e) {
    if (!(e instanceof Cancelled) && !job.cancelled) showError(`The preview could not be made: ${e.message || e}.`);
  } finally {
    if (state.previewJob === job) state.previewJob = null;
  }
}

function positionChanged() {
  const ms = Number($('position').value);
  $('position-text').value = timeText(ms);
  preview(ms);
}

function setControl(name, value) {
  const entry = state.controls.get(name);
  if (entry) entry.control.value = value;
}

function seconds(ms) { return String(Math.round(ms) / 1000); }

function markClip(which) {
  const ms = Number($('position').value);
  const start = readTime('start') ?? 0;
  if (which === 'start') {
    setControl('start', ms ? seconds(ms) : '');
  } else if (which === 'end') {
    if (ms > start) setControl('duration', seconds(ms - start));
  } else {
    setControl('start', '');
    setControl('duration', '');
  }
  settingsChanged();
  clipText();
}

// A time control's value in milliseconds, or null when empty or not a time.
function readTime(name) {
  const entry = state.controls.get(name);
  if (!entry || !entry.control.value.trim()) return null;
  const parts = entry.control.value.trim().split(':').map(Number);
  if (parts.some((p) => !Number.isFinite(p))) return null;
  return Math.round(parts.reduce((total, p) => total * 60 + p, 0) * 1000);
}

function clipText() {
  const start = readTime('start') ?? 0;
  const duration = readTime('duration');
  $('clip-text').textContent = duration === null ? `Clip: from ${timeText(start)} to the end`
    : `Clip: ${timeText(start)} to ${timeText(start + duration)}`;
}

// ---- converting ----

function progressText(done, total, started) {
  const elapsed = performance.now() - started;
  const left = done > 0 && total > done ? (elapsed / done) * (total - done) : 0;
  $('progress').max = Math.max(total, 1);
  $('progress').value = Math.min(done, total);
  $('progress-text').value = `${done} of ${total} frames` + (done > 0 && total > done ? `, about ${Math.ceil(left / 1000)} s left` : '');
}

async function convert() {
  if (!state.source || state.convertJob || !applySettings()) return;
  const job = { cancelled: false };
  state.convertJob = job;
  // A preview still copying a picture into the core must be done first:
  // the conversion uses the same buffer.
  if (state.previewJob) state.previewJob.cancelled = true;
  await state.previewRun;
  const core = state.core;
  const s = state.source;
  if (s.decoder) s.decoder.close();  // its pictures' memory, while converting
  $('go').disabled = true;
  $('cancel').disabled = false;
  // Nothing else is opened or changed while converting: Cancel first.
  $('options').inert = $('open').inert = true;
  $('player').hidden = true;
  showError('');
  const started = performance.now();
  try {
    placeSource(s.width, s.height);
    if (s.kind === 'mp4') core.clock(1, s.track.timescale, s.track.t0);
    else core.clock(1, 1000, 0);
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
    $('progress-text').value = `Done: ${records} frames in ${((performance.now() - started) / 1000).toFixed(1)} s`;
    window.movdithPage.lastConvertMs = performance.now() - started;
    showResult(core.output(), true);
  } catch (e) {
    core.abandon();
    $('progress').value = 0;
    if (e instanceof Cancelled) {
      $('progress-text').value = 'Cancelled: nothing was saved.';
    } else {
      $('progress-text').value = '';
      showError(`The conversion stopped: ${e.message || e}.`);
    }
  } finally {
    state.convertJob = null;
    $('cancel').disabled = true;
    $('options').inert = $('open').inert = false;
    $('go').disabled = false;
    // The conversion used the picture buffer: the preview takes its picture again.
    forgetPicture();
    preview(Number($('position').value));
  }
}

// ---- the result ----

function showResult(bytes, converted) {
  const frames = state.core.openVideo(converted ? null : bytes);
  if (frames < 0) {
    showError(`This video cannot be played: ${state.core.message()}.`);
    return;
  }
  if (state.resultUrl) URL.revokeObjectURL(state.resultUrl);
  state.result = converted ? new Blob([bytes], { type: 'application/octet-stream' }) : null;
  state.resultUrl = null;
  const shades = state.core.videoShades() === 4 ? 'four shades' : 'black and white';
  $('download').hidden = !converted;
  $('video-info').textContent = `${converted ? downloadName() + ': ' : ''}${bytes.length.toLocaleString('en')} bytes, ` +
    `${frames} frames, ${(frames / 10).toFixed(1)} s, ${shades}`;
  $('player').hidden = false;
  state.player.load(frames);
}

function downloadName() {
  return (state.file ? state.file.name.replace(/\.[^.]*$/, '') : 'movie') + '.8xx';
}

function download() {
  if (!state.result) return;
  state.resultUrl = state.resultUrl || URL.createObjectURL(state.result);
  const link = document.createElement('a');
  link.href = state.resultUrl;
  link.download = downloadName();
  document.body.append(link);
  link.click();
  link.remove();
}

async function openVideoFile(file) {
  showError('');
  try {
    const bytes = new Uint8Array(await file.arrayBuffer());
    state.result = null;
    showResult(bytes, false);
  } catch (e) {
    showError(`This video cannot be read: ${e.message || e}.`);
  }
}

// ---- wiring ----

async function start() {
  keepOffline();
  window.movdithPage = { ready: false, state };
  try {
    state.core = await loadCore();
  } catch (e) {
    showError(`This browser cannot run the converter (WebAssembly): ${e.message || e}.`);
    return;
  }
  state.controls = buildControls($('options'), state.core.options(), () => { settingsChanged(); clipText(); });
  state.player = new Player(state.core, $('screen'), $('play'), $('frame'), $('frame-text'));
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
  $('mark-start').addEventListener('click', () => markClip('start'));
  $('mark-end').addEventListener('click', () => markClip('end'));
  $('mark-clear').addEventListener('click', () => markClip('clear'));
  $('go').addEventListener('click', convert);
  $('cancel').addEventListener('click', () => { if (state.convertJob) state.convertJob.cancelled = true; });
  $('download').addEventListener('click', download);
  applySettings();
  clipText();
  window.movdithPage.ready = true;
  window.movdithPage.greys = () => state.greys;
  window.movdithPage.previewShades = () => Array.from(state.core.preview() || []);
  // Resolves when every preview asked for so far is done.
  window.movdithPage.previewDone = () => state.previewRun;
}

start();
