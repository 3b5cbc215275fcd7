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

// How the steady mode trades faithfulness for steadiness (docs/quality.md
// tells how these were chosen). The held dithering keeps a pixel's previous
// shade unless its value passes the threshold by `margin`, which falls to
// nothing as its source moves `margin_fade` levels from the source it had
// when its shade was last free to change. The search looks for shades from
// those (or, alone, from the previous frame's, moved with the picture); a
// pixel changes, or a level
// moves between neighbours, only where that brings the picture nearer its
// source, both seen through a 1-2-1 blur each way (the eye's view of a
// dithered picture), by more than its hold price: a sum of squared grey
// levels over the blurred pixels, which falls to nothing as the pixel's own
// source changes by `fade` levels (0: never falls).
struct SteadyLevels {
  int hold_price;
  int fade;
  int passes;       // looks over the picture at most; what is left carries over to the next frame
  int later_looks;  // pixels looked at, at most, in each pass after the first
  int restart;      // pixels whose source changed by this many levels start from the mode's own dithering (0: none)
  int sharpen;      // the search draws towards the picture sharpened by this much (hundredths, as --sharpen)
  int margin;       // grey levels by which a pixel's value must pass the threshold to leave its held shade
  int margin_fade;  // the margin falls to nothing as the pixel's source changes by this many levels (0: never)
  int singles;      // whether the search after the held dithering may change a pixel alone (0: only pairs; 1: as alone)
  int pair_apart;   // ... and then a level moves only between pixels whose sources are this close (0: any)
};
// How the steady mode finds a frame's shades: the search alone, the mode's
// own dithering holding shades within a margin, or that followed by the search.
enum class SteadyMethod { search, held, held_then_search };
struct StableTuning {
  SteadyLevels two = {400, 16, 2, kPixels, 0, 100, 56, 48, 0, 16};
  SteadyLevels four = {300, 0, 2, 1000, 40, 0, 20, 24, 0, 16};
  SteadyMethod method = SteadyMethod::held_then_search;
  int restart_percent = 5;  // ... when more than this share of the pixels would
  // A cut: more than cut_percent % of the pixels moved by cut_change grey
  // levels or more since the previous frame. The frame is then the mode's
  // own dithering, and the search starts again from it.
  int cut_change = 24;
  int cut_percent = kCutPercent;
};

// The steady mode's tuning for a dithering mode: the defaults above, with
// the hold made firmer for the kernels whose own pictures flicker less than
// the default kernel's and shorter for the ordered modes (docs/quality.md,
// "Every kernel", tells how each was chosen).
StableTuning stable_tuning(DitherMode mode);

struct DitherOptions {
  DitherMode mode = DitherMode::matrix;
  bool serpentine = false;  // odd rows right to left with the kernel mirrored; diffusion only
  bool stable = false;      // keep still pixels' shades between frames
  StableTuning tuning;      // stable_tuning(mode) for the mode as movdith runs it
};

// What the steady mode remembers between frames. Owned by the caller, one per
// video, zero-initialised (or reset()) before its first frame, after any jump
// in the video and whenever the shades change; dither_frame fills it when
// options.stable is set.
struct DitherHistory {
  GreyBuffer source{};  // the previous frame's dither input
  GreyBuffer shades{};  // the previous frame's output
  GreyBuffer anchor{};  // each pixel's source when its shade was last free to change
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
