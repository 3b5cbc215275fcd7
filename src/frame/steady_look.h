// The steady search's first look (see steady_search.h): which pixels of a
// frame may gain from a change, marked a row at a time from the two sums
// every bound is made of, fall = g + down and rise = up - g. A pixel may
// gain alone where fall or rise passes half its own weight in steps, and a
// level moving between it and a neighbour where fall on one side and rise
// on the other pass the pair's bar: 12 steps beside, 20 across a corner. A
// pair in a row marks both pixels, a pair across rows the pixel above
// (whose look weighs the move both ways). Where the search moves levels
// only between pixels of like source, a pair of unlike ones marks nothing,
// and where no pixel may change alone, neither does its own bar.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
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

// The source with a spare row and a byte either side, so that a read of any
// pixel's neighbour, sixteen bytes from anywhere in the picture, stays in it.
constexpr int kSpareSource = kWidth + 1;
using SpareSource = std::array<uint8_t, kPixels + 2 * kSpareSource>;
inline void spare_source(const GreyBuffer& source, SpareSource& spare) {
  std::fill_n(spare.begin(), kSpareSource, 0);
  std::copy(source.begin(), source.end(), spare.begin() + kSpareSource);
  std::fill_n(spare.end() - kSpareSource, kSpareSource, 0);
}

// How the first look weighs a frame: whether a pixel may change alone, and,
// with `near`, a level moves only between neighbours whose sources are at
// most `apart` levels apart.
struct LookRules {
  bool alone = true;
  const SpareSource* near = nullptr;
  int apart = 0;
};
// Whether pixels i and j may trade a level under the rules.
inline bool like_source(const LookRules& rules, int i, int j) {
  return !rules.near || std::abs((*rules.near)[i + kSpareSource] - (*rules.near)[j + kSpareSource]) <= rules.apart;
}

// Marks row y's pixels that may gain, every test in one loop that the
// compiler vectorises four pixels at a time.
template <int Levels>
void look_row(int y, const Field& fall, const Field& rise, const LookRules& rules, PictureBits& look) {
  constexpr int32_t kRow = kRowBarOf<Levels>, kCorner = kCornerBarOf<Levels>, kAlone = kAloneBarOf<Levels>;
  const int f0 = field_index(0, y), i0 = y * kWidth;
  // Whether a level moving between the pixels at a and b, either way, may pay.
  const auto pays = [&](int a, int b, int32_t bar) {
    return int{fall[a] + rise[b] > bar} | int{rise[a] + fall[b] > bar};
  };
  // Alone bars nothing beats where no pixel may change alone.
  const int32_t alone = rules.alone ? kAlone : INT32_MAX;
  // Which neighbours a level may move between, in loops of bytes that the
  // compiler vectorises.
  enum { kRight, kLeft, kUnder, kUnderRight, kUnderLeft, kDirections };
  constexpr int kOffsets[kDirections] = {1, -1, kWidth, kWidth + 1, kWidth - 1};
  std::array<std::array<uint8_t, kWidth>, kDirections> like;
  for (int d = 0; d < kDirections; ++d) {
    if (!rules.near) {
      like[d].fill(1);
      continue;
    }
    const uint8_t* s = &(*rules.near)[i0 + kSpareSource];
    const auto most = static_cast<uint8_t>(std::clamp(rules.apart, 0, kMaxGrey));
    for (int x = 0; x < kWidth; ++x) {
      const uint8_t a = s[x], b = s[x + kOffsets[d]];
      like[d][x] = uint8_t{static_cast<uint8_t>(std::max(a, b) - std::min(a, b)) <= most};
    }
  }
  const auto with = [&](int x, int d) { return int{like[d][x]}; };
  std::array<uint8_t, kWidth> worth;
  for (int x = 0; x < kWidth; ++x) {
    const int f = f0 + x;
    // The cell left of the picture is kOutside, so its pair never pays.
    worth[x] = static_cast<uint8_t>(
        int{fall[f] > alone} | int{rise[f] > alone} | (pays(f, f + 1, kRow) & with(x, kRight)) |
        (pays(f - 1, f, kRow) & with(x, kLeft)) | (pays(f, f + kW, kRow) & with(x, kUnder)) |
        (pays(f, f + kW + 1, kCorner) & with(x, kUnderRight)) | (pays(f, f + kW - 1, kCorner) & with(x, kUnderLeft)));
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
template <int Levels, bool Near>
void look_row_narrow(int y, const Narrow& fall, const Narrow& rise, const LookRules& rules, PictureBits& look) {
  // A bar of INT16_MAX: no 16-bit lane is greater.
  const __m128i alone_bar = _mm_set1_epi16(rules.alone ? kAloneBarOf<Levels> : INT16_MAX),
                row_bar = _mm_set1_epi16(kRowBarOf<Levels>), corner_bar = _mm_set1_epi16(kCornerBarOf<Levels>);
  const auto at = [](const Narrow& a, int f) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(&a[f])); };
  const __m128i zero = _mm_setzero_si128();
  const __m128i most = _mm_set1_epi8(static_cast<char>(std::clamp(rules.apart, 0, kMaxGrey)));
  for (int x = 0; x < kWidth; x += kNarrowLanes) {
    const int f = field_index(x, y);
    const __m128i fa = at(fall, f), ra = at(rise, f);
    const auto pays = [&](__m128i f1, __m128i r1, __m128i f2, __m128i r2, __m128i bar) {
      return _mm_or_si128(_mm_cmpgt_epi16(_mm_adds_epi16(f1, r2), bar), _mm_cmpgt_epi16(_mm_adds_epi16(r1, f2), bar));
    };
    const auto pays_with = [&](int g, __m128i bar) { return pays(fa, ra, at(fall, g), at(rise, g), bar); };
    __m128i right = pays_with(f + 1, row_bar), left = pays(at(fall, f - 1), at(rise, f - 1), fa, ra, row_bar),
            under = pays_with(f + kW, row_bar), under_right = pays_with(f + kW + 1, corner_bar),
            under_left = pays_with(f + kW - 1, corner_bar);
    __m128i pairs = _mm_or_si128(_mm_or_si128(right, left), _mm_or_si128(under, _mm_or_si128(under_right, under_left)));
    if constexpr (Near) {
      // Only where some pair may pay: which neighbours are of like source,
      // eight pixels' bytes at a time, |a - b| as two saturating subtractions
      // and an or, at most `apart` where a third leaves zero; then widened
      // to the pairs' 16-bit lanes.
      if (_mm_movemask_epi8(pairs) != 0) {
        const uint8_t* from = &(*rules.near)[y * kWidth + x + kSpareSource];
        const auto bytes = [&](int offset) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from + offset)); };
        const __m128i centre = bytes(0);
        const auto like = [&](int dx, int dy) {
          const __m128i other = bytes(dy * kWidth + dx);
          const __m128i apart_by = _mm_or_si128(_mm_subs_epu8(centre, other), _mm_subs_epu8(other, centre));
          const __m128i close = _mm_cmpeq_epi8(_mm_subs_epu8(apart_by, most), zero);
          return _mm_unpacklo_epi8(close, close);
        };
        right = _mm_and_si128(right, like(1, 0));
        left = _mm_and_si128(left, like(-1, 0));
        under = _mm_and_si128(under, like(0, 1));
        under_right = _mm_and_si128(under_right, like(1, 1));
        under_left = _mm_and_si128(under_left, like(-1, 1));
        pairs = _mm_or_si128(_mm_or_si128(right, left), _mm_or_si128(under, _mm_or_si128(under_right, under_left)));
      }
    }
    const __m128i alone = _mm_or_si128(_mm_cmpgt_epi16(fa, alone_bar), _mm_cmpgt_epi16(ra, alone_bar));
    const __m128i worth = _mm_or_si128(pairs, alone);
    const auto bits = static_cast<uint64_t>(_mm_movemask_epi8(_mm_packs_epi16(worth, _mm_setzero_si128())));
    or_bits(look[y + kLookReach], bits, x + kTwiceReach);
  }
}
#endif

}  // namespace steady
