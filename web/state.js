// What the page holds while it runs, shared by its modules: the core, the
// settings form, the movie open, the preview's and the conversion's jobs,
// and the result. Nothing here acts; the modules that act read and set it.
export const state = {
  core: null, form: null, file: null, source: null, durationMs: 0, endTicks: 0, plan: null,
  previewJob: null, previewRun: null, convertJob: null, result: null, resultUrl: null, greys: null, records: 0,
  player: null,
};

export const $ = (id) => document.getElementById(id);

// "1 frame", "30 frames", "1,200 frames".
export function framesText(n) {
  return `${n.toLocaleString('en')} frame${n === 1 ? '' : 's'}`;
}

// m:ss.s, as the page shows positions and clips.
export function timeText(ms) {
  const s = Math.max(0, ms) / 1000;
  const m = Math.floor(s / 60);
  return `${m}:${(s - m * 60).toFixed(1).padStart(4, '0')}`;
}
