// The shades a pixel may take in the steady mode, from its source grey:
// those the plain quantiser could give it with any error its neighbours
// might pass it (quantiser.h), so that a grey area is drawn with the two
// levels around it and never with black beside white, which the blurred
// error barely tells apart but the eye does, and so that a grey at a
// display level (black, white, the four levels' greys) keeps that level
// alone: solids stay solid whatever the steady mode would gain.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "frame/arithmetic.h"
#include "frame/quantiser.h"
#include "raster.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

struct LevelBounds {
  GreyBuffer lowest, highest;
};

// The quantiser's level for v + offset, as a count of the thresholds v
// passes, each moved down by offset and compared in bytes (a threshold
// beyond 0..255 passed by every value or by none): a loop of it runs sixteen
// pixels to a vector where a table would be read one pixel at a time.
template <int Levels, int Offset>
constexpr uint8_t shade_at(uint8_t v) {
  constexpr uint8_t kStep = kStepOf<Levels>;
  // A step where v passes the threshold, in bytes.
  constexpr auto step_past = [](uint8_t u, int threshold) -> uint8_t {
    const int t = threshold - Offset;
    return t <= 0 ? kStep : t > kMaxGrey ? 0 : u >= static_cast<uint8_t>(t) ? kStep : 0;
  };
  if constexpr (Levels == 2) {
    return step_past(v, kMonoThreshold);
  } else {
    return static_cast<uint8_t>(step_past(v, kGreyThreshold1) + step_past(v, kGreyThreshold2) +
                                step_past(v, kGreyThreshold3));
  }
}

template <int Levels>
constexpr bool shade_at_is_exact() {
  for (int v = 0; v <= kMaxGrey; ++v) {
    const auto u = static_cast<uint8_t>(v);
    if (shade_at<Levels, kQuantiserErrors<Levels>.least>(u) != darkest_shade<Levels>(v) ||
        shade_at<Levels, kQuantiserErrors<Levels>.most>(u) != lightest_shade<Levels>(v))
      return false;
  }
  return true;
}
static_assert(shade_at_is_exact<2>() && shade_at_is_exact<4>());

template <int Levels>
constexpr std::array<uint8_t, kMaxGrey + 1> shade_table(bool lightest) {
  std::array<uint8_t, kMaxGrey + 1> t{};
  for (int v = 0; v <= kMaxGrey; ++v)
    t[v] = static_cast<uint8_t>(lightest ? lightest_shade<Levels>(v) : darkest_shade<Levels>(v));
  return t;
}

// Each pixel's range, for a source picture: in two levels by shade_at, which
// the compiler vectorises; in four by shade_at written out in SSE2 (the
// compiler's own vectorising of its three thresholds measured more
// instructions than tables), else from tables.
template <int Levels>
void level_bounds(const GreyBuffer& source, LevelBounds& b) {
  if constexpr (Levels == 2) {
    for (int i = 0; i < kPixels; ++i) {
      b.lowest[i] = shade_at<Levels, kQuantiserErrors<Levels>.least>(source[i]);
      b.highest[i] = shade_at<Levels, kQuantiserErrors<Levels>.most>(source[i]);
    }
  } else {
#if defined(__SSE2__)
    // shade_at written out in SSE2, sixteen pixels to a vector: a step
    // added where the value reaches each threshold (the larger of the two
    // is the value).
    const auto shade = []<int Offset>(std::integral_constant<int, Offset>, __m128i u) {
      const __m128i step = _mm_set1_epi8(static_cast<char>(kStepOf<Levels>));
      __m128i sum = _mm_setzero_si128();
      for (const int threshold : {kGreyThreshold1, kGreyThreshold2, kGreyThreshold3}) {
        const int t = threshold - Offset;
        if (t <= 0) sum = _mm_add_epi8(sum, step);
        else if (t <= kMaxGrey)
          sum = _mm_add_epi8(sum, _mm_and_si128(step, _mm_cmpeq_epi8(_mm_max_epu8(u, _mm_set1_epi8(static_cast<char>(t))), u)));
      }
      return sum;
    };
    static_assert(kPixels % sizeof(__m128i) == 0);
    for (int i = 0; i < kPixels; i += sizeof(__m128i)) {
      const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&source[i]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(&b.lowest[i]),
                       shade(std::integral_constant<int, kQuantiserErrors<Levels>.least>{}, u));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(&b.highest[i]),
                       shade(std::integral_constant<int, kQuantiserErrors<Levels>.most>{}, u));
    }
#else
    static constexpr auto kDarkest = shade_table<Levels>(false), kLightest = shade_table<Levels>(true);
    for (int i = 0; i < kPixels; ++i) {
      b.lowest[i] = kDarkest[source[i]];
      b.highest[i] = kLightest[source[i]];
    }
#endif
  }
}
