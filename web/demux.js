// MP4 and MOV through npm's mp4box: the video track's sample table (where
// each picture's bytes are, its timestamps, which are keyframes), its
// decoder configuration, colour, pixel shape and display matrices. Only the
// movie's header is read here; pictures are read from the file when needed,
// so a movie of any length costs its table, not its bytes.
import { createFile, DataStream } from './mp4box/mp4box.all.mjs';

const HEADER_STEP = 1 << 20;  // bytes read at a time while looking for the header
const BATCH_BYTES = 4 << 20;  // pictures are read in runs of about this much

// The codec configuration box's payload, as WebCodecs' `description` wants it.
function configuration(entry) {
  for (const box of [entry.avcC, entry.hvcC, entry.vpcC, entry.av1C]) {
    if (!box) continue;
    const stream = new DataStream(undefined, 0, DataStream.BIG_ENDIAN);
    box.write(stream);
    return new Uint8Array(stream.buffer, 8);  // after the box's size and type
  }
  return undefined;
}

// Reads `file`'s header. Resolves to { track } for a movie with a video
// track, { problem } otherwise: 'not-mp4' or 'no-video'.
export async function openMp4(file) {
  const mp4 = createFile();
  let info = null;
  let broken = false;
  mp4.onReady = (i) => { info = i; };
  mp4.onError = () => { broken = true; };
  // A fragmented movie's pictures are listed in fragments all through the
  // file: those are read too (each fragment's header, not its pictures).
  const wanting = () => !info || Boolean(mp4.moov && mp4.moov.mvex);
  let at = 0;
  while (wanting() && !broken && at < file.size) {
    const buffer = await file.slice(at, at + HEADER_STEP).arrayBuffer();
    buffer.fileStart = at;
    let next;
    try {
      next = mp4.appendBuffer(buffer, at + buffer.byteLength >= file.size);
    } catch {
      broken = true;
      break;
    }
    at = next > at ? next : at + buffer.byteLength;
  }
  if (!info) return { problem: 'not-mp4' };
  const video = info.videoTracks[0];
  if (!video) return { problem: info.tracks.length ? 'no-video' : 'not-mp4' };
  const trak = mp4.getTrackById(video.id);
  const entry = trak.mdia.minf.stbl.stsd.entries[0];
  const samples = trak.samples;
  // A movie cut short (a download broken off) keeps the pictures whose
  // bytes are all there, as the command line does; the rest are gone.
  let n = 0;
  while (n < samples.length && samples[n].offset + samples[n].size <= file.size) ++n;
  if (!samples.length) return { problem: 'no-video' };
  if (!n) return { problem: 'not-mp4' };
  const table = {
    offset: new Float64Array(n), size: new Uint32Array(n), cts: new Float64Array(n),
    duration: new Float64Array(n), sync: new Uint8Array(n),
  };
  for (let i = 0; i < n; ++i) {
    const s = samples[i];
    table.offset[i] = s.offset;
    table.size[i] = s.size;
    table.cts[i] = s.cts;
    table.duration[i] = s.duration;
    table.sync[i] = s.is_sync ? 1 : 0;
  }
  // Presentation order: byTime[r] is the sample shown r-th, time[r] its timestamp.
  const byTime = Uint32Array.from({ length: n }, (_, i) => i).sort((a, b) => table.cts[a] - table.cts[b]);
  const time = Float64Array.from(byTime, (i) => table.cts[i]);
  const colr = entry.colr && entry.colr.colour_type === 'nclx' ? entry.colr : null;
  const vpcC = entry.vpcC && entry.vpcC.version === 1 ? entry.vpcC : null;
  const timescale = trak.mdia.mdhd.timescale;
  // The header's length, or the pictures' where it has none (fragments).
  let end = 0;
  for (let i = 0; i < n; ++i) end = Math.max(end, table.cts[i] + table.duration[i]);
  const whole = n === samples.length ? trak.mdia.mdhd.duration : 0;
  const durationMs = Math.round((Math.max(whole, end - time[0]) / timescale) * 1000);
  return {
    track: {
      codec: video.codec,
      h264: Boolean(entry.avcC),
      description: configuration(entry),
      width: video.video.width,
      height: video.video.height,
      timescale,
      durationMs,
      trackMatrix: Int32Array.from(video.matrix ? Object.values(video.matrix) : [65536, 0, 0, 0, 65536, 0, 0, 0, 1 << 30]),
      movieMatrix: Int32Array.from(mp4.moov.mvhd.matrix),
      pasp: entry.pasp ? [entry.pasp.hSpacing, entry.pasp.vSpacing] : null,
      // The container's word on colour, when it has one: matrix code, full range.
      colour: colr ? [colr.matrix_coefficients, Boolean(colr.full_range_flag)]
        : vpcC ? [vpcC.matrixCoefficients, Boolean(vpcC.videoFullRangeFlag)] : null,
      lengthSize: entry.avcC ? entry.avcC.lengthSizeMinusOne + 1 : 0,
      table, byTime, time,
      t0: time[0],
      count: n,
      end,  // the tick the last picture ends at
      // Where the movie breaks off (ms after its first picture), or null when whole.
      brokenMs: n < samples.length ? Math.round(((end - time[0]) / timescale) * 1000) : null,
    },
  };
}

// The presentation rank of the last picture at or before timestamp `t`
// (-1 when every picture is later).
export function rankAtOrBefore(track, t) {
  let lo = 0, hi = track.count - 1, found = -1;
  while (lo <= hi) {
    const mid = (lo + hi) >> 1;
    if (track.time[mid] <= t) { found = mid; lo = mid + 1; } else hi = mid - 1;
  }
  return found;
}

// The rank of the picture at exactly timestamp `t`, or -1.
export function rankOf(track, t) {
  const r = rankAtOrBefore(track, t);
  return r >= 0 && track.time[r] === t ? r : -1;
}

// The keyframe decoding must start from to reach sample `index`.
export function keyframeBefore(track, index) {
  let i = index;
  while (i > 0 && !track.table.sync[i]) --i;
  return i;
}

// Runs of pictures read ahead of the decoder (see readAhead), by track:
// pieces { from, to, begin, bytes (a promise) }.
const ahead = new WeakMap();
// A run spread over more of the file than this (other tracks' bytes in
// between, or a movie of a very high rate) is read in batches as it comes.
const AHEAD_MAX_BYTES = 64 << 20;
// The first pictures of a run are read on their own, so that the decoder
// starts on them while the rest is read.
const HEAD_PACKETS = 16;

function piece(file, track, from, to) {
  const { offset, size } = track.table;
  let begin = Infinity, end = 0;
  for (let i = from; i < to; ++i) {
    begin = Math.min(begin, offset[i]);
    end = Math.max(end, offset[i] + size[i]);
  }
  if (!(end > begin) || end - begin > AHEAD_MAX_BYTES) return null;
  const bytes = file.slice(begin, end).arrayBuffer().then((b) => new Uint8Array(b));
  // A failed read is left to the batches to report (readSamples).
  bytes.catch(() => {});
  return { from, to, begin, bytes };
}

// Starts reading samples from..to-1 (decode order) in two slices of the
// file, for readSamples to take them from: one read costs about what a few
// packets' do, where a run of a few hundred read in batches of 16 costs
// tens of milliseconds. Replaces the run read before.
export function readAhead(file, track, from, to) {
  const split = Math.min(to, from + HEAD_PACKETS);
  const pieces = [piece(file, track, from, split), split < to ? piece(file, track, split, to) : null];
  ahead.set(track, pieces.filter(Boolean));
}

// Reads the bytes of samples from..to-1 (decode order), from the run read
// ahead where it holds them, else in runs of about BATCH_BYTES; resolves to
// an array of Uint8Arrays.
export async function readSamples(file, track, from, to) {
  const { offset, size } = track.table;
  const out = [];
  let i = from;
  for (const run of ahead.get(track) || []) {
    if (i < run.from || i >= run.to || i >= to) continue;
    const bytes = await run.bytes.catch(() => null);
    if (!bytes) break;
    for (; i < to && i < run.to; ++i) out.push(bytes.subarray(offset[i] - run.begin, offset[i] - run.begin + size[i]));
  }
  while (i < to) {
    const begin = offset[i];
    let j = i, end = begin;
    while (j < to && offset[j] === end && end - begin < BATCH_BYTES) end += size[j++];
    const bytes = new Uint8Array(await file.slice(begin, end).arrayBuffer());
    for (let k = i; k < j; ++k) out.push(bytes.subarray(offset[k] - begin, offset[k] - begin + size[k]));
    i = j;
  }
  return out;
}
