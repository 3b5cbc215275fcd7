// Decoding in the browser and the hand-over to the WebAssembly core: the
// browser's own decoders (WebCodecs) for MP4 and MOV, each picture copied at
// full resolution into the core, which scales, dithers and writes it; the
// page's <video> element (seek and draw) for movies only the browser's
// player reads. Which pictures become frames is the core's rule alone.
import { keyframeBefore, rankAtOrBefore, rankOf, readSamples } from './demux.js';

const READ_PACKETS = 16;  // packets read from the file at a time
const MAX_QUEUED_CHUNKS = 12;  // packets waiting in the decoder
const MAX_WAITING_FRAMES = 3;  // decoded pictures waiting for the core
const SEEK_TIMEOUT_MS = 15000;

// VideoFrame formats the core reads as they are, by its layout numbers.
const LAYOUTS = { I420: 0, I420A: 0, I422: 1, I444: 2, NV12: 3, RGBA: 4, RGBX: 5, BGRA: 6, BGRX: 7 };
const RGBX = 5;
const RGBA = 4;
// The core's colour matrices: BT.601, BT.709, BT.2020, RGB.
const MATRIX_CODES = { 0: 3, 1: 1, 9: 2, 10: 2 };  // H.264 / ISO codes; others are BT.601
const MATRIX_NAMES = { rgb: 3, bt709: 1, 'bt2020-ncl': 2 };

export class Cancelled extends Error {}

// What the stream says of its pictures, as libav reads it: their colour
// (matrix and range; null leaves it to the browser's reading of each
// picture) and pixel shape (the container's, else the stream's own).
export function streamFacts(core, track) {
  const signal = track.h264 && track.description ? core.h264Signal(track.description) : null;
  let colour = null;
  if (track.colour) colour = { matrix: MATRIX_CODES[track.colour[0]] ?? 0, full: track.colour[1] };
  else if (signal && signal.matrix >= 0) colour = { matrix: MATRIX_CODES[signal.matrix] ?? 0, full: signal.full };
  return { colour, sar: track.pasp || (signal && signal.sar) || null };
}

function frameColour(frame) {
  const cs = frame.colorSpace || {};
  return { matrix: MATRIX_NAMES[cs.matrix] ?? 0, full: Boolean(cs.fullRange) };
}

// Where a preview's time goes, for the bench: reading packets from the
// file, copying pictures into the core and scaling them (milliseconds), and
// the packets given to the decoder and left out.
export function newSpent() {
  return { readMs: 0, copyMs: 0, scaleMs: 0, decoded: 0, skipped: 0 };
}

// Copies a decoded picture into the core's slot `slot` and scales it onto
// the display; `spent` (newSpent()) adds up the time taken.
export async function handOver(core, frame, colour, slot = 0, spent = null) {
  const started = performance.now();
  const rect = frame.visibleRect;
  const width = rect.width, height = rect.height;
  let layout = LAYOUTS[frame.format];
  let options = { rect };
  if (layout === undefined) {  // high bit depths and others: the browser converts
    layout = RGBX;
    options = { rect, format: 'RGBX' };
  }
  const c = colour || frameColour(frame);
  let planes;
  try {
    const bytes = frame.allocationSize(options);
    planes = await frame.copyTo(core.input(bytes, slot), options);
  } catch {
    // A picture the browser will not copy out: drawn, then read back.
    const canvas = new OffscreenCanvas(width, height);
    const context = canvas.getContext('2d', { willReadFrequently: true });
    context.drawImage(frame, rect.x, rect.y, width, height, 0, 0, width, height);
    const pixels = context.getImageData(0, 0, width, height).data;
    core.input(pixels.length, slot).set(pixels);
    layout = RGBA;
    planes = [{ offset: 0, stride: width * 4 }];
  }
  const copied = performance.now();
  const ok = core.picture(layout, width, height, planes, c.matrix, c.full, slot);
  if (spent) {
    spent.copyMs += copied - started;
    spent.scaleMs += performance.now() - copied;
  }
  return ok;
}

// A track's pictures through the browser's decoder, in presentation order.
// start() begins at a keyframe; run() goes on from wherever the last run
// stopped, so a later picture of the same group needs no new start.
export class TrackDecoder {
  constructor(file, track, config) {
    Object.assign(this, { file, track, config, decoder: null, waiting: [], failure: null, wake: null, spent: newSpent() });
  }

  // Decoding begins again at keyframe `key` (a decode index).
  start(key) {
    this.close();
    this.failure = null;
    const poke = () => { if (this.wake) { const w = this.wake; this.wake = null; w(); } };
    this.decoder = new VideoDecoder({
      output: (frame) => { this.waiting.push(frame); poke(); },
      error: (e) => { this.failure = e; poke(); },
    });
    this.decoder.addEventListener('dequeue', poke);
    this.decoder.configure(this.config);
    Object.assign(this, { key, next: key, last: -Infinity, ended: false, skipped: new Set() });
  }

  // Whether run() can still reach the picture at timestamp `pts`, decode
  // index `index`, of the group starting at keyframe `key`.
  reaches(key, pts, index) {
    return this.decoder !== null && !this.ended && !this.failure && key === this.key && pts > this.last &&
      !this.skipped.has(index);
  }

  // Whether decode index `index` is at most `packets` ahead of where decoding is.
  near(index, packets) {
    return index - this.next <= packets;
  }

  // Hands each picture to `onFrame(frame)` (which closes nothing; false
  // stops the run, the pictures after it kept for the next run) until the
  // track ends. `skip(index, packet)` may leave a packet out. Rejects with
  // the decoder's error, or Cancelled when `job.cancelled` is set.
  async run(onFrame, job, skip = () => false) {
    const { decoder, track } = this;
    let stopped = false;
    const drain = async () => {
      while (this.waiting.length && !stopped) {
        // A run cancelled leaves its pictures to the next: the one it was
        // about to take may be the one wanted next.
        if (job.cancelled) throw new Cancelled();
        const frame = this.waiting.shift();
        this.last = frame.timestamp;
        try {
          if ((await onFrame(frame)) === false) stopped = true;
        } finally {
          frame.close();
        }
      }
    };
    const pause = () => new Promise((resolve) => { this.wake = resolve; });
    await drain();
    while (this.next < track.count && !stopped) {
      const from = this.next;
      const reading = performance.now();
      const packets = await readSamples(this.file, track, from, Math.min(track.count, from + READ_PACKETS));
      this.spent.readMs += performance.now() - reading;
      for (let k = 0; k < packets.length && !stopped; ++k) {
        if (this.failure) throw this.failure;
        if (job.cancelled) throw new Cancelled();
        const index = this.next++;
        if (skip(index, packets[k])) {
          this.skipped.add(index);
          ++this.spent.skipped;
          continue;
        }
        ++this.spent.decoded;
        decoder.decode(new EncodedVideoChunk({
          type: track.table.sync[index] ? 'key' : 'delta',
          timestamp: track.table.cts[index],
          duration: track.table.duration[index],
          data: packets[k],
        }));
        while (!this.failure && !stopped &&
               (decoder.decodeQueueSize > MAX_QUEUED_CHUNKS || this.waiting.length > MAX_WAITING_FRAMES)) {
          if (this.waiting.length) await drain(); else await pause();
        }
        await drain();
      }
    }
    if (!stopped && !this.failure && !this.ended) {
      // The track is over: what the decoder still holds comes out.
      this.ended = true;
      const flushed = decoder.flush().then(() => 'done', (e) => { this.failure = this.failure || e; });
      for (;;) {
        await drain();
        if (stopped || this.failure) break;
        if ((await Promise.race([flushed, pause()])) === 'done') { await drain(); break; }
      }
    }
    if (this.failure && !stopped) throw this.failure;
  }

  close() {
    for (const frame of this.waiting.splice(0)) frame.close();
    if (this.decoder && this.decoder.state !== 'closed') this.decoder.close();
    this.decoder = null;
  }
}

// The timestamp of the picture shown at `ms` into the movie, and of the
// keyframe decoding it starts from.
export function pictureAt(track, ms) {
  const target = track.t0 + Math.floor((ms * track.timescale) / 1000);
  const rank = Math.max(0, rankAtOrBefore(track, target));
  const index = track.byTime[rank];
  const key = keyframeBefore(track, index);
  return { pts: track.time[rank], index, keyPts: track.table.cts[key], key };
}

// Converts a track with the settings already given to the core; `progress`
// is told the frames written. Resolves to the record count.
export async function convertTrack(core, file, track, config, colour, job, progress) {
  const first = core.sampleTime(0);
  const rank = Math.max(0, rankAtOrBefore(track, first));
  let lastEnd = null;
  const skip = (index, packet) => {
    // A picture that no frame shows and no other picture refers to is not
    // decoded, as on the command line.
    if (!track.h264) return false;
    const r = rankOf(track, track.table.cts[index]);
    const next = r + 1 < track.count ? track.time[r + 1] : null;
    return next !== null && !core.shown(track.table.cts[index], next) && core.unreferenced(packet, track.lengthSize);
  };
  const decoder = new TrackDecoder(file, track, config);
  decoder.start(keyframeBefore(track, track.byTime[rank]));
  try {
    await decoder.run(async (frame) => {
      const pts = frame.timestamp;
      if (core.due(pts) < 0) throw new Error(core.message());
      progress(core.position());
      if (core.clipOver()) return false;
      const r = rankOf(track, pts);
      const next = r >= 0 && r + 1 < track.count ? track.time[r + 1] : Infinity;
      if (next === Infinity || core.shown(pts, next)) {
        if (!(await handOver(core, frame, colour))) throw new Error('a picture could not be scaled');
      }
      lastEnd = pts + (r >= 0 ? track.table.duration[track.byTime[r]] : 0);
      return true;
    }, job, skip);
  } finally {
    decoder.close();
  }
  if (job.cancelled) throw new Cancelled();
  return core.finish(lastEnd ?? 0);
}

// ---- The <video> element, for movies WebCodecs is not given ----

function once(target, events, timeoutMs) {
  return new Promise((resolve, reject) => {
    const done = (e) => {
      for (const name of events) target.removeEventListener(name, done);
      clearTimeout(timer);
      if (e.type === 'error') reject(new Error('unreadable'));
      else resolve(e);
    };
    const timer = setTimeout(() => done({ type: 'error' }), timeoutMs);
    for (const name of events) target.addEventListener(name, done);
  });
}

// Opens `file` in a hidden <video> element; resolves to it once its size and
// length are known, rejects if the browser cannot play it.
export async function openVideoElement(file) {
  const video = document.createElement('video');
  video.muted = true;
  video.preload = 'auto';
  video.src = URL.createObjectURL(file);
  try {
    await once(video, ['loadedmetadata', 'error'], SEEK_TIMEOUT_MS);
    if (!video.videoWidth || !video.videoHeight || !Number.isFinite(video.duration)) throw new Error('no video');
    return video;
  } catch (e) {
    closeVideoElement(video);
    throw e;
  }
}

export function closeVideoElement(video) {
  URL.revokeObjectURL(video.src);
  video.removeAttribute('src');
  video.load();
}

// How long a seek's picture may take to reach the element once it has said
// the seek is done; past that the picture it shows is taken as it is.
const PRESENT_TIMEOUT_MS = 1000;

// Seeks the element to `ms` and hands the picture shown there to the core.
// 'seeked' can come before the new picture is in the element (on a busy
// machine drawImage then gives the one before), so where the browser tells
// when a picture reaches the element, that is waited for too, asked for
// before the seek starts, as a callback asked for later would miss it (a
// seek to where the element already is brings no new picture).
export async function videoPictureAt(core, video, ms) {
  const moves = video.currentTime !== ms / 1000 || video.readyState < HTMLMediaElement.HAVE_CURRENT_DATA;
  const presented = moves && video.requestVideoFrameCallback
    ? new Promise((resolve) => video.requestVideoFrameCallback(() => resolve())) : null;
  video.currentTime = ms / 1000;
  await once(video, ['seeked', 'error'], SEEK_TIMEOUT_MS);
  if (presented) await Promise.race([presented, new Promise((resolve) => setTimeout(resolve, PRESENT_TIMEOUT_MS))]);
  const width = video.videoWidth, height = video.videoHeight;
  const canvas = new OffscreenCanvas(width, height);
  const context = canvas.getContext('2d', { willReadFrequently: true });
  context.drawImage(video, 0, 0, width, height);
  const pixels = context.getImageData(0, 0, width, height).data;
  core.input(pixels.length).set(pixels);
  return core.picture(RGBA, width, height, [{ offset: 0, stride: width * 4 }], 3, true);
}

// Converts through the element: frame k is the picture the player shows at
// start + k / 10 s, up to the movie's end. A clip starting past the end
// never comes here: the core's plan refuses it before converting.
export async function convertVideoElement(core, video, job, progress) {
  const durationMs = video.duration * 1000;  // the element's clock: milliseconds from 0
  let frames = 0;
  for (let pos = 0; core.inClip(pos) && core.sampleTime(pos) < durationMs; ++pos) {
    if (job.cancelled) throw new Cancelled();
    const t = core.sampleTime(pos);
    if (!(await videoPictureAt(core, video, t))) throw new Error('a picture could not be scaled');
    if (core.due(t + 1) < 0) throw new Error(core.message());
    frames = core.position();
    progress(frames);
  }
  return core.finish(durationMs);
}
