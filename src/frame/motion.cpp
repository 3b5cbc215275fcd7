// The move of the whole picture from one frame to the next (see motion.h).
#include "frame/motion.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Moves up to a fifth of the picture's height a frame: a fast pan's.
constexpr int kMaxShift = 12;
constexpr int kMatchScale = 1024;  // differences kept in 1/1024 levels
constexpr int kRounds = 3;         // of finding each direction again given the other

// The offset d that best carries `before` onto `now` (now[k] ~ before[k - d]),
// by mean absolute difference over their overlap.
template <size_t N>
int best_offset(const std::array<int32_t, N>& now, const std::array<int32_t, N>& before) {
  int best = 0;
  int64_t best_cost = -1;
  for (int d = -kMaxShift; d <= kMaxShift; ++d) {
    // A sum of at most 96 differences of sums of at most 96 greys: 32 bits
    // hold it, and the loop vectorises.
    int32_t sum = 0;
    const int lo = std::max(0, d), hi = std::min<int>(N, N + d);
    for (int k = lo; k < hi; ++k) sum += std::abs(now[k] - before[k - d]);
    const int64_t cost = int64_t{sum} * kMatchScale / (hi - lo);
    if (best_cost < 0 || cost < best_cost) best_cost = cost, best = d;
  }
  return best;
}

// Mean absolute difference of `now` and `before` moved by (dx, dy), over
// their overlap.
int64_t moved_difference(const GreyBuffer& now, const GreyBuffer& before, int dx, int dy) {
  int64_t sum = 0;
  const int x0 = std::max(0, dx), x1 = std::min(kWidth, kWidth + dx);
  const int y0 = std::max(0, dy), y1 = std::min(kHeight, kHeight + dy);
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) sum += std::abs(now[y * kWidth + x] - before[(y - dy) * kWidth + x - dx]);
  return sum * kMatchScale / ((x1 - x0) * (y1 - y0));
}

// A picture's column and row sums, over the whole picture: the sums over
// part of it are these less the few rows or columns a move leaves out.
struct Sums {
  std::array<int32_t, kWidth> columns{};
  std::array<int32_t, kHeight> rows{};
};

Sums sums_of(const GreyBuffer& picture) {
  // Two loops, each of which the compiler vectorises: the columns summed in
  // 16 bits (64 rows of 255 fit), eight to a vector, and each row by sums
  // of absolute differences from zero, sixteen pixels at a time.
  Sums s;
  std::array<uint16_t, kWidth> columns{};
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) columns[x] = static_cast<uint16_t>(columns[x] + picture[y * kWidth + x]);
  static_assert(kHeight * kMaxGrey <= UINT16_MAX);
  std::copy(columns.begin(), columns.end(), s.columns.begin());
#if defined(__SSE2__)
  constexpr int kBytes = sizeof(__m128i), kUpperSum = 4;  // the 16-bit lane of the upper half's sum
  static_assert(kWidth % kBytes == 0);
  const __m128i zero = _mm_setzero_si128();
  for (int y = 0; y < kHeight; ++y) {
    __m128i sum = zero;
    for (int x = 0; x < kWidth; x += kBytes)
      sum = _mm_add_epi64(sum, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&picture[y * kWidth + x])), zero));
    s.rows[y] = _mm_cvtsi128_si32(sum) + _mm_extract_epi16(sum, kUpperSum);
  }
#else
  for (int y = 0; y < kHeight; ++y) {
    int32_t sum = 0;
    for (int x = 0; x < kWidth; ++x) sum += picture[y * kWidth + x];
    s.rows[y] = sum;
  }
#endif
  return s;
}

// The column sums of `picture` over its rows but those before `first` and
// from `end` on.
std::array<int32_t, kWidth> columns_over(const GreyBuffer& picture, const Sums& s, int first, int end) {
  std::array<int32_t, kWidth> columns = s.columns;
  for (int y = 0; y < kHeight; ++y) {
    if (y >= first && y < end) continue;
    for (int x = 0; x < kWidth; ++x) columns[x] -= picture[y * kWidth + x];
  }
  return columns;
}

// The row sums of `picture` over its columns from `first` to before `end`.
std::array<int32_t, kHeight> rows_over(const GreyBuffer& picture, const Sums& s, int first, int end) {
  std::array<int32_t, kHeight> rows = s.rows;
  for (int y = 0; y < kHeight; ++y) {
    int32_t left_out = 0;
    for (int x = 0; x < first; ++x) left_out += picture[y * kWidth + x];
    for (int x = end; x < kWidth; ++x) left_out += picture[y * kWidth + x];
    rows[y] -= left_out;
  }
  return rows;
}

// The best sideways move, from the column sums over the rows both pictures
// show when `before` moved down by dy.
int sideways(const GreyBuffer& now, const Sums& now_sums, const GreyBuffer& before, const Sums& before_sums,
             int dy) {
  const int first = std::max(0, dy), end = std::min(kHeight, kHeight + dy);
  return best_offset(columns_over(now, now_sums, first, end), columns_over(before, before_sums, first - dy, end - dy));
}

// The best move up or down, from the row sums over the columns both show
// when `before` moved right by dx.
int upright(const GreyBuffer& now, const Sums& now_sums, const GreyBuffer& before, const Sums& before_sums,
            int dx) {
  const int first = std::max(0, dx), end = std::min(kWidth, kWidth + dx);
  return best_offset(rows_over(now, now_sums, first, end), rows_over(before, before_sums, first - dx, end - dx));
}

}  // namespace

PictureMove find_move(const GreyBuffer& now, const GreyBuffer& before) {
  // What a move brings into view at one edge and takes away at the other
  // spoils the sums across it: each direction is found again over what both
  // pictures show once the other is known.
  // A round that finds the same sideways move as the one before has settled:
  // the rest would find the same again.
  const Sums now_sums = sums_of(now), before_sums = sums_of(before);
  int dx = 0, dy = 0;
  for (int round = 0; round < kRounds; ++round) {
    const int sideways_move = sideways(now, now_sums, before, before_sums, dy);
    if (round > 0 && sideways_move == dx) break;
    dx = sideways_move;
    dy = upright(now, now_sums, before, before_sums, dx);
  }
  if ((dx != 0 || dy != 0) && 2 * moved_difference(now, before, dx, dy) < moved_difference(now, before, 0, 0))
    return {dx, dy};
  return {};
}

void move_picture(const GreyBuffer& picture, int dx, int dy, GreyBuffer& out) {
  // Each row is its source row's edge pixel repeated where x - dx falls off
  // it (x < lo or x >= hi) and a copy of the row in between.
  const int lo = std::clamp(dx, 0, kWidth), hi = std::clamp(kWidth + dx, 0, kWidth);
  for (int y = 0; y < kHeight; ++y) {
    const uint8_t* from = &picture[std::clamp(y - dy, 0, kHeight - 1) * kWidth];
    uint8_t* to = &out[y * kWidth];
    std::fill(to, to + lo, from[0]);
    std::copy(from + lo - dx, from + hi - dx, to + lo);
    std::fill(to + std::max(lo, hi), to + kWidth, from[kWidth - 1]);
  }
}
