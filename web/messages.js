// The page's messages: one alert, shown beside whatever the user just did
// (the movie opened, the settings, Convert, the video played) and brought
// into the window, and the words it says, written for a student: what went
// wrong and what to do, never a decoder's own words.

import { framesText } from './state.js';

const COMMAND = 'movdith movie.mp4 movie.8xx --engine=builtin';

export const WORDS = {
  notAMovie: 'This file is not a movie this browser can read. If it is a movie, convert it with the command line ' +
    `(${COMMAND}), or re-encode it to H.264 MP4 first.`,
  picture: 'This file is a picture, not a movie. Open a movie file (MP4, MOV or WebM, for example).',
  text: 'This file is text, not a movie. Open a movie file (MP4, MOV or WebM, for example).',
  soundOnly: 'This file has no picture to convert: it holds sound only, or no video track.',
  hevc: 'This movie is HEVC (H.265), as phones record, and this browser cannot decode HEVC on this computer. ' +
    `Convert it with the command line (${COMMAND}), or re-encode it to H.264 first.`,
  codec: (codec) => `This browser cannot decode this movie's video (${codec}). ` +
    `Convert it with the command line (${COMMAND}), or re-encode it to H.264 first.`,
  thin: 'This picture is too thin to keep a row or column at 96 × 64: choose "fill the screen" or "stretch" ' +
    'under Picture shape.',
  noWasm: 'This browser could not start the converter (its WebAssembly did not load). Open the page in a recent ' +
    `Chrome, Edge, Firefox or Safari, or use the command line (${COMMAND}).`,
  // A setting the command line refuses, by its words and flag, with what it takes.
  setting: (about, takes) => `"${about.label}" (${about.flag}) takes ${takes}. Change it, or choose a preset.`,
  // The command line's own line, then what to do about it.
  settings: (line) => `movdith does not take these settings: ${line.replace(/^error /, '')}. ` +
    'Change the setting, or choose a preset.',
  refused: (line) => `${line}. Move the clip's start before the end of the movie (or press Whole movie), ` +
    'then convert.',
  endBeforeStart: 'The end must come after the clip\'s start: move the position later, then press End here.',
  brokenOff: (at) => `This movie breaks off at ${at}: the file is damaged or was not copied whole. ` +
    'The part before it can be converted.',
  damaged: (at, frames) => `The movie breaks off at ${at}: the file is damaged or was not copied whole. ` +
    `The ${framesText(frames)} before it were converted; to have the rest, copy or download the movie again.`,
  unreadable: 'The movie could not be read here. Try converting it again; if it fails again, re-encode it to ' +
    `H.264 MP4, or convert it with the command line (${COMMAND}).`,
  stopped: 'The conversion stopped: the movie could not be decoded past this point. Re-encode it to H.264 MP4, ' +
    `or convert it with the command line (${COMMAND}).`,
  full: 'The conversion stopped: this browser tab ran out of memory. Convert a shorter clip, or use the command ' +
    `line (${COMMAND}).`,
  preview: 'This position of the movie could not be shown. Try another position, or convert the movie as it is.',
  notAVideo: (why) => `This file cannot be played: ${why}. Choose a video movdith made (its name ends in .8xx), ` +
    'or open a movie with "Open a movie…" to convert it.',
  videoUnread: 'This video file could not be read. Open it again.',
};

const alert = () => document.getElementById('error');

// Shows `text` in the alert just after `near` (an element the user acted
// on, or its section) and scrolls it into the window; an empty text hides it.
export function say(text, near) {
  const box = alert();
  if (!text) {
    box.hidden = true;
    box.textContent = '';
    return;
  }
  if (near && box.previousElementSibling !== near) near.after(box);
  window.movdithSay(box, text);  // check.js's, which ran before any module
  box.hidden = false;
  bringIntoView(box, box);
}

// Hides the alert if it is the one shown beside `near`.
export function unsay(near) {
  if (alert().previousElementSibling === near) say('');
}

// Scrolls so that `first` to `last` are in the window, when they fit in it;
// otherwise `first` at the top. In a column that scrolls on its own (the
// wide window's way through, in a short window) the column is scrolled
// first, the window then.
export function bringIntoView(first, last) {
  const column = first.closest('.work');
  if (column && column.scrollHeight > column.clientHeight) {
    const r = column.getBoundingClientRect();
    column.scrollTop += scrollNeeded(first, last, r.top, r.bottom);
  }
  scrollBy({ top: scrollNeeded(first, last, 0, innerHeight), behavior: 'instant' });
}

// How far to scroll for `first` to `last` to lie between `low` and `high`.
function scrollNeeded(first, last, low, high) {
  const top = first.getBoundingClientRect().top;
  const bottom = last.getBoundingClientRect().bottom;
  const margin = 8;
  if (top >= low && bottom <= high) return 0;
  if (bottom - top + 2 * margin > high - low) return top - low - margin;
  return top < low ? top - low - margin : bottom - high + margin;
}
