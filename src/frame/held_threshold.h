// The steady mode's held choice in two levels as one threshold per pixel,
// worked out for every pixel before the error-diffusion row loop (sixteen to
// a vector) rather than in it: the pixel is white where its value reaches
// its own threshold, the quantiser's moved by the margin away from the held
// shade, or pinned by its bounds. dither_modes.cpp checks it against the
// held choice's rule at compile time (threshold_follows).
#pragma once

#include <array>
#include <cstdint>

#include "frame/arithmetic.h"
#include "frame/quantiser.h"
#include "frame/steady.h"
#include "raster.h"

namespace held {

constexpr int kNeverReached = kMaxGrey + 1;  // a threshold no value reaches

// The threshold of a pixel that held shade p with margin m, its bounds lo..hi.
constexpr int threshold(int p, int m, int lo, int hi) {
  return lo != 0 ? 0 : hi == 0 ? kNeverReached : p != 0 ? kMonoThreshold - m : kMonoThreshold + m;
}

// Whether the threshold gives what rule(v, p, m, lo, hi) gives for held
// shade p and bounds lo..hi, every margin and every value.
template <class Rule>
constexpr bool threshold_follows(Rule rule, int p, int lo, int hi) {
  for (int m = 0; m <= kMaxGrey; ++m) {
    const int t = threshold(p, m, lo, hi);
    for (int v = 0; v <= kMaxGrey; ++v)
      if ((v >= t ? kMaxGrey : 0) != rule(v, p, m, lo, hi)) return false;
  }
  return true;
}

// The row loops' choice (as dither_modes.cpp's HeldChoice) from the thresholds.
struct HeldThresholds {
  std::array<int16_t, kPixels> at;
  explicit HeldThresholds(const SteadyHold& h) {
    for (int i = 0; i < kPixels; ++i)
      at[i] = static_cast<int16_t>(threshold(h.held[i], h.margin[i], h.lowest[i], h.highest[i]));
  }
  template <class Level>
  int operator()(int i, int v, Level) const {
    return v >= at[i] ? kMaxGrey : 0;
  }
};

}  // namespace held
