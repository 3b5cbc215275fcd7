// The dithering modes: one error-diffusion loop shared by every kernel and
// an ordered-dithering loop shared by both masks; the steady mode (steady.h)
// searches from the previous frame's shades.
#include "frame/dither_modes.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "frame/arithmetic.h"
#include "frame/held_threshold.h"
#include "frame/masks.h"
#include "frame/matrix_kernel.h"
#include "frame/quantiser.h"
#include "frame/steady.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kMonoLevels = 2, kGreyLevels = 4;
constexpr int kMaxError = kMaxGrey;  // |value - level| with the value clamped to 0..255
// An error this small comes from a pixel one level off a display level:
// sampling's white (254) and the rounding of tone reduction. Spreading it
// would sprinkle dark dots over white and light ones over black.
constexpr int kDroppedError = 1;

// The error rows: the current row and the two below it, each padded by the
// widest sideways reach, so that error falling off an edge lands in padding
// and is forgotten, with no bounds test per neighbour.
constexpr int kPad = 2;
constexpr int kRingRows = 3;
constexpr int kRowLength = kWidth + 2 * kPad;
using RowPointers = std::array<int16_t*, kRingRows>;  // [dy], each at column 0



// The kernels as published, each tap {dx, dy, share}; the divisor follows.
constexpr DiffusionTap kFloydSteinberg[] = {{1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}};
constexpr int kFloydSteinbergDivisor = 16;
// Atkinson passes on only 6/8 of the error on purpose: lighter, crisper pictures.
constexpr DiffusionTap kAtkinson[] = {{1, 0, 1},  {2, 0, 1}, {-1, 1, 1},
                                      {0, 1, 1}, {1, 1, 1}, {0, 2, 1}};
constexpr int kAtkinsonDivisor = 8;
constexpr DiffusionTap kJarvisJudiceNinke[] = {
    {1, 0, 7},  {2, 0, 5},  {-2, 1, 3}, {-1, 1, 5}, {0, 1, 7}, {1, 1, 5},
    {2, 1, 3},  {-2, 2, 1}, {-1, 2, 3}, {0, 2, 5},  {1, 2, 3}, {2, 2, 1}};
constexpr int kJarvisJudiceNinkeDivisor = 48;
constexpr DiffusionTap kStucki[] = {{1, 0, 8},  {2, 0, 4},  {-2, 1, 2}, {-1, 1, 4},
                                    {0, 1, 8},  {1, 1, 4},  {2, 1, 2},  {-2, 2, 1},
                                    {-1, 2, 2}, {0, 2, 4},  {1, 2, 2},  {2, 2, 1}};
constexpr int kStuckiDivisor = 42;
constexpr DiffusionTap kBurkes[] = {{1, 0, 8}, {2, 0, 4}, {-2, 1, 2}, {-1, 1, 4},
                                    {0, 1, 8}, {1, 1, 4}, {2, 1, 2}};
constexpr int kBurkesDivisor = 32;
constexpr DiffusionTap kSierra[] = {{1, 0, 5}, {2, 0, 3}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 5},
                                    {1, 1, 4}, {2, 1, 2}, {-1, 2, 2}, {0, 2, 3},  {1, 2, 2}};
constexpr int kSierraDivisor = 32;
constexpr DiffusionTap kTwoRowSierra[] = {{1, 0, 4}, {2, 0, 3}, {-2, 1, 1}, {-1, 1, 2},
                                          {0, 1, 3}, {1, 1, 2}, {2, 1, 1}};
constexpr int kTwoRowSierraDivisor = 16;
constexpr DiffusionTap kSierraLite[] = {{1, 0, 2}, {-1, 1, 1}, {0, 1, 1}};
constexpr int kSierraLiteDivisor = 4;

// Every error's shares, worked out at compile time: the loop then spends one
// table row and one add per neighbour. Shares are differences of the rounded
// running total, so they add up to the rounded whole and none is lost.
template <size_t N>
using ShareTable = std::array<std::array<int16_t, N>, 2 * kMaxError + 1>;

template <size_t N>
constexpr ShareTable<N> make_shares(const DiffusionTap (&taps)[N], int divisor) {
  ShareTable<N> table{};
  for (int err = -kMaxError; err <= kMaxError; ++err) {
    if (err >= -kDroppedError && err <= kDroppedError) continue;
    int total = 0, given = 0;
    for (size_t k = 0; k < N; ++k) {
      total += taps[k].share;
      const int upto = rounded_quotient(err * total, divisor);
      table[err + kMaxError][k] = static_cast<int16_t>(upto - given);
      given = upto;
    }
  }
  return table;
}

// A named kernel for the diffusion loop. Row cells hold the pixel's value
// plus the error it has received; the sum is clamped only when read, so that
// error is carried in full until the pixel is quantised.
template <const auto& Taps, int Divisor>
struct NamedKernel {
  static constexpr size_t kTaps = std::size(Taps);
  static constexpr ShareTable<kTaps> kShares = make_shares(Taps, Divisor);
  // The taps on the pixel's own row: the next pixel and the one after (-1:
  // none). Their shares travel along the row in registers rather than
  // through the row's cells, which would hold up every pixel until the
  // previous one's share had been stored and read back.
  static constexpr int kNext = [] {
    for (size_t k = 0; k < kTaps; ++k)
      if (Taps[k].dy == 0 && Taps[k].dx == 1) return static_cast<int>(k);
    return -1;
  }();
  static constexpr int kAfterNext = [] {
    for (size_t k = 0; k < kTaps; ++k)
      if (Taps[k].dy == 0 && Taps[k].dx == 2) return static_cast<int>(k);
    return -1;
  }();
  static_assert(kNext >= 0, "every named kernel passes error to the next pixel");

  // Dir = 1 scans left to right; -1 mirrors every tap.
  template <int Dir>
  void spread(int err, const RowPointers& rows, int x) const {
    const auto& share = kShares[err + kMaxError];
    [&]<size_t... K>(std::index_sequence<K...>) {
      ((rows[Taps[K].dy][x + Dir * Taps[K].dx] += share[K]), ...);
    }(std::make_index_sequence<kTaps>{});
  }

  // The shares for the rows below only.
  template <int Dir>
  static void spread_below(const std::array<int16_t, kTaps>& share, const RowPointers& rows, int x) {
    [&]<size_t... K>(std::index_sequence<K...>) {
      ((Taps[K].dy > 0 ? void(rows[Taps[K].dy][x + Dir * Taps[K].dx] += share[K]) : void()), ...);
    }(std::make_index_sequence<kTaps>{});
  }
};

using FloydSteinberg = NamedKernel<kFloydSteinberg, kFloydSteinbergDivisor>;
using Atkinson = NamedKernel<kAtkinson, kAtkinsonDivisor>;
using JarvisJudiceNinke = NamedKernel<kJarvisJudiceNinke, kJarvisJudiceNinkeDivisor>;
using Stucki = NamedKernel<kStucki, kStuckiDivisor>;
using Burkes = NamedKernel<kBurkes, kBurkesDivisor>;
using Sierra = NamedKernel<kSierra, kSierraDivisor>;
using TwoRowSierra = NamedKernel<kTwoRowSierra, kTwoRowSierraDivisor>;
using SierraLite = NamedKernel<kSierraLite, kSierraLiteDivisor>;

using diffusion::MatrixKernel;

// The quantiser as the row loops call it, on a value or (the held choice) a
// value moved by a margin: -kMaxGrey .. 2 kMaxGrey. In four levels one read
// of a table, where the serial loop would spend three compares and a
// multiply on each call.
constexpr int kLoopLowest = -kMaxGrey, kLoopHighest = 2 * kMaxGrey;
inline constexpr auto kGreyLevelTable = [] {
  std::array<uint8_t, kLoopHighest - kLoopLowest + 1> t{};
  for (int u = kLoopLowest; u <= kLoopHighest; ++u) t[u - kLoopLowest] = static_cast<uint8_t>(quantise<kGreyLevels>(u));
  return t;
}();
template <int Levels>
int loop_level(int u) {
  if constexpr (Levels == kGreyLevels) return kGreyLevelTable[u - kLoopLowest];
  else return quantise<Levels>(u);
}

// What the next two pixels get from this row of a named kernel.
struct NamedCarry {
  int next = 0, after_next = 0;
};
// Pixel x of a named kernel's row, scanned in direction Dir, whose cells are
// rows[0] and which adds to the rows below; i is the row's first pixel.
template <int Levels, int Dir, const auto& Taps, int Divisor, class Choice>
[[gnu::always_inline]] inline void named_step(const Choice& choice, const RowPointers& rows, int i, int x,
                                              NamedCarry& c, GreyBuffer& out) {
  using K = NamedKernel<Taps, Divisor>;
  const int v = std::clamp(rows[0][x] + c.next, 0, kMaxGrey);
  const int q = choice(i + x, v, loop_level<Levels>);
  out[i + x] = static_cast<uint8_t>(q);
  const auto& share = K::kShares[v - q + kMaxError];
  c.next = c.after_next + share[K::kNext];
  if constexpr (K::kAfterNext >= 0) c.after_next = share[K::kAfterNext];
  K::template spread_below<Dir>(share, rows, x);
}

// One row of error diffusion with a named kernel, scanned in direction Dir;
// the same sums as spreading every share through the cells.
template <int Levels, int Dir, const auto& Taps, int Divisor, class Choice>
void diffuse_row(const NamedKernel<Taps, Divisor>&, int y, const RowPointers& rows, const Choice& choice,
                 GreyBuffer& out) {
  const int first = Dir > 0 ? 0 : kWidth - 1;
  NamedCarry c;
  for (int n = 0; n < kWidth; ++n)
    named_step<Levels, Dir, Taps, Divisor>(choice, rows, y * kWidth, first + Dir * n, c, out);
}

// Rows y and y + 1 of a named kernel, left to right, the lower row behind
// the upper by as many pixels as its furthest share back reaches: its pixel
// x reads only its own cell, to which the upper row, a step ahead in the
// same turn, has then done adding. Both rows add to the rows below, by plain
// sums whose order does not count: the same bytes, and the rows' two chains
// of dependent steps side by side.
template <int Levels, const auto& Taps, int Divisor, class Choice>
void diffuse_two_rows(const NamedKernel<Taps, Divisor>&, int y, const RowPointers& upper, const RowPointers& lower,
                      const Choice& choice, GreyBuffer& out) {
  constexpr int kLag = [] {
    int back = 0;
    for (const DiffusionTap& t : Taps)
      if (t.dy == 1) back = std::max(back, -t.dx);
    return std::max(back, 1);
  }();
  const int i = y * kWidth, j = i + kWidth;
  NamedCarry a, b;
  for (int x = 0; x < kLag; ++x) named_step<Levels, 1, Taps, Divisor>(choice, upper, i, x, a, out);
  for (int x = kLag; x < kWidth; ++x) {
    named_step<Levels, 1, Taps, Divisor>(choice, upper, i, x, a, out);
    named_step<Levels, 1, Taps, Divisor>(choice, lower, j, x - kLag, b, out);
  }
  for (int x = kWidth - kLag; x < kWidth; ++x) named_step<Levels, 1, Taps, Divisor>(choice, lower, j, x, b, out);
}

// Error diffusion with the settings' kernel, with dither()'s sums in
// dither()'s order. A cell's adds are clamped one by one, so their order
// counts: the right neighbour's share travels in a register to the next
// pixel, and the row below is a window of three cells (behind, under, ahead)
// that each pixel adds to before it slides on; a cell leaves the window
// complete, once nothing later adds to it: the cell behind the pixel, when
// the pixel is done.
struct MatrixCells {
  int next;                      // this pixel's cell with the share of the one before
  std::ptrdiff_t behind, under;  // the cells below that the window still holds
};
// The row's first cell, which must be complete, and the window's start.
template <int Dir>
MatrixCells matrix_start(const int16_t* row, const int16_t* below) {
  constexpr int kFirst = Dir > 0 ? 0 : kWidth - 1;
  return {row[kFirst], below[kFirst - Dir], below[kFirst]};
}
// Pixel x of a row scanned in direction Dir, whose cells are `row` and the
// next row's `below`; i is the row's first pixel in the frame. Reads the
// cell after x, which must be complete. The pixel's shade goes into its own
// cell, which nothing reads again (matrix_end copies the row's into the
// frame): a store of a byte may alias anything, and would have the loop load
// every pointer and count again after it.
template <int Levels, int Dir, class Choice>
[[gnu::always_inline]] inline void matrix_step(const MatrixKernel& kernel, const Choice& choice, int16_t* row,
                                               int16_t* below, int i, int x, MatrixCells& c) {
  enum { kRight, kBehind, kUnder, kBeyond };
  const int v = c.next;
  const int q = choice(i + x, v, loop_level<Levels>);
  row[x] = static_cast<int16_t>(q);
  const std::ptrdiff_t err = v - q;
  // The cell past the row's end is padding, never read as a pixel's value.
  c.next = MatrixKernel::added(row[x + Dir], kernel.share(kRight, err));
  below[x - Dir] = static_cast<int16_t>(MatrixKernel::added_below(c.behind, kernel.share(kBehind, err)));
  c.behind = MatrixKernel::added_below(c.under, kernel.share(kUnder, err));
  c.under = MatrixKernel::added_below(below[x + Dir], kernel.share(kBeyond, err));
}
// After the row's last pixel: the window's last two cells, and the row's shades.
template <int Dir>
void matrix_end(const MatrixCells& c, const int16_t* row, int16_t* below, int i, GreyBuffer& out) {
  constexpr int kLast = Dir > 0 ? kWidth - 1 : 0;
  below[kLast] = static_cast<int16_t>(c.behind);
  below[kLast + Dir] = static_cast<int16_t>(c.under);
  std::copy_n(row, kWidth, &out[i]);
}

template <int Levels, int Dir, class Choice>
void diffuse_row(const MatrixKernel& kernel, int y, const RowPointers& rows, const Choice& choice, GreyBuffer& out) {
  MatrixCells c = matrix_start<Dir>(rows[0], rows[1]);
  const int first = Dir > 0 ? 0 : kWidth - 1;
  for (int n = 0; n < kWidth; ++n)
    matrix_step<Levels, Dir>(kernel, choice, rows[0], rows[1], y * kWidth, first + Dir * n, c);
  matrix_end<Dir>(c, rows[0], rows[1], y * kWidth, out);
}

// Rows y and y + 1 with the settings' kernel, left to right, the lower row
// kLag pixels behind: its pixel x reads its own cell and the next, which the
// upper row completes as it leaves pixel x + 2, and it adds only to the row
// below it, which the upper row never reads. Every cell gets the same adds
// in the same order as row by row, and the two rows' chains of dependent
// steps (each pixel waits on the share of the one before) run side by side.
template <int Levels, class Choice>
void diffuse_two_rows(const MatrixKernel& kernel, int y, const RowPointers& upper_rows, const RowPointers& lower_rows,
                      const Choice& choice, GreyBuffer& out) {
  constexpr int kLag = 2;
  int16_t* const upper = upper_rows[0];
  int16_t* const lower = lower_rows[0];
  int16_t* const below = lower_rows[1];
  const int i = y * kWidth, j = i + kWidth;
  MatrixCells a = matrix_start<1>(upper, lower);
  for (int x = 0; x < kLag; ++x) matrix_step<Levels, 1>(kernel, choice, upper, lower, i, x, a);
  MatrixCells b = matrix_start<1>(lower, below);
  for (int x = kLag; x < kWidth; ++x) {
    matrix_step<Levels, 1>(kernel, choice, upper, lower, i, x, a);
    matrix_step<Levels, 1>(kernel, choice, lower, below, j, x - kLag, b);
  }
  matrix_end<1>(a, upper, lower, i, out);
  for (int x = kWidth - kLag; x < kWidth; ++x) matrix_step<Levels, 1>(kernel, choice, lower, below, j, x, b);
  matrix_end<1>(b, lower, below, j, out);
}

// Error-diffuses the whole picture with `kernel` into out; odd rows run right
// to left when serpentine. Without serpentine, two rows at a time.
template <int Levels, class K, class Choice>
void diffuse(const GreyBuffer& source, const K& kernel, bool serpentine, const Choice& choice, GreyBuffer& out) {
  // The rows being diffused and those below them that get their error: one
  // more than a row reaches, for two rows at a time.
  constexpr int kSlots = kRingRows + 1;
  std::array<std::array<int16_t, kRowLength>, kSlots> ring;
  const auto start_row = [&](int y) {
    auto& row = ring[y % kSlots];
    row.fill(0);
    for (int x = 0; x < kWidth; ++x) row[kPad + x] = source[y * kWidth + x];
  };
  const auto rows_from = [&](int y) {
    RowPointers rows;
    for (int d = 0; d < kRingRows; ++d) rows[d] = ring[(y + d) % kSlots].data() + kPad;
    return rows;
  };
  for (int y = 0; y < kSlots; ++y) start_row(y);
  // A done row's slot takes the row kSlots below; rows past the bottom are
  // never read, so what falls into a stale slot is lost, as it should be.
  // Left to right, two rows at a time: each row waits on a chain of
  // dependent steps, and two chains run side by side.
  if (!serpentine) {
    static_assert(kHeight % 2 == 0);
    for (int y = 0; y < kHeight; y += 2) {
      diffuse_two_rows<Levels>(kernel, y, rows_from(y), rows_from(y + 1), choice, out);
      for (int done = y; done < y + 2; ++done)
        if (done + kSlots < kHeight) start_row(done + kSlots);
    }
    return;
  }
  for (int y = 0; y < kHeight; ++y) {
    if (y & 1) diffuse_row<Levels, -1>(kernel, y, rows_from(y), choice, out);
    else diffuse_row<Levels, 1>(kernel, y, rows_from(y), choice, out);
    if (y + kSlots < kHeight) start_row(y + kSlots);
  }
}

// How the loops choose a pixel's shade from its value v, given the plain
// decision `level` (a function of the value): the plain modes take it as it
// is; the steady mode (steady.h) keeps the shade the pixel held where the
// value is within its margin of giving it, inside the pixel's bounds.
struct PlainChoice {
  template <class Level>
  int operator()(int, int v, Level level) const {
    return level(v);
  }
};
struct HeldChoice {
  const SteadyHold& h;
  template <class Level>
  int operator()(int i, int v, Level level) const {
    return held_shade(v, h.held[i], h.margin[i], h.lowest[i], h.highest[i], level);
  }
};

// Each display pixel's ordered-dithering threshold t in 2..step-1: the pixel
// shows the upper of two levels when its value reaches the lower level + t.
// A mask of N ranks puts rank r at step * (2r + 1) / 2N rounded up; keeping t
// off 1 and step makes a pixel one level off a display level show as it.
using ThresholdMap = std::array<uint8_t, kPixels>;

template <int Levels>
void make_thresholds(const uint16_t* ranks, int side, ThresholdMap& map) {
  constexpr int kStep = kStepOf<Levels>;
  const int cells = side * side;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const int r = ranks[(y % side) * side + x % side];
      const int t = (kStep * (2 * r + 1) + 2 * cells - 1) / (2 * cells);
      map[y * kWidth + x] = static_cast<uint8_t>(std::clamp(t, 1 + kDroppedError, kStep - kDroppedError));
    }
}

// The display's thresholds from each mask, worked out on first use and kept.
template <int Levels>
const ThresholdMap& bayer_thresholds() {
  static const ThresholdMap map = [] {
    const BayerMask bayer = bayer_mask();
    std::array<uint16_t, kBayerCells> ranks;
    std::copy(bayer.begin(), bayer.end(), ranks.begin());
    ThresholdMap m;
    make_thresholds<Levels>(ranks.data(), kBayerSide, m);
    return m;
  }();
  return map;
}

template <int Levels>
const ThresholdMap& blue_noise_thresholds() {
  static const ThresholdMap map = [] {
    ThresholdMap m;
    make_thresholds<Levels>(blue_noise_mask().data(), kBlueNoiseSide, m);
    return m;
  }();
  return map;
}

// Ordered dithering: each pixel on its own, the upper of its two levels when
// it reaches its threshold above the lower.
template <int Levels, class Choice>
void ordered(const GreyBuffer& source, const ThresholdMap& thresholds, const Choice& choice, GreyBuffer& out) {
  constexpr int kStep = kStepOf<Levels>;
  for (int i = 0; i < kPixels; ++i) {
    const int t = thresholds[i];
    // Shifted by a step so that the quotient is never negative.
    const auto level = [t](int v) { return (std::clamp(v, 0, kMaxGrey) + kStep - t) / kStep * kStep; };
    out[i] = static_cast<uint8_t>(choice(i, source[i], level));
  }
}

// The mode's own error diffusion of one frame, with no memory of earlier ones.
template <int Levels, class Choice>
void diffuse_levels(const GreyBuffer& source, const Kernel& matrix, const DitherOptions& o, const Choice& c,
                    GreyBuffer& out) {
  const bool s = o.serpentine;
  switch (o.mode) {
    case DitherMode::matrix: return diffuse<Levels>(source, MatrixKernel(matrix), s, c, out);
    case DitherMode::floyd_steinberg: return diffuse<Levels>(source, FloydSteinberg{}, s, c, out);
    case DitherMode::atkinson: return diffuse<Levels>(source, Atkinson{}, s, c, out);
    case DitherMode::jarvis_judice_ninke: return diffuse<Levels>(source, JarvisJudiceNinke{}, s, c, out);
    case DitherMode::stucki: return diffuse<Levels>(source, Stucki{}, s, c, out);
    case DitherMode::burkes: return diffuse<Levels>(source, Burkes{}, s, c, out);
    case DitherMode::sierra: return diffuse<Levels>(source, Sierra{}, s, c, out);
    case DitherMode::two_row_sierra: return diffuse<Levels>(source, TwoRowSierra{}, s, c, out);
    case DitherMode::sierra_lite: return diffuse<Levels>(source, SierraLite{}, s, c, out);
    case DitherMode::bayer:
    case DitherMode::blue_noise: return;  // not error diffusion
  }
}

// The mode's own dithering of one frame, with no memory of earlier ones.
template <int Levels, class Choice>
void dither_levels(const GreyBuffer& source, const Kernel& matrix, const DitherOptions& o, const Choice& c,
                   GreyBuffer& out) {
  switch (o.mode) {
    case DitherMode::bayer: return ordered<Levels>(source, bayer_thresholds<Levels>(), c, out);
    case DitherMode::blue_noise: return ordered<Levels>(source, blue_noise_thresholds<Levels>(), c, out);
    default: return diffuse_levels<Levels>(source, matrix, o, c, out);
  }
}

// One frame in `Levels` levels: the mode's own dithering, or with the steady
// mode the search from the previous shades (or from a fresh start after a cut).
template <int Levels>
void dither_with(const GreyBuffer& source, const Kernel& matrix, const DitherOptions& o,
                 DitherHistory& history, GreyBuffer& out) {
  if (!o.stable) return dither_levels<Levels>(source, matrix, o, PlainChoice{}, out);
  constexpr Shades kShades = Levels == kMonoLevels ? Shades::two : Shades::four;
  const SteadyStart start = steady_start(source, kShades, o.tuning, history);
  if (o.tuning.method != SteadyMethod::search) {
    // An ordered mode's pattern is fixed to the screen: its shades are held
    // where they stand, and the search, which would draw the picture with
    // another pattern, is not run.
    const bool screen = o.mode == DitherMode::bayer || o.mode == DitherMode::blue_noise;
    SteadyHold hold;
    if (start.afresh) {
      dither_levels<Levels>(source, matrix, o, PlainChoice{}, out);
    } else {
      steady_hold(source, kShades, o.tuning, start, history, screen, hold);
      if (Levels == kMonoLevels && !screen) diffuse_levels<Levels>(source, matrix, o, held::HeldThresholds(hold), out);
      else if (Levels == kGreyLevels && !screen && held::HeldWindows::fits(hold))
        diffuse_levels<Levels>(source, matrix, o, held::HeldWindows(hold), out);
      else dither_levels<Levels>(source, matrix, o, HeldChoice{hold}, out);
    }
    if (screen || o.tuning.method == SteadyMethod::held)
      return steady_remember(source, start.afresh ? nullptr : &hold, history, out);
    SteadyStart from_held = start;
    from_held.from_out = !start.afresh;
    from_held.held = &hold.held;
    if (!start.afresh) {
      from_held.lowest = &hold.lowest;
      from_held.highest = &hold.highest;
    }
    steady_search(source, kShades, o.tuning, from_held, history, out);
    // A pixel the search left on its held shade keeps its anchor, or a slow
    // pan, changing the source a few levels a frame, would never fade the
    // margin.
    return steady_remember(source, start.afresh ? nullptr : &hold, history, out);
  }
  if (start.afresh || start.restarts) dither_levels<Levels>(source, matrix, o, PlainChoice{}, out);
  steady_search(source, kShades, o.tuning, start, history, out);
  steady_remember(source, nullptr, history, out);
}

// A named kernel's published taps and divisor; empty for the other modes.
DiffusionKernel kernel_of(DitherMode mode) {
  switch (mode) {
    case DitherMode::floyd_steinberg: return {kFloydSteinberg, kFloydSteinbergDivisor};
    case DitherMode::atkinson: return {kAtkinson, kAtkinsonDivisor};
    case DitherMode::jarvis_judice_ninke: return {kJarvisJudiceNinke, kJarvisJudiceNinkeDivisor};
    case DitherMode::stucki: return {kStucki, kStuckiDivisor};
    case DitherMode::burkes: return {kBurkes, kBurkesDivisor};
    case DitherMode::sierra: return {kSierra, kSierraDivisor};
    case DitherMode::two_row_sierra: return {kTwoRowSierra, kTwoRowSierraDivisor};
    case DitherMode::sierra_lite: return {kSierraLite, kSierraLiteDivisor};
    default: return {};
  }
}

// Runs one kernel's spread on a blank 5 x 3 neighbourhood.
template <class K>
ErrorSpread spread_once(const K& kernel, int err, bool mirrored) {
  constexpr int kSpan = 2 * kPad + 1;
  std::array<std::array<int16_t, kSpan>, kRingRows> cells{};
  RowPointers rows;
  for (int d = 0; d < kRingRows; ++d) rows[d] = cells[d].data() + kPad;
  if (mirrored) kernel.template spread<-1>(err, rows, 0);
  else kernel.template spread<1>(err, rows, 0);
  ErrorSpread out{};
  for (int d = 0; d < kRingRows; ++d) std::copy(cells[d].begin(), cells[d].end(), out[d].begin());
  return out;
}

// Where a kernel's tuning differs from the defaults. The steady mode may
// flicker a third as much as the mode's own pictures on a pan; the wider
// kernels' own pictures flicker less than the default kernel's, so the
// search's changes cost them more and, in four levels, where a dearer change
// alone soon stops paying, their held shades last longer too (a wider
// margin, fading over more levels of the source; sierra-lite's two-level
// pictures, which flicker as the default kernel's, need only the wider
// margin). Floyd-Steinberg's own pictures, with its shares in exact
// sixteenths, keep finer structure than the default kernel's, so in two
// levels its search changes cost less. An ordered mode has no error to
// carry a held shade's light to its neighbours, so in two levels it holds
// only what a source that moves a few levels leaves near its threshold: a
// longer hold costs its pictures their structure and their tone, and its
// flicker on a pan is the picture's own change under a pattern fixed to the
// screen.
struct KernelHold {
  DitherMode mode;
  int margin2, margin_fade2, hold_price2;  // two levels
  int margin4, hold_price4, margin_fade4;  // four levels
};
constexpr SteadyLevels kTwo = StableTuning{}.two, kFour = StableTuning{}.four;
constexpr KernelHold kKernelHolds[] = {
    {DitherMode::floyd_steinberg, kTwo.margin, kTwo.margin_fade, 250, kFour.margin, kFour.hold_price, kFour.margin_fade},
    {DitherMode::atkinson, kTwo.margin, kTwo.margin_fade, 1000, 36, 800, 48},
    {DitherMode::jarvis_judice_ninke, kTwo.margin, kTwo.margin_fade, 1200, 32, 800, 48},
    {DitherMode::stucki, kTwo.margin, kTwo.margin_fade, 800, 32, 400, 64},
    {DitherMode::burkes, kTwo.margin, kTwo.margin_fade, kTwo.hold_price, 32, 300, 48},
    {DitherMode::sierra, kTwo.margin, kTwo.margin_fade, 1000, 32, 700, 48},
    {DitherMode::two_row_sierra, kTwo.margin, kTwo.margin_fade, 800, 28, 1200, kFour.margin_fade},
    {DitherMode::sierra_lite, 64, kTwo.margin_fade, kTwo.hold_price, kFour.margin, kFour.hold_price, kFour.margin_fade},
    {DitherMode::bayer, 16, 16, kTwo.hold_price, kFour.margin, kFour.hold_price, 16},
    {DitherMode::blue_noise, 16, 16, kTwo.hold_price, kFour.margin, kFour.hold_price, 16},
};

}  // namespace

StableTuning stable_tuning(DitherMode mode) {
  StableTuning t;
  for (const KernelHold& k : kKernelHolds)
    if (k.mode == mode) {
      t.two.margin = k.margin2;
      t.two.margin_fade = k.margin_fade2;
      t.two.hold_price = k.hold_price2;
      t.four.margin = k.margin4;
      t.four.hold_price = k.hold_price4;
      t.four.margin_fade = k.margin_fade4;
    }
  return t;
}

void dither_frame(const GreyBuffer& graybuf, Shades shades, const Kernel& matrix,
                  const DitherOptions& options, DitherHistory& history, GreyBuffer& ditherbuf) {
  if (options.mode == DitherMode::matrix && !options.serpentine && !options.stable) {
    // The default path is dither() itself, on a copy: the input stays as it was.
    GreyBuffer work = graybuf;
    dither(work, shades, matrix, ditherbuf);
    return;
  }
  if (shades == Shades::two) dither_with<kMonoLevels>(graybuf, matrix, options, history, ditherbuf);
  else dither_with<kGreyLevels>(graybuf, matrix, options, history, ditherbuf);
}

DiffusionKernel diffusion_kernel(DitherMode mode) { return kernel_of(mode); }

ErrorSpread spread_of_error(DitherMode mode, int err, bool mirrored) {
  err = std::clamp(err, -kMaxError, kMaxError);
  switch (mode) {
    case DitherMode::floyd_steinberg: return spread_once(FloydSteinberg{}, err, mirrored);
    case DitherMode::atkinson: return spread_once(Atkinson{}, err, mirrored);
    case DitherMode::jarvis_judice_ninke: return spread_once(JarvisJudiceNinke{}, err, mirrored);
    case DitherMode::stucki: return spread_once(Stucki{}, err, mirrored);
    case DitherMode::burkes: return spread_once(Burkes{}, err, mirrored);
    case DitherMode::sierra: return spread_once(Sierra{}, err, mirrored);
    case DitherMode::two_row_sierra: return spread_once(TwoRowSierra{}, err, mirrored);
    case DitherMode::sierra_lite: return spread_once(SierraLite{}, err, mirrored);
    default: return {};
  }
}
