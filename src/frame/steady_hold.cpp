// The steady mode's held shades (see steady.h): what the mode's own
// dithering needs to keep each pixel's previous shade within a margin, and
// what the next frame needs to know of this one.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#include "frame/motion.h"
#include "frame/shade_bounds.h"
#include "frame/steady.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The margin left to a pixel whose source moved `moved` levels from its
// anchor: all of it, falling to nothing at `fade` (0: never falls).
using MarginTable = std::array<uint8_t, kMaxGrey + 1>;
MarginTable margin_table(const SteadyLevels& t) {
  const int margin = std::clamp(t.margin, 0, kMaxGrey), fade = t.margin_fade;
  MarginTable table;
  for (int moved = 0; moved <= kMaxGrey; ++moved)
    table[moved] = static_cast<uint8_t>(fade > 0 ? margin * std::max(fade - moved, 0) / fade : margin);
  return table;
}

// Each pixel's margin, margins[|source - anchor|]. With SSE2 sixteen pixels
// to a vector where the table follows its rule, margin x (fade - moved) /
// fade for 0 < fade <= 255 (margin_table), and a high multiply and a shift
// divide every product in it exactly: then in 16-bit lanes, where a table is
// read one pixel at a time.
void margins_of(const GreyBuffer& source, const GreyBuffer& anchor, const SteadyLevels& t, const MarginTable& margins,
                GreyBuffer& out) {
#if defined(__SSE2__)
  constexpr int kHalfShift = 16;  // _mm_mulhi_epu16 keeps the upper 16 bits of each product
  const int margin = std::clamp(t.margin, 0, kMaxGrey), fade = t.margin_fade;
  int multiplier = 0, shift = 0;
  for (int s = 0; fade > 0 && fade <= kMaxGrey && multiplier == 0 && s < kHalfShift; ++s) {
    const int m = ((1 << (kHalfShift + s)) + fade - 1) / fade;
    if (m > UINT16_MAX) break;
    bool exact = true;
    for (int r = 0; r <= fade && exact; ++r) exact = (int64_t{margin} * r * m) >> (kHalfShift + s) == margin * r / fade;
    if (exact) multiplier = m, shift = s;
  }
  if (multiplier != 0) {
    const __m128i zero = _mm_setzero_si128(), fades = _mm_set1_epi8(static_cast<char>(fade));
    const __m128i by = _mm_set1_epi16(static_cast<int16_t>(margin)),
                  mul = _mm_set1_epi16(static_cast<int16_t>(multiplier)), sh = _mm_cvtsi32_si128(shift);
    const auto quotient = [&](__m128i r) { return _mm_srl_epi16(_mm_mulhi_epu16(_mm_mullo_epi16(r, by), mul), sh); };
    static_assert(kPixels % sizeof(__m128i) == 0);
    for (int i = 0; i < kPixels; i += sizeof(__m128i)) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&source[i]));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&anchor[i]));
      const __m128i moved = _mm_sub_epi8(_mm_max_epu8(a, b), _mm_min_epu8(a, b));
      const __m128i left = _mm_sub_epi8(fades, _mm_min_epu8(moved, fades));
      const __m128i q = _mm_packus_epi16(quotient(_mm_unpacklo_epi8(left, zero)), quotient(_mm_unpackhi_epi8(left, zero)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(&out[i]), q);
    }
    return;
  }
#else
  (void)t;
#endif
  for (int i = 0; i < kPixels; ++i) out[i] = margins[std::abs(source[i] - anchor[i])];
}

template <int Levels>
void hold_levels(const GreyBuffer& source, const SteadyLevels& t, const SteadyStart& start,
                 const DitherHistory& history, bool screen_fixed, SteadyHold& hold) {
  const bool shift = !screen_fixed && (start.dx != 0 || start.dy != 0);
  hold.held = history.shades;
  hold.anchor = history.anchor;
  if (shift) {
    // Each pixel follows the move where the moved picture matches its source
    // better than the unmoved one: a flat ground a small object crosses
    // keeps its pattern where it is.
    GreyBuffer moved_shades, moved_source, moved_anchor;
    move_picture(history.shades, start.dx, start.dy, moved_shades);
    move_picture(history.source, start.dx, start.dy, moved_source);
    move_picture(history.anchor, start.dx, start.dy, moved_anchor);
    // In bytes and without a branch, sixteen pixels to a vector.
    const auto apart = [](uint8_t a, uint8_t b) { return static_cast<uint8_t>(std::max(a, b) - std::min(a, b)); };
    for (int i = 0; i < kPixels; ++i) {
      const bool follows = apart(source[i], moved_source[i]) < apart(source[i], history.source[i]);
      hold.held[i] = follows ? moved_shades[i] : hold.held[i];
      hold.anchor[i] = follows ? moved_anchor[i] : hold.anchor[i];
    }
  }
  LevelBounds bounds;
  level_bounds<Levels>(source, bounds);
  hold.lowest = bounds.lowest;
  hold.highest = bounds.highest;
  margins_of(source, hold.anchor, t, margin_table(t), hold.margin);
}

}  // namespace

void steady_hold(const GreyBuffer& source, Shades shades, const StableTuning& tuning, const SteadyStart& start,
                 const DitherHistory& history, bool screen_fixed, SteadyHold& hold) {
  if (shades == Shades::two) hold_levels<2>(source, tuning.two, start, history, screen_fixed, hold);
  else hold_levels<4>(source, tuning.four, start, history, screen_fixed, hold);
}

void steady_remember(const GreyBuffer& source, const SteadyHold* hold, DitherHistory& history,
                     const GreyBuffer& out) {
  // A pixel whose shade changed, or that was free to, is anchored afresh.
  for (int i = 0; i < kPixels; ++i)
    history.anchor[i] = !hold || hold->margin[i] == 0 || out[i] != hold->held[i] ? source[i] : hold->anchor[i];
  history.source = source;
  history.shades = out;
  history.primed = true;
}
