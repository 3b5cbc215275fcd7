// The result: the video made (or a .8xx opened to play) in the player, its
// size, and its download, brought into view with the focus on it.
import { WORDS, bringIntoView, say } from './messages.js';
import { $, framesText, state } from './state.js';

export function showResult(bytes, converted) {
  const frames = state.core.openVideo(converted ? null : bytes);
  if (frames < 0) {
    say(WORDS.notAVideo(state.core.message()), $('drop'));
    return;
  }
  if (state.resultUrl) URL.revokeObjectURL(state.resultUrl);
  state.result = converted ? new Blob([bytes], { type: 'application/octet-stream' }) : null;
  state.resultUrl = null;
  const shades = state.core.videoShades() === 4 ? 'four shades' : 'black and white';
  $('download').hidden = !converted;
  $('video-info').textContent = `${converted ? downloadName() + ': ' : ''}${bytes.length.toLocaleString('en')} bytes, ` +
    `${framesText(frames)}, ${(frames / 10).toFixed(1)} s, ${shades}`;
  $('player').hidden = false;
  state.player.load(frames);
  // The result is where the user goes next: in view, and the focus on it.
  $('player').scrollIntoView({ block: 'nearest' });
  bringIntoView($('player-title'), $('video-info'));
  (converted ? $('download') : $('play')).focus();
}

// Another movie opened: the video made from the last one (or the one
// opened to play) goes, so that Download never gives it under the new
// movie's name.
export function forgetResult() {
  state.player.pause();
  $('player').hidden = true;
  if (state.resultUrl) URL.revokeObjectURL(state.resultUrl);
  state.result = null;
  state.resultUrl = null;
}

function downloadName() {
  return (state.file ? state.file.name.replace(/\.[^.]*$/, '') : 'movie') + '.8xx';
}

export function download() {
  if (!state.result) return;
  state.resultUrl = state.resultUrl || URL.createObjectURL(state.result);
  const link = document.createElement('a');
  link.href = state.resultUrl;
  link.download = downloadName();
  document.body.append(link);
  link.click();
  link.remove();
}

export async function openVideoFile(file) {
  say('');
  try {
    const bytes = new Uint8Array(await file.arrayBuffer());
    state.result = null;
    showResult(bytes, false);
  } catch {
    say(WORDS.videoUnread, $('drop'));
  }
}
