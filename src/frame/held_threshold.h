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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
#if defined(__SSE2__)
    // threshold() in SSE2, in 16-bit lanes: the bounds' pins last (a pixel
    // whose lowest shade is white has a white highest one too).
    constexpr int kBytes = sizeof(__m128i), kHalf = kBytes / 2;
    static_assert(kPixels % kBytes == 0);
    const __m128i zero = _mm_setzero_si128(), middle = _mm_set1_epi16(kMonoThreshold),
                  never = _mm_set1_epi16(kNeverReached);
    const auto load = [](const GreyBuffer& b, int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(&b[i])); };
    for (int i = 0; i < kPixels; i += kBytes) {
      const __m128i margin = load(h.margin, i);
      const __m128i black = _mm_cmpeq_epi8(load(h.held, i), zero), free_below = _mm_cmpeq_epi8(load(h.lowest, i), zero),
                    pinned_black = _mm_cmpeq_epi8(load(h.highest, i), zero);
      const auto half = [&](auto unpack, int at_i) {
        const __m128i m = unpack(margin, zero), b = unpack(black, black), pb = unpack(pinned_black, pinned_black);
        __m128i t = _mm_or_si128(_mm_and_si128(b, _mm_add_epi16(middle, m)), _mm_andnot_si128(b, _mm_sub_epi16(middle, m)));
        t = _mm_or_si128(_mm_and_si128(pb, never), _mm_andnot_si128(pb, t));
        t = _mm_and_si128(unpack(free_below, free_below), t);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&at[at_i]), t);
      };
      half([](__m128i a, __m128i b) { return _mm_unpacklo_epi8(a, b); }, i);
      half([](__m128i a, __m128i b) { return _mm_unpackhi_epi8(a, b); }, i + kHalf);
    }
#else
    for (int i = 0; i < kPixels; ++i)
      at[i] = static_cast<int16_t>(threshold(h.held[i], h.margin[i], h.lowest[i], h.highest[i]));
#endif
  }
  template <class Level>
  int operator()(int i, int v, Level) const {
    return v >= at[i] ? kMaxGrey : 0;
  }
};

}  // namespace held
