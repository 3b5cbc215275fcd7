// What the steady search weighs besides the blurred error: each pixel's
// price for leaving the shade it held, and the tone of the picture's 8 x 8
// blocks, which the search keeps (see steady_search.h).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "frame/arithmetic.h"
#include "frame/dither_modes.h"
#include "raster.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace steady {

constexpr int32_t kCostScale = 256;        // g and costs carry B's weights twice: 16 x 16
constexpr int32_t kMaxHoldPrice = 100000;  // keeps every cost within 32 bits

// Each pixel's hold price, in the search's cost units: what changing it
// from the shade it held costs. Full where its source stands still, falling
// to nothing as the source changes by `fade` levels (never, for fade 0): a
// shade kept while the picture under it changes has no claim to stay. Kept
// as a price per level of fade still to go, with, in g's units for one step,
// bounds on what a change can win from it: a pixel on its held shade pays at
// least `on` per level, one off it wins at most `off` per level.
struct HoldPrices {
  int fade;        // a source that changed this far holds nothing
  int cap;         // the levels of fade that count: fade, or 1 where nothing fades
  int32_t price;   // per level of fade left
  int32_t on, off;
  int32_t left(int moved) const { return std::clamp(fade - moved, 0, cap); }
  bool fades() const { return fade - kMaxGrey < cap; }  // whether some change leaves less than cap
  int32_t of(int moved) const { return price * left(moved); }
};

template <int Levels>
HoldPrices hold_prices(const SteadyLevels& t) {
  constexpr int kTwoSteps = 2 * kStepOf<Levels>;
  constexpr int kNoFade = 2 * (kMaxGrey + 1);  // beyond any change
  const int32_t price = std::clamp(t.hold_price, 0, kMaxHoldPrice) * kCostScale;
  const int fade = t.fade > 0 ? t.fade : kNoFade;
  const int cap = t.fade > 0 ? t.fade : 1;
  const int32_t per = price / cap;
  return {fade, cap, per, per / kTwoSteps, (per + kTwoSteps - 1) / kTwoSteps};
}

// The tone the search keeps: the picture in blocks of 8 x 8, each with its
// error, the sum of shade - source over its pixels. A sparse pattern of dots
// is how error diffusion draws a light or a dark grey, and the blurred error
// alone does not pay for it: one dot on a 3 x 3 blur is too large a step, so
// the search would wipe the dots out of a grey near white or black, and
// leave the dots of a moving object behind it. So a block that ends a
// frame more than kForceQuarters quarters of a step off is brought back
// within half a step by the changes that cost least. (Barring every change
// that takes a block further off cost the pans and the zoom a tenth of
// their 4-level structure: patterns have to cross blocks.)
constexpr int kBlockSide = 8;
constexpr int kBlocksAcross = kWidth / kBlockSide;
constexpr int kBlocks = kBlocksAcross * (kHeight / kBlockSide);
constexpr int kForceQuarters = 4;
constexpr int block_of(int x, int y) { return y / kBlockSide * kBlocksAcross + x / kBlockSide; }
using BlockErrors = std::array<int32_t, kBlocks>;

// Each block's error, from its rows of kBlockSide pixels: with SSE2 two
// blocks' rows at a time, each summed by one sum of absolute differences
// from zero.
inline void block_errors(const GreyBuffer& shades, const GreyBuffer& source, BlockErrors& errors) {
  errors.fill(0);
#if defined(__SSE2__)
  constexpr int kPairWidth = 2 * kBlockSide;
  static_assert(kBlockSide == 8 && kWidth % kPairWidth == 0);
  constexpr int kUpperSum = 4;  // the 16-bit lane that holds the second block's sum
  const __m128i zero = _mm_setzero_si128();
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; x += kPairWidth) {
      const int i = y * kWidth + x, b = block_of(x, y);
      const __m128i a = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&shades[i])), zero);
      const __m128i c = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&source[i])), zero);
      errors[b] += _mm_cvtsi128_si32(a) - _mm_cvtsi128_si32(c);
      errors[b + 1] += _mm_extract_epi16(a, kUpperSum) - _mm_extract_epi16(c, kUpperSum);
    }
#else
  for (int y = 0; y < kHeight; ++y)
    for (int bx = 0; bx < kBlocksAcross; ++bx) {
      const int i0 = y * kWidth + bx * kBlockSide;
      int32_t sum = 0;
      for (int k = 0; k < kBlockSide; ++k) sum += shades[i0 + k] - source[i0 + k];
      errors[block_of(bx * kBlockSide, y)] += sum;
    }
#endif
}

}  // namespace steady
