// The WebAssembly core (movdith.mjs, built from the command line's C++) as
// JavaScript calls: numbers and byte arrays in, numbers and views out.
import createMovdith from './movdith.mjs';

// The display, as the core's raster has it.
export const WIDTH = 96;
export const HEIGHT = 64;
const GREY_BYTES = WIDTH * HEIGHT;
export const DIB_BYTES = 40 + WIDTH * HEIGHT * 3;  // header, then blue-green-red

export async function loadCore() {
  const m = await createMovdith();
  const scratch = m._malloc(64);  // plane offsets and strides, argument vectors
  let packet = 0, packetSize = 0;
  let last = null;  // the last picture's layout, for repicture()
  let kept = -1;  // the placement of the bitmap put in by holdBitmap(), if that is the picture

  const view = (ptr, length) => m.HEAPU8.subarray(ptr, ptr + length);
  const ints = (ptr, count) => Array.from(new Int32Array(m.HEAPU8.buffer, ptr, count));
  const string = (s) => {
    const bytes = m.lengthBytesUTF8(s) + 1;
    const ptr = m._malloc(bytes);
    m.stringToUTF8(s, ptr, bytes);
    return ptr;
  };
  const copyIn = (bytes) => {
    if (bytes.length > packetSize) {
      if (packet) m._free(packet);
      packetSize = Math.max(bytes.length, 2 * packetSize);
      packet = m._malloc(packetSize);
    }
    m.HEAPU8.set(bytes, packet);
    return packet;
  };

  return {
    options: () => JSON.parse(m.UTF8ToString(m._movdith_options())),
    memoryBytes: () => m.HEAPU8.buffer.byteLength,
    // Parses a command line as the program does: { ok, message }.
    settings(args) {
      const argv = ['movdith', 'movie', 'movie.8xx', ...args].map(string);
      const table = m._malloc(4 * argv.length);
      new Uint32Array(m.HEAPU8.buffer, table, argv.length).set(argv);
      const ok = m._movdith_settings(argv.length, table) === 1;
      for (const ptr of argv) m._free(ptr);
      m._free(table);
      return { ok, message: m.UTF8ToString(m._movdith_message()) };
    },
    message: () => m.UTF8ToString(m._movdith_message()),
    // The sizes the command line prints, and the turn: null if it cannot fit.
    place(width, height, sar, trackMatrix, movieMatrix) {
      let track = 0, movie = 0;
      if (trackMatrix && movieMatrix) {
        track = scratch;
        movie = scratch + 36;
        new Int32Array(m.HEAPU8.buffer, track, 9).set(trackMatrix);
        new Int32Array(m.HEAPU8.buffer, movie, 9).set(movieMatrix);
      }
      if (!m._movdith_place(width, height, sar ? sar[0] : 0, sar ? sar[1] : 0, track, movie)) return null;
      const [inWidth, inHeight, outWidth, outHeight, quarter, hflip, vflip] = ints(m._movdith_sizes(), 7);
      return { inWidth, inHeight, outWidth, outHeight, quarter, hflip, vflip };
    },
    h264Signal(avcc) {
      const [matrix, full, num, den] = ints(m._movdith_h264_signal(copyIn(avcc), avcc.length), 4);
      return { matrix, full: full !== 0, sar: num > 0 && den > 0 ? [num, den] : null };
    },
    unreferenced: (bytes, lengthSize) => m._movdith_unreferenced(copyIn(bytes), bytes.length, lengthSize) === 1,
    clock: (num, den, t0) => m._movdith_clock(num, den, t0),
    sampleTime: (pos) => m._movdith_sample_time(pos),
    inClip: (pos) => m._movdith_in_clip(pos) === 1,
    shown: (pts, next) => m._movdith_shown(pts, next) === 1,
    estimate: (totalMs) => m._movdith_estimate(totalMs),
    // The frames the clip gives, or -1 when the command line refuses it (message() says why).
    plan: (totalMs, endTicks) => m._movdith_plan(totalMs, endTicks),
    fileBytes: (frames) => m._movdith_file_bytes(frames),
    // A view of slot `slot`'s input buffer, `bytes` long, for a picture's
    // planes: slot 0 is the preview's and the conversion's, slot 1 the
    // background pass's (see frame_cache.js).
    input: (bytes, slot = 0) => view(m._movdith_input(bytes, slot), bytes),
    picture(layout, width, height, planes, matrix, full, slot = 0) {
      if (slot === 0) {
        last = [layout, width, height, planes, matrix, full];
        kept = -1;
      }
      const words = new Uint32Array(m.HEAPU8.buffer, scratch, 6);
      for (let i = 0; i < 3; ++i) {
        const plane = planes[Math.min(i, planes.length - 1)];
        words[i] = plane.offset;
        words[3 + i] = plane.stride;
      }
      return m._movdith_picture(slot, layout, width, height, scratch, scratch + 12, matrix, full ? 1 : 0) === 1;
    },
    // Scales the last picture again (its planes are still in the input
    // buffer), after the placement changed. A bitmap put in from the cache
    // has no planes behind it: it stands while its placement does.
    repicture() {
      if (last) return this.picture(...last);
      return kept >= 0 && kept === m._movdith_placement_version();
    },
    forget() { last = null; kept = -1; },
    lastSize: () => (last ? [last[1], last[2]] : null),
    // Changes whenever place() gives another placement.
    placementVersion: () => m._movdith_placement_version(),
    // Makes `dib` (a bitmap kept from slot 1 at placement `version`) the
    // preview's picture.
    holdBitmap(dib, version) {
      m.HEAPU8.set(dib, m._movdith_bitmap(0));
      m._movdith_hold_bitmap();
      last = null;
      kept = version;
    },
    begin: (keepGreys) => m._movdith_begin(keepGreys ? 1 : 0) === 1,
    due: (pts) => m._movdith_due(pts),
    position: () => m._movdith_position(),
    clipOver: () => m._movdith_clip_over() === 1,
    finish: (end) => m._movdith_finish(end),
    abandon: () => m._movdith_abandon(),
    greys: (records) => view(m._movdith_greys(), records * GREY_BYTES).slice(),
    // A slot's display bitmap: 96 x 64 blue-green-red, bottom row first, after 40 bytes.
    bitmap: (slot = 0) => view(m._movdith_bitmap(slot), DIB_BYTES),
    preview() {
      const ptr = m._movdith_preview();
      return ptr ? view(ptr, GREY_BYTES) : null;
    },
    // The video file the conversion wrote, or a file given to play.
    output: () => m.FS.readFile('/out.8xx'),
    openVideo(bytes) {
      if (bytes) m.FS.writeFile('/opened.8xx', bytes);
      return m._movdith_open_video(bytes ? 0 : 1);
    },
    videoShades: () => m._movdith_video_shades(),
    videoFrame(index) {
      const ptr = m._movdith_video_frame(index);
      return ptr ? view(ptr, GREY_BYTES) : null;
    },
  };
}
