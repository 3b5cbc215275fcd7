// The dithering choices beyond the default 3 x 3 kernel: named error-diffusion
// kernels, serpentine scanning, ordered dithering with a Bayer or a
// blue-noise mask, and a steady mode for video that keeps still pixels'
// shades from frame to frame. Every mode gives 2 or 4 levels.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "frame/frame.h"
#include "frame/tone.h"
#include "raster.h"

// How the steady mode trades faithfulness for steadiness. Each frame starts
// from the previous frame's shades, and a pixel changes only where that brings
// the picture nearer its source, both seen through a 1-2-1 blur each way (the
// eye's view of a dithered picture), by more than the flip cost: a sum of
// squared grey levels over the blurred pixels; the costs were chosen on the
// quality movies (docs/quality.md). A pixel only ever takes a level within one
// step of its source value, as error diffusion does, so that 4-level grey
// areas are drawn with the two levels around them.
// When more than `cut_percent` % of the pixels moved by `cut_change` grey
// levels or more since the previous frame (a new scene, or fast movement),
// the frame starts from the mode's own dithering instead.
struct StableTuning {
  int flip_cost = 400;       // 2 levels
  int grey_flip_cost = 250;  // 4 levels
  int cut_change = kCutChange;
  int cut_percent = kCutPercent;
};

struct DitherOptions {
  DitherMode mode = DitherMode::matrix;
  bool serpentine = false;  // odd rows right to left with the kernel mirrored; diffusion only
  bool stable = false;      // keep still pixels' shades between frames
  StableTuning tuning;
};

// What the steady mode remembers between frames. Owned by the caller, one per
// video, zero-initialised (or reset()) before its first frame, after any jump
// in the video and whenever the shades change; dither_frame fills it when
// options.stable is set.
struct DitherHistory {
  GreyBuffer source{};  // the previous frame's dither input
  GreyBuffer shades{};  // the previous frame's output
  bool primed = false;  // false until a frame has been dithered
  void reset() { primed = false; }
};

// Quantises graybuf (the frame after sampling and tone reduction; not
// modified) into ditherbuf, in two or four shades.
// `matrix` is used by DitherMode::matrix only; with that mode, no serpentine
// and no stable the output is exactly dither()'s. No allocation.
void dither_frame(const GreyBuffer& graybuf, Shades shades, const Kernel& matrix,
                  const DitherOptions& options, DitherHistory& history, GreyBuffer& ditherbuf);

// --- The named kernels, for tests and documentation -------------------------

// One neighbour that receives share / divisor of a pixel's error, at dx
// columns along the scan and dy rows down.
struct DiffusionTap {
  int dx, dy, share;
};
struct DiffusionKernel {
  std::span<const DiffusionTap> taps;  // in the order their shares are rounded
  int divisor = 0;                     // 0: not a named diffusion kernel
};

// A named kernel's published taps and divisor; no taps and divisor 0 for
// matrix (whose kernel comes from the settings) and the ordered modes.
DiffusionKernel diffusion_kernel(DitherMode mode);

// The error a named kernel puts on each neighbour, dy rows down and dx
// columns to the right (-2 to 2), for one pixel's error `err` (-255..255):
// what the dithering loop adds. Mirrored, as on a serpentine scan's odd
// rows, every tap's dx changes sign. Shares are
// rounded to nearest (halves away from zero) on the running total, so they
// add up to err x (sum of shares) / divisor rounded, and an error of -1, 0
// or 1 (a pixel one level off a display level, such as sampling's white,
// 254) is dropped. Zero everywhere for other modes.
using ErrorSpread = std::array<std::array<int, 5>, 3>;  // [dy][dx + 2]
ErrorSpread spread_of_error(DitherMode mode, int err, bool mirrored);
