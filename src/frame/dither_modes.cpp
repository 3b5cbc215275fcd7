// The dithering modes: one error-diffusion loop shared by every kernel, an
// ordered-dithering loop shared by both masks, and the steady mode's search,
// which starts from the previous frame's shades and changes only the pixels
// whose change is worth a flip.
#include "frame/dither_modes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

#include "frame/masks.h"

namespace {

constexpr int kMaxGrey = 255;
constexpr int kMonoThreshold = 128;
// closestg's thresholds: a value on one goes to the level above.
constexpr int kGreyThreshold1 = 42, kGreyThreshold2 = 127, kGreyThreshold3 = 212;
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

// num / den rounded to nearest, halves away from zero, so that an error and
// its negative spread as mirror images; den > 0.
constexpr int rounded_quotient(int num, int den) {
  return num >= 0 ? (2 * num + den) / (2 * den) : -((-2 * num + den) / (2 * den));
}

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

// The settings' 3 x 3 kernel with dither()'s arithmetic: the product shifted
// down (toward minus infinity) and the cell clamped to 0..255 after every
// add. Only the four positions right of and below the pixel can change the
// output; the others land on pixels already quantised.
struct MatrixKernel {
  struct Tap {
    int dx, dy;
    int32_t weight;
  };
  std::array<Tap, 4> taps{};
  int count = 0;

  explicit MatrixKernel(const Kernel& matrix) {
    constexpr int kFirstAhead = 5;  // kernel position of the right neighbour
    constexpr int kSide = 3;
    for (int k = kFirstAhead; k < kKernelSize; ++k)
      if (matrix[k] != 0) taps[count++] = {k % kSide - 1, k / kSide - 1, matrix[k]};
  }

  static int value(int16_t cell) { return cell; }

  template <int Dir>
  void spread(int err, const RowPointers& rows, int x) const {
    for (int t = 0; t < count; ++t) {
      // 64 bits as in dither(): a weight near the 16.16 limit overflows 32.
      const int64_t delta = int64_t{err} * taps[t].weight >> kFixedShift;
      int16_t& cell = rows[taps[t].dy][x + Dir * taps[t].dx];
      // AddError's clamp, inline: the cell holds 0..255 and |delta| < 2^24.
      cell = static_cast<int16_t>(std::clamp(cell + static_cast<int>(delta), 0, kMaxGrey));
    }
  }
};

// The same thresholds as closestg, without its branches, which mispredict
// on dithered pictures.
template <int Levels>
int quantise(int v) {
  if constexpr (Levels == kMonoLevels) {
    return v >= kMonoThreshold ? kMaxGrey : 0;
  } else {
    constexpr int kStep = kMaxGrey / (kGreyLevels - 1);
    return kStep * ((v >= kGreyThreshold1) + (v >= kGreyThreshold2) + (v >= kGreyThreshold3));
  }
}

template <int Levels>
constexpr int kStepOf = kMaxGrey / (Levels - 1);  // 255 or 85 between levels

// One row of error diffusion with a named kernel, scanned in direction Dir;
// the same sums as spreading every share through the cells.
template <int Levels, int Dir, const auto& Taps, int Divisor>
void diffuse_row(const NamedKernel<Taps, Divisor>&, int y, const RowPointers& rows, GreyBuffer& out) {
  using K = NamedKernel<Taps, Divisor>;
  const int first = Dir > 0 ? 0 : kWidth - 1;
  int next = 0, after_next = 0;  // what the next two pixels get from this row
  for (int n = 0; n < kWidth; ++n) {
    const int x = first + Dir * n;
    const int v = std::clamp(rows[0][x] + next, 0, kMaxGrey);
    const int q = quantise<Levels>(v);
    out[y * kWidth + x] = static_cast<uint8_t>(q);
    const auto& share = K::kShares[v - q + kMaxError];
    next = after_next + share[K::kNext];
    if constexpr (K::kAfterNext >= 0) after_next = share[K::kAfterNext];
    K::template spread_below<Dir>(share, rows, x);
  }
}

// One row of error diffusion with the settings' kernel, scanned in direction
// Dir, every share through the cells as dither() adds them.
template <int Levels, int Dir>
void diffuse_row(const MatrixKernel& kernel, int y, const RowPointers& rows, GreyBuffer& out) {
  const int first = Dir > 0 ? 0 : kWidth - 1;
  for (int n = 0; n < kWidth; ++n) {
    const int x = first + Dir * n;
    const int i = y * kWidth + x;
    const int v = kernel.value(rows[0][x]);
    const int q = quantise<Levels>(v);
    out[i] = static_cast<uint8_t>(q);
    const int err = v - q;
    // A zero error spreads as nothing (a clamped cell plus 0 is itself), so it
    // needs no test of its own.
    kernel.template spread<Dir>(err, rows, x);
  }
}

// Error-diffuses the whole picture with `kernel` into out; odd rows run right
// to left when serpentine. Three rows of cells are live at a time.
template <int Levels, class K>
void diffuse(const GreyBuffer& source, const K& kernel, bool serpentine, GreyBuffer& out) {
  std::array<std::array<int16_t, kRowLength>, kRingRows> ring;
  const auto start_row = [&](int y) {
    auto& row = ring[y % kRingRows];
    row.fill(0);
    for (int x = 0; x < kWidth; ++x) row[kPad + x] = source[y * kWidth + x];
  };
  for (int y = 0; y < kRingRows; ++y) start_row(y);
  for (int y = 0; y < kHeight; ++y) {
    RowPointers rows;
    for (int d = 0; d < kRingRows; ++d) rows[d] = ring[(y + d) % kRingRows].data() + kPad;
    if (serpentine && (y & 1))
      diffuse_row<Levels, -1>(kernel, y, rows, out);
    else
      diffuse_row<Levels, 1>(kernel, y, rows, out);
    // This row's slot now takes the row three below; rows past the bottom
    // are never read, so what falls into a stale slot is lost, as it should be.
    if (y + kRingRows < kHeight) start_row(y + kRingRows);
  }
}

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
template <int Levels>
void ordered(const GreyBuffer& source, const ThresholdMap& thresholds, GreyBuffer& out) {
  constexpr int kStep = kStepOf<Levels>;
  for (int i = 0; i < kPixels; ++i) {
    // Shifted by a step so that the quotient is never negative.
    const int u = source[i] + kStep - thresholds[i];
    out[i] = static_cast<uint8_t>(u / kStep * kStep);
  }
}

// The mode's own dithering of one frame, with no memory of earlier ones.
template <int Levels>
void dither_levels(const GreyBuffer& source, const Kernel& matrix, const DitherOptions& o, GreyBuffer& out) {
  const bool s = o.serpentine;
  switch (o.mode) {
    case DitherMode::matrix: return diffuse<Levels>(source, MatrixKernel(matrix), s, out);
    case DitherMode::floyd_steinberg: return diffuse<Levels>(source, FloydSteinberg{}, s, out);
    case DitherMode::atkinson: return diffuse<Levels>(source, Atkinson{}, s, out);
    case DitherMode::jarvis_judice_ninke: return diffuse<Levels>(source, JarvisJudiceNinke{}, s, out);
    case DitherMode::stucki: return diffuse<Levels>(source, Stucki{}, s, out);
    case DitherMode::burkes: return diffuse<Levels>(source, Burkes{}, s, out);
    case DitherMode::sierra: return diffuse<Levels>(source, Sierra{}, s, out);
    case DitherMode::two_row_sierra: return diffuse<Levels>(source, TwoRowSierra{}, s, out);
    case DitherMode::sierra_lite: return diffuse<Levels>(source, SierraLite{}, s, out);
    case DitherMode::bayer: return ordered<Levels>(source, bayer_thresholds<Levels>(), out);
    case DitherMode::blue_noise: return ordered<Levels>(source, blue_noise_thresholds<Levels>(), out);
  }
}

// --- The steady mode ---------------------------------------------------------
//
// The picture's cost is the sum of squared differences between shades and
// source after the 1-2-1 blur B, plus the flip cost for each pixel that
// differs from the frame's starting shades. Changing pixel i by delta changes
// the blurred error e = B(shades - source) by delta * B around i, so the cost
// changes by 2 delta (B e)_i + 36 delta^2 (36 being the sum of B's squared
// weights, with B's weights 1 2 1 / 2 4 2 / 1 2 1). The search therefore keeps
// g = B(B(shades - source)) and changes a pixel where that lowers the cost,
// patching g over the 5 x 5 that B twice reaches, until no change helps.

constexpr int kTwiceReach = 2;
constexpr int kFieldWidth = kWidth + 2 * kTwiceReach;
constexpr int kFieldHeight = kHeight + 2 * kTwiceReach;
constexpr int kFieldCells = kFieldWidth * kFieldHeight;
// Zero-bordered, so that a patch near an edge needs no bounds tests; error
// beyond the edge counts as none.
using Field = std::array<int32_t, kFieldCells>;
constexpr std::array<int32_t, 2 * kTwiceReach + 1> kTwice = {1, 4, 6, 4, 1};  // 1-2-1 convolved with itself
constexpr int32_t kSelfWeight = 36;   // kTwice's centre squared = sum of B's squared weights
constexpr int32_t kCostScale = 256;   // g and costs carry B's weights twice: 16 x 16
constexpr int kPercent = 100;
// Every change lowers the cost, so the search ends of itself; a frame still
// changing after this many passes keeps what it has, which bounds the time.
constexpr int kMaxPasses = 32;
constexpr int32_t kMaxFlipCost = 100000;  // keeps every cost within 32 bits

constexpr int field_index(int x, int y) { return (y + kTwiceReach) * kFieldWidth + x + kTwiceReach; }

// g = B(B(shades - source)) over the picture, zero outside.
void error_field(const GreyBuffer& shades, const GreyBuffer& source, Field& g) {
  Field diff{}, across{};
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) diff[field_index(x, y)] = shades[y * kWidth + x] - source[y * kWidth + x];
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const int f = field_index(x, y);
      across[f] = kTwice[0] * diff[f - 2] + kTwice[1] * diff[f - 1] + kTwice[2] * diff[f] +
                  kTwice[3] * diff[f + 1] + kTwice[4] * diff[f + 2];
    }
  g.fill(0);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const int f = field_index(x, y);
      constexpr int w = kFieldWidth;
      g[f] = kTwice[0] * across[f - 2 * w] + kTwice[1] * across[f - w] + kTwice[2] * across[f] +
             kTwice[3] * across[f + w] + kTwice[4] * across[f + 2 * w];
    }
}

// The pixels still to be looked at: one bit per pixel, a row in two words,
// column x at bit x + kTwiceReach so that a mark of columns x - 2 .. x + 2
// is one shifted five-bit mask.
constexpr int kWordBits = 64;
constexpr int kWordsPerRow = (kWidth + 2 * kTwiceReach + kWordBits - 1) / kWordBits;
using RowBits = std::array<uint64_t, kWordsPerRow>;
using PictureBits = std::array<RowBits, kHeight>;
constexpr int kMarkWidth = 2 * kTwiceReach + 1;
constexpr int kByteBits = 8;

// Ors `bits` (at most 8 of them) into the row from bit `pos` on.
void or_bits(RowBits& row, uint64_t bits, int pos) {
  if (pos < kWordBits) {
    row[0] |= bits << pos;
    if (pos > kWordBits - kByteBits) row[1] |= bits >> (kWordBits - pos);
  } else {
    row[1] |= bits << (pos - kWordBits);
  }
}

// Which of columns x - 2 .. x + 2 lie inside the picture, by x.
constexpr std::array<uint8_t, kWidth> make_inside() {
  std::array<uint8_t, kWidth> inside{};
  for (int x = 0; x < kWidth; ++x)
    for (int k = 0; k < kMarkWidth; ++k)
      if (x - kTwiceReach + k >= 0 && x - kTwiceReach + k < kWidth) inside[x] |= static_cast<uint8_t>(1 << k);
  return inside;
}
constexpr std::array<uint8_t, kWidth> kInside = make_inside();

// The levels a pixel may take: those within one step of its source value,
// as error diffusion does, so that a grey area is drawn with the two levels
// around it and never with black beside white, which the blurred error
// barely tells apart but the eye does. In 2 levels that is both of them.
struct LevelRange {
  std::array<int16_t, kMaxGrey + 1> lowest, highest;  // by source value
};

template <int Levels>
constexpr LevelRange level_range() {
  constexpr int kStep = kStepOf<Levels>;
  LevelRange r{};
  for (int v = 0; v <= kMaxGrey; ++v) {
    r.lowest[v] = static_cast<int16_t>(v == 0 ? 0 : (v - 1) / kStep * kStep);
    r.highest[v] = static_cast<int16_t>(std::min((v / kStep + 1) * kStep, kMaxGrey));
  }
  return r;
}

// Moves every shade outside its pixel's range to the nearest level inside.
template <int Levels>
void bring_into_range(const GreyBuffer& source, GreyBuffer& shades) {
  static constexpr LevelRange kRange = level_range<Levels>();
  for (int i = 0; i < kPixels; ++i)
    shades[i] = static_cast<uint8_t>(std::clamp<int>(shades[i], kRange.lowest[source[i]], kRange.highest[source[i]]));
}

// Eight bytes of 0 or 1 (the first in the lowest byte) to eight bits, the
// first in bit 0: each byte's bit lands on its own place in the top byte.
constexpr uint64_t kGatherBits = 0x0102040810204080ull;
constexpr int kGatherShift = 56;

// Greedy descent from `out` (which holds `base` on entry); returns the passes
// it took. A pixel is looked at when the change of a pixel within reach of B
// twice (the only thing that moves its part of g) leaves its error large
// enough to pay for a change, even the cheapest: one back to its base.
template <int Levels>
int refine(const GreyBuffer& base, const GreyBuffer& source, int32_t flip_cost, GreyBuffer& out) {
  constexpr int kStep = kStepOf<Levels>;
  constexpr int32_t kSelfCost = kSelfWeight * kStep * kStep;
  const int32_t cost_of_flip = std::clamp(flip_cost, 0, kMaxFlipCost) * kCostScale;
  // |g| must beat these for a change to pay: away from the base, back to it.
  const int32_t away_bar = (kSelfCost + cost_of_flip) / (2 * kStep);
  const int32_t back_bar = (kSelfCost - cost_of_flip) / (2 * kStep);
  static constexpr LevelRange kRange = level_range<Levels>();
  const auto& lowest = kRange.lowest;
  const auto& highest = kRange.highest;
  Field g;
  error_field(out, source, g);

  // First look: a pixel on its base pays a flip for any change; one already
  // moved off it (into its range) does not.
  PictureBits look{};
  for (int y = 0; y < kHeight; ++y) {
    const int32_t* row = &g[field_index(0, y)];
    const uint8_t* shade = &out[y * kWidth];
    const uint8_t* was = &base[y * kWidth];
    std::array<uint8_t, kWidth> worth;
    for (int x = 0; x < kWidth; ++x) {
      const int v = source[y * kWidth + x];
      const int32_t bar = shade[x] == was[x] ? away_bar : back_bar;
      worth[x] = static_cast<uint8_t>(int{row[x] > bar && shade[x] > lowest[v]} |
                                      int{row[x] < -bar && shade[x] < highest[v]});
    }
    for (int x = 0; x < kWidth; x += kByteBits) {
      uint64_t eight;
      std::memcpy(&eight, &worth[x], sizeof eight);
      or_bits(look[y], (eight * kGatherBits) >> kGatherShift, x + kTwiceReach);
    }
  }

  for (int pass = 0; pass < kMaxPasses; ++pass) {
    PictureBits again{};
    bool changed = false;
    for (int y = 0; y < kHeight; ++y)
      for (int w = 0; w < kWordsPerRow; ++w)
        for (uint64_t bits = look[y][w]; bits != 0; bits &= bits - 1) {
          const int x = w * kWordBits + __builtin_ctzll(bits) - kTwiceReach;
          const int f = field_index(x, y);
          const int32_t e = g[f];
          // The cost 2 delta e + 36 delta^2 is least at delta = -e / 36: the
          // nearest whole number of steps there, at least one (a step back to
          // the base may pay through the flip it saves), kept on the scale.
          if (e == 0) continue;
          const int i = y * kWidth + x;
          const int from = out[i];
          const int toward = e > 0 ? -1 : 1;
          const int ideal = std::max(std::abs(rounded_quotient(e, kSelfWeight * kStep)), 1);
          const int to = std::clamp<int>(from + toward * ideal * kStep, lowest[source[i]], highest[source[i]]);
          if (to == from || (to - from > 0) != (toward > 0)) continue;
          const int delta = to - from;
          const int32_t gain = -2 * delta * e - kSelfWeight * delta * delta;
          const int32_t flips = (to != base[i]) - (from != base[i]);  // -1, 0 or 1
          if (gain <= flips * cost_of_flip) continue;
          out[i] = static_cast<uint8_t>(to);
          changed = true;
          for (int dy = -kTwiceReach; dy <= kTwiceReach; ++dy) {
            int32_t* cell = &g[f + dy * kFieldWidth - kTwiceReach];
            const int32_t patch = delta * kTwice[dy + kTwiceReach];
            uint64_t marks = 0;
            for (int k = 0; k < kMarkWidth; ++k) {
              cell[k] += patch * kTwice[k];
              marks |= uint64_t{std::abs(cell[k]) > back_bar} << k;
            }
            const int ny = y + dy;
            if (ny >= 0 && ny < kHeight) or_bits(again[ny], marks & kInside[x], x);
          }
        }
    if (!changed) return pass + 1;
    look = again;
  }
  return kMaxPasses;
}

// A new scene: most of the picture changed a lot since the previous frame.
bool is_cut(const GreyBuffer& source, const GreyBuffer& previous, int cut_change, int cut_percent) {
  int movers = 0;
  for (int i = 0; i < kPixels; ++i) movers += std::abs(source[i] - previous[i]) >= cut_change;
  return movers * kPercent > kPixels * cut_percent;
}

// One frame in `Levels` levels: the mode's own dithering, or with the steady
// mode the search from the previous shades (or from a fresh start after a cut).
template <int Levels>
void dither_with(const GreyBuffer& source, const Kernel& matrix, const DitherOptions& o,
                 DitherHistory& history, GreyBuffer& out) {
  if (!o.stable) return dither_levels<Levels>(source, matrix, o, out);
  if (!history.primed || is_cut(source, history.source, o.tuning.cut_change, o.tuning.cut_percent))
    dither_levels<Levels>(source, matrix, o, out);
  else
    out = history.shades;
  const GreyBuffer base = out;
  if (history.primed) bring_into_range<Levels>(source, out);
  refine<Levels>(base, source, Levels == kMonoLevels ? o.tuning.flip_cost : o.tuning.grey_flip_cost, out);
  history.source = source;
  history.shades = out;
  history.primed = true;
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

}  // namespace

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
