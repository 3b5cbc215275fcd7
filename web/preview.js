// The preview: the movie at the chosen position, at 96 × 64 and as the
// calculator shows it, side by side, and the clip marked on it (Start here,
// End here, Whole movie). The picture's placement on the display is worked
// out here for the conversion too.
import { Cancelled, handOver, pictureAt, videoPictureAt } from './convert.js';
import { readAhead } from './demux.js';
import { WORDS, say } from './messages.js';
import { drawBitmap, drawShades } from './player.js';
import { $, state, timeText } from './state.js';

// A position this many pictures (in decoding order) past the preview
// decoder's is decoded on to at once; a farther one shows its keyframe first.
const NEAR_PACKETS = 15;
// Packets read past the one wanted: the decoder gives a picture out only
// a few packets later (its reordering and its threads).
const READ_PAST = 16;

// The decoder works one of two ways: on one thread, each picture given out
// as soon as it is decoded (optimizeForLatency), or on several threads,
// several pictures at once. Which brings a jump's picture sooner depends on
// the cores free: on a loaded 2-core machine the one thread was the
// quicker; with cores to spare the threads are. So each jump's time per
// packet decoded is measured, the quicker way kept and the other tried
// again every TRY_OTHER jumps. Runs shorter than MIN_PACKETS are not
// counted: their time is more the start's than the decoding's.
const TRY_OTHER = 8;
const MIN_PACKETS = 30;

class DecoderWays {
  constructor() {
    this.ways = [true, false].map((latency) => ({ latency, msPerPacket: null, jumps: 0 }));
    this.counted = 0;
    this.current = this.ways[0];
  }

  // Whether the next start of the decoder is tuned for latency.
  pick() {
    const untried = this.ways.find((w) => w.msPerPacket === null);
    if (untried) {
      this.current = untried;
    } else {
      const [best, other] = [...this.ways].sort((a, b) => a.msPerPacket - b.msPerPacket);
      this.current = (this.counted + 1) % TRY_OTHER === 0 ? other : best;
    }
    return this.current.latency;
  }

  // A run from a keyframe took `ms` for `packets` decoded.
  record(ms, packets) {
    if (packets < MIN_PACKETS) return;
    const w = this.current, perPacket = ms / packets;
    w.msPerPacket = w.msPerPacket === null ? perPacket : (w.msPerPacket + perPacket) / 2;
    ++w.jumps;
    ++this.counted;
  }
}

const decoderWays = new DecoderWays();

export function placeSource(width, height) {
  const s = state.source;
  const placed = state.core.place(width, height, s.sar, s.trackMatrix, s.movieMatrix);
  if (!placed) throw new Error(WORDS.thin);
  s.width = width;
  s.height = height;
  window.movdithPage.sizes = placed;
  $('movie-info').textContent = `${state.file.name}: ${placed.inWidth} × ${placed.inHeight}` +
    `${placed.quarter % 2 ? ' (turned)' : ''}, ${timeText(state.durationMs)}; on the calculator ` +
    `${placed.outWidth} × ${placed.outHeight}${s.kind === 'video' ? '; read through the browser\'s player' : ''}.`;
  return placed;
}

export function drawPreview() {
  const started = performance.now();
  const shades = state.core.preview();
  if (!shades) return;
  const dithered = performance.now();
  drawBitmap($('source'), state.core.bitmap());
  drawShades($('result'), shades);
  // For the bench: the time taken by the pipeline and by drawing.
  const spent = window.movdithPage.drawSpent;
  spent.ditherMs += dithered - started;
  spent.drawMs += performance.now() - dithered;
}

// The core lets go of the picture it holds (the conversion used its buffer).
export function forgetPicture() {
  state.core.forget();
  if (state.source) state.source.held = null;
}

// Shows the picture at `ms`. Decoding starts from the keyframe before it, so
// that keyframe is shown first, at once, and the exact picture when it is
// decoded (MP4); a position later in the group the decoder is in goes on
// from where it is, and the picture the core holds already is not decoded
// again. A newer request drops an older one.
export function preview(ms) {
  if (!state.source || state.convertJob) return;
  if (state.previewJob) state.previewJob.cancelled = true;
  const job = { cancelled: false };
  state.previewJob = job;
  // One at a time: the one dropped stops at its next picture.
  const previous = state.previewRun;
  state.previewRun = (async () => {
    await previous;
    if (!job.cancelled) await showPicture(ms, job);
    if (state.source && state.source.cache) state.source.cache.resume(ms);
  })();
}

// Decodes on to the picture at `at.pts` (see pictureAt) with the preview's
// decoder, from its keyframe when the decoder cannot go on to it or the
// keyframe is to be shown, leaving
// out the pictures before it that no other refers to, and hands it to the
// core; `keyShown()`, if given, is called with the keyframe's picture in
// the core as it comes. Pictures not shown are closed as they come, never
// copied. Resolves to true when the picture was handed over.
async function decodeTo(s, at, job, keyShown) {
  const { track, decoder, colour } = s;
  const core = state.core;
  if (keyShown || !decoder.reaches(at.key, at.pts, at.index)) decoder.start(at.key);
  let found = false;
  const skip = (i, packet) => track.h264 && track.table.cts[i] < at.pts && core.unreferenced(packet, track.lengthSize);
  await decoder.run(async (frame) => {
    if (frame.timestamp === at.keyPts && keyShown && frame.timestamp < at.pts) {
      if (!(await handOver(core, frame, colour, 0, decoder.spent))) return false;
      if (!job.cancelled) keyShown();
      return true;
    }
    if (frame.timestamp < at.pts) return true;
    if (frame.timestamp === at.pts) found = await handOver(core, frame, colour, 0, decoder.spent);
    return false;
  }, job, skip);
  return found;
}

async function showPicture(ms, job) {
  const started = performance.now();
  const s = state.source;
  const timing = window.movdithPage;
  // The pictures drawn, by their time in the movie (ms from its first).
  const drawn = timing.lastPreviewPictures = [];
  let restart = false, decodedBefore = 0;  // whether the decoder starts again at a keyframe
  try {
    if (s.kind === 'mp4') {
      if (!s.width) placeSource(s.track.width, s.track.height);
      const at = pictureAt(s.track, ms);
      timing.lastPreviewKept = s.held !== at.pts && Boolean(s.cache && s.cache.hold(at.pts));
      if (timing.lastPreviewKept) s.held = at.pts;
      // A decoder a little before the picture goes on to it; otherwise
      // decoding starts again at the keyframe, shown first, at once, then
      // the exact picture.
      const inHand = s.held === at.pts;
      restart = !inHand && !(s.decoder.reaches(at.key, at.pts, at.index) && s.decoder.near(at.index, NEAR_PACKETS));
      const core = state.core;
      const show = (want) => {
        s.held = want;
        // The decoder's picture size is the one that counts (an MP4 header may say otherwise).
        const seen = core.lastSize();
        if (seen && (seen[0] !== s.width || seen[1] !== s.height)) {
          placeSource(seen[0], seen[1]);
          core.repicture();
        }
        drawPreview();
        drawn.push(Math.round(((want - s.track.t0) * 1000) / s.track.timescale));
      };
      if (!inHand) {
        // Decoding wants the machine: the background pass stops at once.
        if (s.cache) s.cache.pause();
        readAhead(state.file, s.track, restart ? at.key : s.decoder.next, Math.min(s.track.count, at.index + READ_PAST));
        // Read by the decoder's next start, the only one a restart makes.
        if (restart) s.decoder.config = { ...s.config, optimizeForLatency: decoderWays.pick() };
        decodedBefore = s.decoder.spent.decoded;
        s.held = null;
        const showKey = restart && at.keyPts !== at.pts;
        const found = await decodeTo(s, at, job, showKey ? () => {
          show(at.keyPts);
          timing.lastPreviewFirstMs = performance.now() - started;
        } : null);
        if (!found) {
          if (job.cancelled) return;
          throw new Error('no picture could be decoded there');
        }
      }
      if (job.cancelled) return;
      show(at.pts);
    } else {
      if (!s.width) placeSource(s.video.videoWidth, s.video.videoHeight);
      if (!(await videoPictureAt(state.core, s.video, ms))) throw new Error('no picture could be drawn there');
      if (job.cancelled) return;
      drawPreview();
      drawn.push(ms);
    }
    timing.lastPreviewMs = performance.now() - started;
    if (restart) decoderWays.record(timing.lastPreviewMs, s.decoder.spent.decoded - decodedBefore);
    timing.decoderWays = decoderWays.ways;
    // For the tests: the positions shown, in order (a request dropped for a newer one shows nothing).
    (timing.positionsShown ??= []).push(ms);
  } catch (e) {
    if (!(e instanceof Cancelled) && !job.cancelled) say(e.message === WORDS.thin ? WORDS.thin : WORDS.preview, $('marks'));
  } finally {
    if (state.previewJob === job) state.previewJob = null;
  }
}

export function positionChanged() {
  const ms = Number($('position').value);
  $('position-text').value = timeText(ms);
  preview(ms);
}

function seconds(ms) { return String(Math.round(ms) / 1000); }

// A time control's value in milliseconds, or null when empty or not a time.
function readTime(name) {
  const text = state.form.value(name);
  if (!text) return null;
  const parts = text.split(':').map(Number);
  if (parts.some((p) => !Number.isFinite(p))) return null;
  return Math.round(parts.reduce((total, p) => total * 60 + p, 0) * 1000);
}

// The clip buttons: the position becomes the clip's start or end, or the
// clip the whole movie again; false (with the reason shown) when it cannot.
export function markClip(which) {
  const ms = Number($('position').value);
  const start = readTime('start') ?? 0;
  if (which === 'start') {
    state.form.setValue('start', ms ? seconds(ms) : '');
  } else if (which === 'end') {
    if (ms <= start) {
      say(WORDS.endBeforeStart, $('marks'));
      return false;
    }
    state.form.setValue('duration', seconds(ms - start));
  } else {
    state.form.setValue('start', '');
    state.form.setValue('duration', '');
  }
  return true;
}

export function clipText() {
  const start = readTime('start') ?? 0;
  const duration = readTime('duration');
  // Whole movie is offered only when there is a clip to undo.
  $('mark-clear').disabled = !state.source || (readTime('start') === null && duration === null);
  $('clip-text').textContent = duration === null ? `Clip: from ${timeText(start)} to the end`
    : `Clip: ${timeText(start)} to ${timeText(start + duration)}`;
}
