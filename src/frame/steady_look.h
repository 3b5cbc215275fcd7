// The steady search's first look (see steady_search.h): which pixels of a
// frame may gain from a change, marked a row at a time from the two sums
// every bound is made of, fall = g + down and rise = up - g. A pixel may
// gain alone where fall or rise passes half its own weight in steps, and a
// level moving between it and a neighbour where fall on one side and rise
// on the other pass the pair's bar: 12 steps beside, 20 across a corner. A
// pair in a row marks both pixels, a pair across rows the pixel above
// (whose look weighs the move both ways).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "frame/arithmetic.h"
#include "frame/steady_field.h"
#include "raster.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace steady {

template <int Levels>
constexpr int32_t kAloneBarOf = kSelfWeight / 2 * kStepOf<Levels>;
template <int Levels>
constexpr int32_t kRowBarOf = 12 * kStepOf<Levels>;
template <int Levels>
constexpr int32_t kCornerBarOf = 20 * kStepOf<Levels>;

// Marks row y's pixels that may gain, every test in one loop that the
// compiler vectorises four pixels at a time.
template <int Levels>
void look_row(int y, const Field& fall, const Field& rise, PictureBits& look) {
  constexpr int32_t kRow = kRowBarOf<Levels>, kCorner = kCornerBarOf<Levels>, kAlone = kAloneBarOf<Levels>;
  const int f0 = field_index(0, y);
  // Whether a level moving between the pixels at a and b, either way, may pay.
  const auto pays = [&](int a, int b, int32_t bar) {
    return int{fall[a] + rise[b] > bar} | int{rise[a] + fall[b] > bar};
  };
  std::array<uint8_t, kWidth> worth;
  for (int x = 0; x < kWidth; ++x) {
    const int f = f0 + x;
    // The cell left of the picture is kOutside, so its pair never pays.
    worth[x] = static_cast<uint8_t>(int{fall[f] > kAlone} | int{rise[f] > kAlone} | pays(f, f + 1, kRow) |
                                    pays(f - 1, f, kRow) | pays(f, f + kW, kRow) | pays(f, f + kW + 1, kCorner) |
                                    pays(f, f + kW - 1, kCorner));
  }
  for (int x = 0; x < kWidth; x += kByteBits) {
    uint64_t eight;
    std::memcpy(&eight, &worth[x], sizeof eight);
    or_bits(look[y + kLookReach], (eight * kGatherBits) >> kGatherShift, x + kTwiceReach);
  }
}

#if defined(__SSE2__)
// fall and rise in 16 bits, saturated: a kOutside cell becomes -32768, and
// every other cell is exact where the row's cells fit 16 bits. A sum of two
// saturated then is above a bar (under 32767) just when the exact sum is.
using Narrow = std::array<int16_t, kFieldCells>;
constexpr int kNarrowLanes = sizeof(__m128i) / sizeof(int16_t);

inline void narrow(const Field& wide, Narrow& n) {
  constexpr int kWideLanes = sizeof(__m128i) / sizeof(int32_t);
  static_assert(kFieldCells % kNarrowLanes == 0 && kCornerBarOf<2> < INT16_MAX);
  for (int f = 0; f < kFieldCells; f += kNarrowLanes) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&wide[f]));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&wide[f + kWideLanes]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&n[f]), _mm_packs_epi32(a, b));
  }
}

// look_row on the 16-bit fields, for a row whose cells and the next row's
// fit 16 bits: eight pixels to a vector.
template <int Levels>
void look_row_narrow(int y, const Narrow& fall, const Narrow& rise, PictureBits& look) {
  const __m128i alone_bar = _mm_set1_epi16(kAloneBarOf<Levels>), row_bar = _mm_set1_epi16(kRowBarOf<Levels>),
                corner_bar = _mm_set1_epi16(kCornerBarOf<Levels>);
  const auto at = [](const Narrow& a, int f) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(&a[f])); };
  for (int x = 0; x < kWidth; x += kNarrowLanes) {
    const int f = field_index(x, y);
    const __m128i fa = at(fall, f), ra = at(rise, f);
    const auto pays = [&](__m128i f1, __m128i r1, __m128i f2, __m128i r2, __m128i bar) {
      return _mm_or_si128(_mm_cmpgt_epi16(_mm_adds_epi16(f1, r2), bar), _mm_cmpgt_epi16(_mm_adds_epi16(r1, f2), bar));
    };
    const auto pays_with = [&](int g, __m128i bar) { return pays(fa, ra, at(fall, g), at(rise, g), bar); };
    __m128i worth = _mm_or_si128(_mm_cmpgt_epi16(fa, alone_bar), _mm_cmpgt_epi16(ra, alone_bar));
    worth = _mm_or_si128(worth, pays_with(f + 1, row_bar));
    worth = _mm_or_si128(worth, pays(at(fall, f - 1), at(rise, f - 1), fa, ra, row_bar));
    worth = _mm_or_si128(worth, pays_with(f + kW, row_bar));
    worth = _mm_or_si128(worth, pays_with(f + kW + 1, corner_bar));
    worth = _mm_or_si128(worth, pays_with(f + kW - 1, corner_bar));
    const auto bits = static_cast<uint64_t>(_mm_movemask_epi8(_mm_packs_epi16(worth, _mm_setzero_si128())));
    or_bits(look[y + kLookReach], bits, x + kTwiceReach);
  }
}
#endif

}  // namespace steady
