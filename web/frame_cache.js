// The preview's cache of pictures: while the user is idle, a background
// pass decodes the movie and keeps the display bitmap (96 x 64, 24-bit, as
// the pipeline reads it) of the picture at every position of the slider, so
// that a later jump there is exact at once. Bitmaps are kept before the
// tone stages and the dithering, so a change of those redraws from the
// cache; a change of placement (fit, size, turn) makes them stale and they
// are made again. The pass has its own decoder and its own slot in the core
// (slot 1), so it never disturbs the picture the preview holds; it stops at
// its next picture when the user moves the slider or converts.
import { DIB_BYTES } from './core.js';
import { Cancelled, TrackDecoder, handOver, pictureAt } from './convert.js';
import { keyframeBefore, rankOf } from './demux.js';

// At most this many bitmaps are kept (18,472 bytes each: 42 MiB, four
// minutes of positions); for a longer movie, those nearest the slider's
// position. They are held in blocks of BLOCK_FRAMES, made as needed.
export const MAX_KEPT = 2400;
const BLOCK_FRAMES = 100;
const POSITION_MS = 100;  // the slider's step
// The pass starts once the preview has been idle this long, so that a drag
// of the slider does not start and stop it at every step.
const IDLE_MS = 250;

export class FrameCache {
  // `hooks.busy()`: the preview or a conversion wants the machine;
  // `hooks.converting()`: a conversion does (the pass's decoder is then closed).
  constructor(core, file, track, config, colour, durationMs, hooks) {
    Object.assign(this, { core, file, track, colour, hooks, decoder: new TrackDecoder(file, track, config) });
    const n = track.count;
    this.wanted = new Uint8Array(n);  // by presentation rank: some position shows it
    this.slotOf = new Int32Array(n).fill(-1);
    this.blocks = [];
    this.free = [];
    this.slots = 0;
    this.kept = 0;
    this.version = -1;  // the placement the kept bitmaps were made at
    this.closed = false;
    this.running = null;
    this.timer = null;
    this.around = 0;
    // Each group of pictures (from a keyframe to the next), with the ranks
    // it holds that positions show.
    const byKey = new Map();
    for (let ms = 0; ms <= durationMs; ms += POSITION_MS) {
      const at = pictureAt(track, ms);
      const rank = rankOf(track, at.pts);
      if (this.wanted[rank]) continue;
      this.wanted[rank] = 1;
      if (!byKey.has(at.key)) byKey.set(at.key, { key: at.key, ranks: [], failed: false });
      byKey.get(at.key).ranks.push(rank);
    }
    this.groups = [...byKey.values()];
    for (const g of this.groups) {
      g.first = track.time[g.ranks[0]];
      g.last = track.time[g.ranks[g.ranks.length - 1]];
    }
    this.finished = null;
    this.settle = null;
    this.newRound();
  }

  // The pass's promise for the tests and the bench: settles when it has
  // nothing left to do (every position kept, or as many as MAX_KEPT allows).
  done() { return this.finished; }

  newRound() {
    if (this.settle) return;
    this.finished = new Promise((resolve) => { this.settle = resolve; });
  }

  finishRound() {
    if (this.settle) this.settle();
    this.settle = null;
  }

  // Makes the kept bitmap of the picture at timestamp `pts` the core's
  // picture; false when it is not kept (at the current placement).
  hold(pts) {
    if (this.version !== this.core.placementVersion()) return false;
    const rank = rankOf(this.track, pts);
    const slot = rank >= 0 ? this.slotOf[rank] : -1;
    if (slot < 0) return false;
    this.core.holdBitmap(this.bitmap(slot), this.version);
    return true;
  }

  bitmap(slot) {
    const at = (slot % BLOCK_FRAMES) * DIB_BYTES;
    return this.blocks[Math.floor(slot / BLOCK_FRAMES)].subarray(at, at + DIB_BYTES);
  }

  store(rank, dib) {
    let slot = this.free.pop();
    if (slot === undefined) {
      slot = this.slots++;
      if (slot % BLOCK_FRAMES === 0) this.blocks.push(new Uint8Array(BLOCK_FRAMES * DIB_BYTES));
    }
    this.bitmap(slot).set(dib);
    this.slotOf[rank] = slot;
    ++this.kept;
  }

  drop(group) {
    for (const r of group.ranks) {
      if (this.slotOf[r] < 0) continue;
      this.free.push(this.slotOf[r]);
      this.slotOf[r] = -1;
      --this.kept;
    }
  }

  // Forgets every bitmap (their placement is gone), keeping the memory.
  clear() {
    this.slotOf.fill(-1);
    this.free = Array.from({ length: this.slots }, (_, i) => this.slots - 1 - i);
    this.kept = 0;
    for (const g of this.groups) g.failed = false;
    this.version = this.core.placementVersion();
  }

  distance(g) {
    const t = this.track.t0 + (this.around * this.track.timescale) / 1000;
    return t < g.first ? g.first - t : t > g.last ? t - g.last : 0;
  }

  missing(g) {
    let n = 0;
    for (const r of g.ranks) if (this.slotOf[r] < 0) ++n;
    return n;
  }

  // The group to decode next: the nearest to the slider's position with
  // pictures still to keep, room made for it by dropping farther groups;
  // null when there is none, or no room.
  nextGroup() {
    const order = this.groups.filter((g) => !g.failed).sort((a, b) => this.distance(a) - this.distance(b) || a.key - b.key);
    const g = order.find((x) => this.missing(x) > 0);
    if (!g) return null;
    const need = this.missing(g);
    for (let i = order.length - 1; this.kept + need > MAX_KEPT && i >= 0 && this.distance(order[i]) > this.distance(g); --i) {
      this.drop(order[i]);
    }
    return this.kept + need <= MAX_KEPT ? g : null;
  }

  // The user is idle at `ms`: the pass starts there after IDLE_MS, or goes on.
  resume(ms) {
    if (this.closed) return;
    this.around = ms;
    clearTimeout(this.timer);
    this.timer = setTimeout(() => {
      this.timer = null;
      if (!this.running && !this.closed && !this.hooks.busy()) {
        this.newRound();
        this.running = this.pass().finally(() => { this.running = null; });
      }
    }, IDLE_MS);
  }

  // A jump wants the machine at once: the pass stops now, its decoder
  // dropping the packets queued in it rather than decoding them beside the
  // jump's (it starts again from a keyframe when the pass goes on).
  pause() {
    clearTimeout(this.timer);
    if (!this.running || !this.decoder.decoder) return;
    const wake = this.decoder.wake;
    this.decoder.close();
    this.decoder.wake = null;
    if (wake) wake();  // the run waiting on the decoder sees that it is stopped
  }

  async pass() {
    const cache = this;
    const job = { get cancelled() { return cache.closed || cache.hooks.busy(); } };
    try {
      for (;;) {
        if (job.cancelled) throw new Cancelled();
        if (this.version !== this.core.placementVersion()) this.clear();
        const g = this.nextGroup();
        if (!g) break;
        await this.decodeGroup(g, job);
      }
      this.finishRound();
    } catch (e) {
      // A decoder's failure, unless the pass was being stopped (pause() closes the decoder).
      if (!(e instanceof Cancelled) && !job.cancelled) {
        // The preview decodes as it did without a cache.
        this.closed = true;
        this.finishRound();
      }
      if (this.closed || this.hooks.converting()) this.decoder.close();
    }
  }

  async decodeGroup(g, job) {
    const { core, track, decoder } = this;
    // A decoder that stopped before this group's pictures, in it or in the
    // group before it, goes on; a new start is made at its keyframe otherwise.
    const goesOn = decoder.decoder && !decoder.ended && !decoder.failure && decoder.key <= g.key &&
      decoder.last < g.first && (decoder.next >= g.key || keyframeBefore(track, decoder.next) === keyframeBefore(track, g.key - 1));
    if (!goesOn) decoder.start(g.key);
    let left = this.missing(g);
    const version = this.version;
    // Pictures no position shows and no other picture refers to are left out.
    const skip = (i, packet) => track.h264 && !this.wanted[rankOf(track, track.table.cts[i])] &&
      core.unreferenced(packet, track.lengthSize);
    await decoder.run(async (frame) => {
      const rank = rankOf(track, frame.timestamp);
      if (rank < 0 || !this.wanted[rank] || this.slotOf[rank] >= 0) return left > 0;
      if (!(await handOver(core, frame, this.colour, 1))) throw new Error('a picture could not be scaled');
      // The placement may have changed while the picture was copied in.
      if (core.placementVersion() !== version) return false;
      this.store(rank, core.bitmap(1));
      return --left > 0;
    }, job, skip);
    // What the decoder did not give (the track ended first) is not asked for again.
    if (left > 0 && core.placementVersion() === version) g.failed = true;
  }

  // The movie is closed: the pass stops and the bitmaps go.
  close() {
    this.closed = true;
    clearTimeout(this.timer);
    this.decoder.close();
    this.blocks = [];
    this.finishRound();
  }
}
