// The steady mode's held choice, worked out for every pixel before the
// error-diffusion row loop (many pixels to a vector) rather than in it: in
// two levels as one threshold per pixel (the pixel is white where its value
// reaches it: the quantiser's moved by the margin away from the held shade,
// or pinned by its bounds), in four as a window of values that keep the held
// shade. The tests check both against the rule itself (held_shade) for
// every held shade, bounds, margin and value (threshold_follows,
// window_follows).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "frame/arithmetic.h"
#include "frame/quantiser.h"
#include "frame/steady.h"
#include "raster.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The held shade's rule for a value v, a held shade p, a margin m and the
// pixel's bounds lo..hi. One rounding of the value moved towards the held
// shade, rather than a branch between two, keeps the row loop free of a jump
// per pixel.
template <class Level>
constexpr int held_shade(int v, int p, int m, int lo, int hi, Level level) {
  const int q = level(v);
  const int keep = level(v + (p > q ? m : -m));
  return std::clamp(keep == p ? p : q, lo, hi);
}

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
  // As a mask, not a choice: the compiler makes `?:` a branch here, which a
  // dithered picture's shades leave to chance (the pans, the zoom and the
  // zone plate measured 4-8 % faster, a still 12 % slower).
  template <class Level>
  int operator()(int i, int v, Level) const {
    return kMaxGrey & -int{v >= at[i]};
  }
};

// In four levels, for margins up to a step: the held shade p is kept where
// the value lies in p's own range widened by the margin either way,
// [p + kGreyThreshold1 - step - m, p + kGreyThreshold1 + m), elsewhere the
// quantiser's level, both within the bounds. The tests check it against the
// rule (window_follows). The window's start and width are worked out for
// every pixel before the row loop, eight to a vector.
constexpr int kGreyStep = kStepOf<4>;
constexpr int kWindowMarginLimit = kGreyStep;
constexpr int window_start(int p, int m) { return p + kGreyThreshold1 - kGreyStep - m; }
constexpr int window_width(int m) { return kGreyStep + 2 * m; }
constexpr bool in_window(int v, int p, int m) {
  return static_cast<unsigned>(v - window_start(p, m)) < static_cast<unsigned>(window_width(m));
}

template <class Rule, class Level>
constexpr bool window_follows(Rule rule, Level level, int p) {
  for (int m = 0; m <= kWindowMarginLimit; ++m)
    for (int v = 0; v <= kMaxGrey; ++v)
      if ((in_window(v, p, m) ? p : level(v)) != rule(v, p, m)) return false;
  return true;
}

struct HeldWindows {
  const SteadyHold& h;
  std::array<int16_t, kPixels> start;
  std::array<uint16_t, kPixels> width;

  static bool fits(const SteadyHold& hold) {
    uint8_t most = 0;
    for (int i = 0; i < kPixels; ++i) most = std::max(most, hold.margin[i]);
    return most <= kWindowMarginLimit;
  }

  explicit HeldWindows(const SteadyHold& hold) : h(hold) {
    for (int i = 0; i < kPixels; ++i) {
      start[i] = static_cast<int16_t>(window_start(hold.held[i], hold.margin[i]));
      width[i] = static_cast<uint16_t>(window_width(hold.margin[i]));
    }
  }

  // A choice, which the compiler makes a branch: unlike two levels' (see
  // HeldThresholds), most values fall in the window, and a mask measured
  // slower.
  template <class Level>
  int operator()(int i, int v, Level level) const {
    const int q = level(v);
    const int kept = static_cast<unsigned>(v - start[i]) < width[i] ? h.held[i] : q;
    return std::clamp(kept, int{h.lowest[i]}, int{h.highest[i]});
  }
};

}  // namespace held
