// Drawing on the page's screens, pixel-exact at a whole-number scale: the
// 96 x 64 colour picture the pipeline reads, and frames in the shades a
// calculator shows (the video file reader's: black, 85, 170, white, the
// same as vidxview's pictures), and a player for a video at 10 frames a second.
import { HEIGHT, WIDTH } from './core.js';

const DIB_HEADER = 40;
const FRAME_MS = 100;

function blit(canvas, fill) {
  const small = new OffscreenCanvas(WIDTH, HEIGHT);
  const context = small.getContext('2d');
  const image = context.createImageData(WIDTH, HEIGHT);
  fill(image.data);
  context.putImageData(image, 0, 0);
  const big = canvas.getContext('2d');
  big.imageSmoothingEnabled = false;
  big.drawImage(small, 0, 0, canvas.width, canvas.height);
}

// Shades (one byte a pixel, top row first) on `canvas`.
export function drawShades(canvas, shades) {
  blit(canvas, (rgba) => {
    for (let i = 0; i < WIDTH * HEIGHT; ++i) {
      rgba[4 * i] = rgba[4 * i + 1] = rgba[4 * i + 2] = shades[i];
      rgba[4 * i + 3] = 255;
    }
  });
}

// A display bitmap (header, then blue-green-red rows bottom up) on `canvas`.
export function drawBitmap(canvas, dib) {
  blit(canvas, (rgba) => {
    for (let y = 0; y < HEIGHT; ++y) {
      const row = DIB_HEADER + (HEIGHT - 1 - y) * WIDTH * 3;
      for (let x = 0; x < WIDTH; ++x) {
        const i = 4 * (y * WIDTH + x), p = row + 3 * x;
        rgba[i] = dib[p + 2];
        rgba[i + 1] = dib[p + 1];
        rgba[i + 2] = dib[p];
        rgba[i + 3] = 255;
      }
    }
  });
}

export function clear(canvas) {
  canvas.getContext('2d').clearRect(0, 0, canvas.width, canvas.height);
}

// Plays the video the core has open: `frames` records, shown on `canvas`,
// with a play button, a frame slider and its text.
export class Player {
  constructor(core, canvas, playButton, slider, text) {
    Object.assign(this, { core, canvas, playButton, slider, text, frames: 0, timer: null });
    playButton.addEventListener('click', () => (this.timer ? this.pause() : this.play()));
    slider.addEventListener('input', () => { this.pause(); this.show(Number(slider.value)); });
  }

  load(frames) {
    this.pause();
    this.frames = frames;
    this.slider.max = String(Math.max(0, frames - 1));
    this.show(0);
  }

  show(index) {
    const shades = this.frames ? this.core.videoFrame(index) : null;
    if (shades) drawShades(this.canvas, shades);
    this.slider.value = String(index);
    this.text.value = `${index + 1} of ${this.frames} (${(index / 10).toFixed(1)} s)`;
  }

  play() {
    if (!this.frames) return;
    let index = Number(this.slider.value);
    if (index >= this.frames - 1) index = 0;
    const started = performance.now() - index * FRAME_MS;
    this.playButton.textContent = 'Pause';
    const tick = () => {
      const due = Math.floor((performance.now() - started) / FRAME_MS);
      if (due >= this.frames) { this.show(this.frames - 1); this.pause(); return; }
      this.show(due);
      this.timer = setTimeout(tick, FRAME_MS - ((performance.now() - started) % FRAME_MS));
    };
    tick();
  }

  pause() {
    clearTimeout(this.timer);
    this.timer = null;
    this.playButton.textContent = 'Play';
  }
}
