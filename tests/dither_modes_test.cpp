// Tests of the dithering modes: mode names, the named kernels' taps and
// rounding, serpentine scanning, the Bayer and blue-noise masks, ordered
// dithering, 4-level grey in every mode, the default path against dither(),
// and the steady mode's memory between frames.
#include "frame/dither_modes.h"
#include "frame/held_threshold.h"
#include "frame/quantiser.h"
#include "frame/shade_bounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <set>
#include <tuple>
#include <vector>

#include "frame/frame.h"
#include "frame/masks.h"
#include "frame/pipeline.h"
#include "frame/steady.h"

namespace {

constexpr DitherMode kAllModes[] = {
    DitherMode::matrix,         DitherMode::floyd_steinberg, DitherMode::atkinson,
    DitherMode::jarvis_judice_ninke, DitherMode::stucki,     DitherMode::burkes,
    DitherMode::sierra,         DitherMode::two_row_sierra,  DitherMode::sierra_lite,
    DitherMode::bayer,          DitherMode::blue_noise,
};
constexpr DitherMode kNamedKernels[] = {
    DitherMode::floyd_steinberg, DitherMode::atkinson, DitherMode::jarvis_judice_ninke,
    DitherMode::stucki,          DitherMode::burkes,   DitherMode::sierra,
    DitherMode::two_row_sierra,  DitherMode::sierra_lite,
};
constexpr DitherMode kDiffusionModes[] = {
    DitherMode::matrix, DitherMode::floyd_steinberg, DitherMode::atkinson,
    DitherMode::jarvis_judice_ninke, DitherMode::stucki, DitherMode::burkes,
    DitherMode::sierra, DitherMode::two_row_sierra, DitherMode::sierra_lite,
};

const Kernel kFloydSteinberg = {0, 0, 0, 0, 0, 28672, 12288, 20480, 4096};

std::string name_of(DitherMode m) { return std::string(dither_mode_name(m)); }

GreyBuffer filled(uint8_t v) {
  GreyBuffer g;
  g.fill(v);
  return g;
}

// A deterministic spread of grey values.
GreyBuffer noisy(uint32_t seed) {
  GreyBuffer g;
  for (uint8_t& v : g) {
    seed = seed * 1103515245 + 12345;
    v = static_cast<uint8_t>(seed >> 16);
  }
  return g;
}

// A smooth picture, like a photograph's large shapes: gradients and a disc.
GreyBuffer smooth(int shift = 0) {
  GreyBuffer g;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const int sx = x + shift;
      const int disc = (sx - 50) * (sx - 50) + (y - 30) * (y - 30) < 300 ? 60 : 0;
      g[y * kWidth + x] = static_cast<uint8_t>(std::clamp(sx * 2 + y + disc, 0, 254));
    }
  return g;
}

// `g` plus a small deterministic noise of -amp..amp on every pixel.
GreyBuffer jittered(const GreyBuffer& g, uint32_t seed, int amp) {
  GreyBuffer out;
  for (int i = 0; i < kPixels; ++i) {
    seed = seed * 1664525 + 1013904223;
    const int noise = static_cast<int>(seed >> 16) % (2 * amp + 1) - amp;
    out[i] = static_cast<uint8_t>(std::clamp(g[i] + noise, 0, 255));
  }
  return out;
}

GreyBuffer mirrored(const GreyBuffer& g) {
  GreyBuffer m;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) m[y * kWidth + x] = g[y * kWidth + kWidth - 1 - x];
  return m;
}

GreyBuffer run(const GreyBuffer& g, Shades shades, DitherOptions o, const Kernel& matrix = kFloydSteinberg) {
  DitherHistory history;
  GreyBuffer out;
  dither_frame(g, shades, matrix, o, history, out);
  return out;
}

// The mode as movdith runs it: the steady mode with the mode's own tuning.
DitherOptions options(DitherMode mode, bool serpentine = false, bool stable = false) {
  DitherOptions o;
  o.mode = mode;
  o.serpentine = serpentine;
  o.stable = stable;
  o.tuning = stable_tuning(mode);
  return o;
}

// The steady mode with the search alone, whose rules some tests pin.
DitherOptions search_options(DitherMode mode) {
  DitherOptions o = options(mode, false, true);
  o.tuning.method = SteadyMethod::search;
  return o;
}

int count_of(const GreyBuffer& g, uint8_t v) { return static_cast<int>(std::count(g.begin(), g.end(), v)); }

int flips(const GreyBuffer& a, const GreyBuffer& b) {
  int n = 0;
  for (int i = 0; i < kPixels; ++i) n += a[i] != b[i];
  return n;
}

}  // namespace

// --- Names -------------------------------------------------------------------

TEST(DitherNames, EveryModeHasItsName) {
  const struct {
    DitherMode mode;
    const char* name;
  } cases[] = {
      {DitherMode::matrix, "matrix"},
      {DitherMode::floyd_steinberg, "floyd-steinberg"},
      {DitherMode::atkinson, "atkinson"},
      {DitherMode::jarvis_judice_ninke, "jarvis-judice-ninke"},
      {DitherMode::stucki, "stucki"},
      {DitherMode::burkes, "burkes"},
      {DitherMode::sierra, "sierra"},
      {DitherMode::two_row_sierra, "two-row-sierra"},
      {DitherMode::sierra_lite, "sierra-lite"},
      {DitherMode::bayer, "bayer"},
      {DitherMode::blue_noise, "blue-noise"},
  };
  static_assert(std::size(cases) == kDitherModeCount);
  for (const auto& c : cases) {
    EXPECT_EQ(dither_mode_name(c.mode), c.name);
    DitherMode m = c.mode == DitherMode::bayer ? DitherMode::matrix : DitherMode::bayer;
    EXPECT_TRUE(dither_mode_from_name(c.name, m)) << c.name;
    EXPECT_EQ(m, c.mode) << c.name;
  }
}

TEST(DitherNames, UnknownNamesLeaveTheModeAlone) {
  for (const char* name : {"", "Floyd-Steinberg", "floyd_steinberg", "bayer ", " bayer", "blue",
                           "sierra-lite-", "jjn", "two row sierra", "matrix\n"}) {
    DitherMode m = DitherMode::stucki;
    EXPECT_FALSE(dither_mode_from_name(name, m)) << '"' << name << '"';
    EXPECT_EQ(m, DitherMode::stucki) << '"' << name << '"';
  }
}

// --- The named kernels ---------------------------------------------------------

TEST(DitherKernels, TapsAreThePublishedWeights) {
  struct Case {
    DitherMode mode;
    int divisor;
    std::vector<DiffusionTap> taps;
  };
  const Case cases[] = {
      {DitherMode::floyd_steinberg, 16, {{1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}}},
      {DitherMode::atkinson, 8, {{1, 0, 1}, {2, 0, 1}, {-1, 1, 1}, {0, 1, 1}, {1, 1, 1}, {0, 2, 1}}},
      {DitherMode::jarvis_judice_ninke,
       48,
       {{1, 0, 7}, {2, 0, 5}, {-2, 1, 3}, {-1, 1, 5}, {0, 1, 7}, {1, 1, 5}, {2, 1, 3}, {-2, 2, 1},
        {-1, 2, 3}, {0, 2, 5}, {1, 2, 3}, {2, 2, 1}}},
      {DitherMode::stucki,
       42,
       {{1, 0, 8}, {2, 0, 4}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2}, {-2, 2, 1},
        {-1, 2, 2}, {0, 2, 4}, {1, 2, 2}, {2, 2, 1}}},
      {DitherMode::burkes, 32, {{1, 0, 8}, {2, 0, 4}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2}}},
      {DitherMode::sierra,
       32,
       {{1, 0, 5}, {2, 0, 3}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 5}, {1, 1, 4}, {2, 1, 2}, {-1, 2, 2},
        {0, 2, 3}, {1, 2, 2}}},
      {DitherMode::two_row_sierra, 16, {{1, 0, 4}, {2, 0, 3}, {-2, 1, 1}, {-1, 1, 2}, {0, 1, 3}, {1, 1, 2}, {2, 1, 1}}},
      {DitherMode::sierra_lite, 4, {{1, 0, 2}, {-1, 1, 1}, {0, 1, 1}}},
  };
  static_assert(std::size(cases) == std::size(kNamedKernels));
  for (const Case& c : cases) {
    const DiffusionKernel k = diffusion_kernel(c.mode);
    EXPECT_EQ(k.divisor, c.divisor) << name_of(c.mode);
    ASSERT_EQ(k.taps.size(), c.taps.size()) << name_of(c.mode);
    for (size_t t = 0; t < c.taps.size(); ++t) {
      EXPECT_EQ(k.taps[t].dx, c.taps[t].dx) << name_of(c.mode) << " tap " << t;
      EXPECT_EQ(k.taps[t].dy, c.taps[t].dy) << name_of(c.mode) << " tap " << t;
      EXPECT_EQ(k.taps[t].share, c.taps[t].share) << name_of(c.mode) << " tap " << t;
    }
  }
  for (DitherMode m : {DitherMode::matrix, DitherMode::bayer, DitherMode::blue_noise}) {
    EXPECT_EQ(diffusion_kernel(m).divisor, 0) << name_of(m);
    EXPECT_TRUE(diffusion_kernel(m).taps.empty()) << name_of(m);
  }
}

// An error that is a whole multiple of the divisor divides exactly: each
// neighbour gets share x multiple, and nothing lands anywhere else.
TEST(DitherKernels, OneErrorReachesExactlyTheTaps) {
  for (DitherMode m : kNamedKernels) {
    const DiffusionKernel k = diffusion_kernel(m);
    for (int multiple : {2, -2, 5, -5}) {
      const int err = k.divisor * multiple;
      if (std::abs(err) > 255) continue;
      ErrorSpread want{};
      for (const DiffusionTap& t : k.taps) want[t.dy][t.dx + 2] = t.share * multiple;
      EXPECT_EQ(spread_of_error(m, err, false), want) << name_of(m) << " error " << err;
    }
  }
}

// Floyd-Steinberg's shares of a few errors, rounded on the running total.
TEST(DitherKernels, FloydSteinbergRoundsOnTheRunningTotal) {
  const struct {
    int err;
    int right, below_left, below, below_right;
  } cases[] = {
      {-127, -56, -23, -40, -8},  // -55.56, -79.38, -119.06, -127
      {127, 56, 23, 40, 8},
      {72, 32, 13, 23, 4},        // 31.5 -> 32, 45, 67.5 -> 68, 72
      {2, 1, 0, 1, 0},            // 0.875 -> 1, 1.25 -> 1, 1.875 -> 2, 2
      {-2, -1, 0, -1, 0},
      {3, 1, 1, 1, 0},            // 1.31 -> 1, 1.88 -> 2, 2.81 -> 3, 3
  };
  for (const auto& c : cases) {
    ErrorSpread want{};
    want[0][3] = c.right;
    want[1][1] = c.below_left;
    want[1][2] = c.below;
    want[1][3] = c.below_right;
    EXPECT_EQ(spread_of_error(DitherMode::floyd_steinberg, c.err, false), want) << "error " << c.err;
  }
}

// Nothing is lost to rounding: the shares add up to the rounded whole, each
// within one level of its exact part, and an error and its negative spread
// as mirror images. Errors of one level are not spread at all.
TEST(DitherKernels, SharesAddUpAndErrorsOfOneLevelAreDropped) {
  for (DitherMode m : kNamedKernels) {
    const DiffusionKernel k = diffusion_kernel(m);
    int total_share = 0;
    for (const DiffusionTap& t : k.taps) total_share += t.share;
    for (int err = -255; err <= 255; ++err) {
      const ErrorSpread s = spread_of_error(m, err, false);
      int sum = 0;
      for (const auto& row : s) sum = std::accumulate(row.begin(), row.end(), sum);
      if (std::abs(err) <= 1) {
        EXPECT_EQ(sum, 0) << name_of(m) << " error " << err;
        EXPECT_EQ(s, ErrorSpread{}) << name_of(m) << " error " << err;
        continue;
      }
      const double whole = double(err) * total_share / k.divisor;
      EXPECT_EQ(sum, static_cast<int>(std::lround(whole))) << name_of(m) << " error " << err;
      for (const DiffusionTap& t : k.taps)
        EXPECT_LE(std::abs(s[t.dy][t.dx + 2] - double(err) * t.share / k.divisor), 1.0)
            << name_of(m) << " error " << err;
      ErrorSpread negated = spread_of_error(m, -err, false);
      for (auto& row : negated)
        for (int& v : row) v = -v;
      EXPECT_EQ(s, negated) << name_of(m) << " error " << err;
    }
    // Two levels off is the first error that is spread.
    EXPECT_NE(spread_of_error(m, 2, false), ErrorSpread{}) << name_of(m);
    EXPECT_NE(spread_of_error(m, -2, false), ErrorSpread{}) << name_of(m);
  }
}

// Sampling turns white into 254 and tone reduction leaves values a level off
// a display level; those stay flat. Two levels off is real grey, except for
// Atkinson, which passes on only 6/8 of each error and so lets small errors
// die out (its highlights and shadows go flat by design).
TEST(DitherKernels, OneLevelOffADisplayLevelStaysFlat) {
  for (DitherMode m : kNamedKernels) {
    EXPECT_EQ(run(filled(254), Shades::two, options(m)), filled(255)) << name_of(m);
    EXPECT_EQ(run(filled(1), Shades::two, options(m)), filled(0)) << name_of(m);
    for (uint8_t v : {84, 86, 169, 171, 254}) {
      const uint8_t level = static_cast<uint8_t>((v + 1) / 85 * 85);
      EXPECT_EQ(run(filled(v), Shades::four, options(m)), filled(level)) << name_of(m) << " grey " << int(v);
    }
    if (m == DitherMode::atkinson) continue;
    EXPECT_GT(count_of(run(filled(253), Shades::two, options(m)), 0), 0) << name_of(m);
    EXPECT_GT(count_of(run(filled(2), Shades::two, options(m)), 255), 0) << name_of(m);
    EXPECT_NE(run(filled(87), Shades::four, options(m)), filled(85)) << name_of(m);
  }
  EXPECT_EQ(run(filled(224), Shades::two, options(DitherMode::atkinson)), filled(255));
  // The default path rounds toward minus infinity and so does darken 254.
  EXPECT_EQ(count_of(run(filled(254), Shades::two, options(DitherMode::matrix)), 0), 53);
}

// Error diffusion keeps a flat grey's mean, short of what falls off the
// right and bottom edges. Atkinson keeps it only at mid-grey: it pushes
// darker greys darker and lighter ones lighter.
TEST(DitherKernels, FlatGreysKeepTheirMean) {
  for (DitherMode m : kNamedKernels) {
    for (int v : {32, 64, 96, 128, 160, 192, 224}) {
      if (m == DitherMode::atkinson && v != 128) continue;
      for (int32_t grey : {0, 1}) {
        const GreyBuffer out = run(filled(static_cast<uint8_t>(v)), shades_for(grey), options(m));
        const double mean = std::accumulate(out.begin(), out.end(), 0.0) / kPixels;
        EXPECT_NEAR(mean, v, 3.0) << name_of(m) << " grey " << grey << " value " << v;
      }
    }
  }
}

namespace {

// Error diffusion written out plainly: cells of value plus received error,
// read clamped to 0..255, quantised to the nearest level (ties up), the
// error's shares from spread_of_error added to the neighbours that lie inside
// the picture, odd rows right to left when serpentine.
GreyBuffer reference_diffusion(const GreyBuffer& g, DitherMode m, int32_t grey, bool serpentine) {
  std::vector<int> cell(g.begin(), g.end());
  GreyBuffer out{};
  for (int y = 0; y < kHeight; ++y) {
    const bool back = serpentine && y % 2 == 1;
    for (int n = 0; n < kWidth; ++n) {
      const int x = back ? kWidth - 1 - n : n;
      const int v = std::clamp(cell[y * kWidth + x], 0, 255);
      const int q = grey == 0 ? (v >= 128 ? 255 : 0) : closestg(static_cast<uint8_t>(v));
      out[y * kWidth + x] = static_cast<uint8_t>(q);
      const ErrorSpread s = spread_of_error(m, v - q, back);
      for (int dy = 0; dy < 3; ++dy)
        for (int dx = -2; dx <= 2; ++dx)
          if (y + dy < kHeight && x + dx >= 0 && x + dx < kWidth) cell[(y + dy) * kWidth + x + dx] += s[dy][dx + 2];
    }
  }
  return out;
}

}  // namespace

TEST(DitherKernels, DiffusionLoopMatchesThePlainDefinition) {
  const GreyBuffer pictures[] = {noisy(21), smooth(), jittered(smooth(5), 9, 30), filled(77)};
  for (DitherMode m : kNamedKernels)
    for (int32_t grey : {0, 1})
      for (bool serpentine : {false, true})
        for (const GreyBuffer& g : pictures)
          ASSERT_EQ(run(g, shades_for(grey), options(m, serpentine)), reference_diffusion(g, m, grey, serpentine))
              << name_of(m) << " grey " << grey << (serpentine ? " serpentine" : "");
}

TEST(DitherKernels, FloydSteinbergOnMidGreyStartsWhiteBlackWhite) {
  const GreyBuffer out = run(filled(128), Shades::two, options(DitherMode::floyd_steinberg));
  // 128 -> 255 (error -127, -56 to the right); 72 -> 0 (error 72, +32); 160 -> 255.
  EXPECT_EQ(out[0], 255);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], 255);
}

// --- Serpentine ------------------------------------------------------------------

TEST(DitherSerpentine, MirroredSpreadSendsEachShareToTheOtherSide) {
  for (DitherMode m : kNamedKernels)
    for (int err : {-200, -37, 2, 90, 255}) {
      const ErrorSpread plain = spread_of_error(m, err, false);
      const ErrorSpread mirror = spread_of_error(m, err, true);
      for (int dy = 0; dy < 3; ++dy)
        for (int dx = 0; dx < 5; ++dx)
          EXPECT_EQ(mirror[dy][dx], plain[dy][4 - dx]) << name_of(m) << " error " << err;
      // The mirrored spread reaches the left: nothing can be symmetric with
      // a share on the right of the pixel itself.
      EXPECT_NE(mirror, plain) << name_of(m);
    }
}

// The top row is scanned left to right; the second right to left with the
// kernel mirrored, which is what a plain scan of the mirrored picture does,
// as long as the row above passes no error down (it sits on display levels).
TEST(DitherSerpentine, OddRowsAreThePlainScanMirrored) {
  GreyBuffer g = noisy(7);
  for (int x = 0; x < kWidth; ++x) g[x] = (x * 37 % 5 < 2) ? 0 : 255;
  const GreyBuffer noisier = noisy(8);
  for (DitherMode m : kDiffusionModes) {
    for (int32_t grey : {0, 1}) {
      const GreyBuffer snake = run(g, shades_for(grey), options(m, true));
      const GreyBuffer plain = run(g, shades_for(grey), options(m));
      const GreyBuffer flipped = mirrored(run(mirrored(g), shades_for(grey), options(m)));
      for (int x = 0; x < kWidth; ++x) {
        ASSERT_EQ(snake[x], plain[x]) << name_of(m) << " x=" << x;
        ASSERT_EQ(snake[kWidth + x], flipped[kWidth + x]) << name_of(m) << " x=" << x;
      }
      // And further down the two scans part ways.
      EXPECT_NE(run(noisier, shades_for(grey), options(m, true)), run(noisier, shades_for(grey), options(m))) << name_of(m);
    }
  }
}

TEST(DitherSerpentine, OrderedModesIgnoreIt) {
  for (DitherMode m : {DitherMode::bayer, DitherMode::blue_noise})
    for (int32_t grey : {0, 1})
      EXPECT_EQ(run(noisy(3), shades_for(grey), options(m, true)), run(noisy(3), shades_for(grey), options(m))) << name_of(m);
}

// --- Masks -----------------------------------------------------------------------

TEST(DitherMasks, BayerHoldsEachRankOnce) {
  const BayerMask m = bayer_mask();
  std::set<int> ranks(m.begin(), m.end());
  EXPECT_EQ(ranks.size(), size_t{kBayerCells});
  EXPECT_EQ(*ranks.begin(), 0);
  EXPECT_EQ(*ranks.rbegin(), kBayerCells - 1);
}

// The recursive construction's defining property: the first 4^k ranks are
// the lattice of step 8 / 2^k, and the first 2 x 4^k add that lattice's
// centres, so every prefix of the ranking is spread as evenly as it can be.
TEST(DitherMasks, BayerPrefixesAreLattices) {
  const BayerMask m = bayer_mask();
  for (int k = 0; k <= 3; ++k) {
    const int step = kBayerSide >> k;
    const int quarter = 1 << (2 * k);  // 4^k
    for (int y = 0; y < kBayerSide; ++y)
      for (int x = 0; x < kBayerSide; ++x) {
        const int r = m[y * kBayerSide + x];
        const bool on_lattice = x % step == 0 && y % step == 0;
        const bool on_centre = step > 1 && x % step == step / 2 && y % step == step / 2;
        EXPECT_EQ(r < quarter, on_lattice) << "k=" << k << " x=" << x << " y=" << y;
        if (k < 3) {
          EXPECT_EQ(r < 2 * quarter, on_lattice || on_centre) << "k=" << k << " x=" << x << " y=" << y;
        }
      }
  }
  EXPECT_EQ(m[0], 0);
  EXPECT_EQ(m[1], 32);
  EXPECT_EQ(m[kBayerSide + 1], 16);
}

TEST(DitherMasks, BlueNoiseHoldsEachRankOnceAndIsTheSameEveryTime) {
  BlueNoiseMask a, b;
  make_blue_noise(a);
  make_blue_noise(b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(blue_noise_mask(), a);
  std::vector<int> seen(kBlueNoiseCells, 0);
  for (uint16_t r : a) {
    ASSERT_LT(r, kBlueNoiseCells);
    ++seen[r];
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kBlueNoiseCells);
  // Pinned, so that a change of the generator (or a machine where it comes
  // out differently) shows up here rather than as a different movie.
  EXPECT_EQ(std::vector<int>(a.begin(), a.begin() + 8),
            (std::vector<int>{3988, 695, 1128, 3220, 3792, 534, 1556, 318}));
}

namespace {

// The mean power of the pattern "rank < level" at spatial frequencies
// 0 < |f| <= 4 cycles per side, as a share of white noise's N p (1 - p).
double low_frequency_share(const std::vector<int>& ranks, int level) {
  const int side = kBlueNoiseSide, cells = kBlueNoiseCells;
  const double p = double(level) / cells;
  double total = 0;
  int count = 0;
  for (int u = -4; u <= 4; ++u)
    for (int v = 0; v <= 4; ++v) {
      if (u * u + v * v > 16 || (v == 0 && u <= 0)) continue;
      double re = 0, im = 0;
      for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
          if (ranks[y * side + x] < level) {
            const double a = 2 * std::numbers::pi * (u * x + v * y) / side;
            re += std::cos(a);
            im += std::sin(a);
          }
      total += re * re + im * im;
      ++count;
    }
  return total / count / (cells * p * (1 - p));
}

// The fewest and most of the first half of the ranks in any 8 x 8 window,
// windows wrapping around as the mask tiles.
std::pair<int, int> half_counts_in_windows(const std::vector<int>& ranks) {
  const int side = kBlueNoiseSide;
  int lo = 64, hi = 0;
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      int n = 0;
      for (int dy = 0; dy < 8; ++dy)
        for (int dx = 0; dx < 8; ++dx) n += ranks[((y + dy) % side) * side + (x + dx) % side] < kBlueNoiseCells / 2;
      lo = std::min(lo, n);
      hi = std::max(hi, n);
    }
  return {lo, hi};
}

std::vector<int> white_noise_ranks() {
  std::vector<int> r(kBlueNoiseCells);
  std::iota(r.begin(), r.end(), 0);
  uint32_t s = 99;
  for (int i = kBlueNoiseCells - 1; i > 0; --i) {
    s = s * 1664525 + 1013904223;
    std::swap(r[i], r[(s >> 8) % (i + 1)]);
  }
  return r;
}

}  // namespace

// Blue noise has almost no energy at low frequencies, which is what makes it
// look even: at every density checked, the power there is under a tenth of
// white noise's. A shuffled mask (white noise) is checked the same way to
// show the measure tells them apart.
TEST(DitherMasks, BlueNoiseHasNoLowFrequencyClumps) {
  const BlueNoiseMask& mask = blue_noise_mask();
  const std::vector<int> blue(mask.begin(), mask.end());
  const std::vector<int> white = white_noise_ranks();
  for (int level : {512, 1024, 2048, 3072, 3584}) {
    EXPECT_LT(low_frequency_share(blue, level), 0.1) << "level " << level;
    EXPECT_GT(low_frequency_share(white, level), 0.5) << "level " << level;
  }
}

// Every 8 x 8 window holds 32 +- 4 of the first half of the ranks; white
// noise strays much further.
TEST(DitherMasks, BlueNoiseWindowsAreEven) {
  const BlueNoiseMask& mask = blue_noise_mask();
  const auto [lo, hi] = half_counts_in_windows(std::vector<int>(mask.begin(), mask.end()));
  EXPECT_GE(lo, 28);
  EXPECT_LE(hi, 36);
  const auto [wlo, whi] = half_counts_in_windows(white_noise_ranks());
  EXPECT_TRUE(wlo < 28 || whi > 36) << wlo << ".." << whi;
}

// --- Ordered dithering --------------------------------------------------------------

// Bayer: one pixel of each 8 x 8 tile per rank; 96 x 64 holds 96 tiles.
TEST(DitherOrdered, BayerLightsOnePixelPerTileForEachRankReached) {
  const struct {
    int value, white;
  } cases[] = {
      {0, 0}, {1, 0}, {2, 96}, {3, 96}, {128, 3072}, {252, 6048}, {253, 6048}, {254, 6144}, {255, 6144},
  };
  for (const auto& c : cases)
    EXPECT_EQ(count_of(run(filled(static_cast<uint8_t>(c.value)), Shades::two, options(DitherMode::bayer)), 255), c.white)
        << "value " << c.value;
}

TEST(DitherOrdered, GreyLevelsSplitBetweenNeighbouringLevels) {
  for (DitherMode m : {DitherMode::bayer, DitherMode::blue_noise}) {
    for (uint8_t v : {0, 1, 84, 85, 86, 169, 170, 171, 254, 255}) {
      const uint8_t level = static_cast<uint8_t>((v + 1) / 85 * 85);
      EXPECT_EQ(run(filled(v), Shades::four, options(m)), filled(level)) << name_of(m) << " value " << int(v);
    }
  }
  // Half way between 85 and 170: half of each.
  const GreyBuffer out = run(filled(128), Shades::four, options(DitherMode::bayer));
  EXPECT_EQ(count_of(out, 85), kPixels / 2);
  EXPECT_EQ(count_of(out, 170), kPixels / 2);
}

// Within one whole 64 x 64 mask, value v lights v / 255 of the pixels:
// 128 lights 2056 of 4096 (the ranks r with 255 (2r + 1) / 8192 <= 128).
// No threshold is below 2, so 2 also lights the 16 ranks that would be 1.
TEST(DitherOrdered, BlueNoiseLightsItsShareOfEachFullMask) {
  const struct {
    int value, white;
  } cases[] = {{1, 0}, {2, 32}, {64, 1028}, {127, 2040}, {128, 2056}, {129, 2072}, {253, 4064}, {254, 4096}};
  for (const auto& c : cases) {
    const GreyBuffer out = run(filled(static_cast<uint8_t>(c.value)), Shades::two, options(DitherMode::blue_noise));
    int white = 0;
    for (int y = 0; y < kBlueNoiseSide; ++y)
      for (int x = 0; x < kBlueNoiseSide; ++x) white += out[y * kWidth + x] == 255;
    EXPECT_EQ(white, c.white) << "value " << c.value;
  }
}

TEST(DitherOrdered, EachPixelDependsOnlyOnItsOwnValue) {
  for (DitherMode m : {DitherMode::bayer, DitherMode::blue_noise}) {
    GreyBuffer g = noisy(11);
    const GreyBuffer before = run(g, Shades::two, options(m));
    g[500] = static_cast<uint8_t>(g[500] ^ 0x80);
    const GreyBuffer after = run(g, Shades::two, options(m));
    for (int i = 0; i < kPixels; ++i)
      if (i != 500) {
        ASSERT_EQ(before[i], after[i]) << name_of(m) << " i=" << i;
      }
  }
}

// --- Levels in every mode -------------------------------------------------------------

TEST(DitherGrey, EveryModeGivesOnlyDisplayLevels) {
  for (DitherMode m : kAllModes)
    for (bool serpentine : {false, true})
      for (bool stable : {false, true}) {
        DitherHistory history;
        GreyBuffer out;
        for (uint32_t frame = 0; frame < 3; ++frame) {
          dither_frame(jittered(smooth(static_cast<int>(frame)), frame, 3), Shades::four, kFloydSteinberg,
                       options(m, serpentine, stable), history, out);
          for (uint8_t q : out)
            ASSERT_TRUE(q == 0 || q == 85 || q == 170 || q == 255) << name_of(m) << " " << int(q);
          EXPECT_GT(count_of(out, 85) + count_of(out, 170), kPixels / 4) << name_of(m);
        }
        history.reset();
        for (uint32_t frame = 0; frame < 3; ++frame) {
          dither_frame(jittered(smooth(static_cast<int>(frame)), frame, 3), Shades::two, kFloydSteinberg,
                       options(m, serpentine, stable), history, out);
          EXPECT_EQ(count_of(out, 0) + count_of(out, 255), kPixels) << name_of(m);
        }
      }
}

TEST(DitherGrey, FlatDisplayLevelsStayFlatInEveryMode) {
  for (DitherMode m : kAllModes)
    for (bool stable : {false, true})
      for (uint8_t v : {0, 85, 170, 255}) {
        DitherHistory history;
        GreyBuffer out;
        for (int frame = 0; frame < 2; ++frame) {
          dither_frame(filled(v), Shades::four, kFloydSteinberg, options(m, false, stable), history, out);
          EXPECT_EQ(out, filled(v)) << name_of(m) << " value " << int(v);
        }
      }
}

// --- The default path -----------------------------------------------------------------

TEST(DitherDefault, MatrixModeIsDitherByteForByte) {
  const Kernel kernels[] = {
      kFloydSteinberg,
      {},                                          // plain thresholding
      {0, 0, 0, 0, 0, 21845, 0, 21845, 0},         // the usage text's other suggestion
      {7, -9, 11, 3, 5, 40000, -20000, 30000, 70000},  // every position, some negative
      {0, 0, 0, 0, 0, INT32_MAX, INT32_MIN, INT32_MAX, 0},
  };
  for (const Kernel& k : kernels)
    for (int32_t grey : {0, 1, 2})
      for (uint32_t seed : {1u, 2u, 3u}) {
        const GreyBuffer g = noisy(seed);
        GreyBuffer designed = g, want, got;
        dither(designed, shades_for(grey), k, want);
        DitherHistory history;
        dither_frame(g, shades_for(grey), k, DitherOptions{}, history, got);
        EXPECT_EQ(got, want) << "grey " << grey << " seed " << seed << " kernel[5] " << k[5];
        EXPECT_FALSE(history.primed);
      }
}

// The steady mode's first frame is the mode's own dithering, as it comes:
// so the diffusion loop, run with the settings' kernel, must be dither().
TEST(DitherDefault, DiffusionLoopWithTheSettingsKernelIsDither) {
  const DitherOptions o = options(DitherMode::matrix, false, true);
  // The last two clamp cells often, where the order of a cell's adds shows.
  const Kernel kernels[] = {kFloydSteinberg, {0, 0, 0, 0, 0, 21845, 0, 21845, 0},
                            {9, 9, 9, 9, 9, 16384, 16384, 16384, 16384},
                            {7, -9, 11, 3, 5, 40000, -20000, 30000, 70000},
                            {0, 0, 0, 0, 0, 30000, 50000, -60000, 45000}};
  for (const Kernel& k : kernels)
    for (int32_t grey : {0, 1})
      for (const GreyBuffer& g : {smooth(), jittered(smooth(3), 5, 20), filled(254), filled(128), noisy(5)}) {
        GreyBuffer designed = g, want, got;
        dither(designed, shades_for(grey), k, want);
        DitherHistory history;
        dither_frame(g, shades_for(grey), k, o, history, got);
        EXPECT_EQ(got, want) << "grey " << grey << " kernel[5] " << k[5];
      }
}

TEST(DitherDefault, SerpentineTopRowIsDither) {
  for (int32_t grey : {0, 1}) {
    GreyBuffer g = noisy(4), want;
    GreyBuffer designed = g;
    dither(designed, shades_for(grey), kFloydSteinberg, want);
    const GreyBuffer got = run(g, shades_for(grey), options(DitherMode::matrix, true));
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + kWidth, want.begin()));
    EXPECT_NE(got, want);
  }
}

// --- The steady mode -----------------------------------------------------------------------

TEST(DitherStable, IdenticalFramesGiveIdenticalShades) {
  for (DitherMode m : kAllModes)
    for (int32_t grey : {0, 1}) {
      DitherHistory history;
      GreyBuffer first, second, third, fourth;
      const DitherOptions o = options(m, false, true);
      const GreyBuffer a = jittered(smooth(), 1, 3), b = jittered(smooth(1), 2, 3);
      dither_frame(a, shades_for(grey), kFloydSteinberg, o, history, first);
      dither_frame(b, shades_for(grey), kFloydSteinberg, o, history, second);
      dither_frame(b, shades_for(grey), kFloydSteinberg, o, history, third);
      dither_frame(b, shades_for(grey), kFloydSteinberg, o, history, fourth);
      EXPECT_EQ(third, second) << name_of(m) << " grey " << grey;
      EXPECT_EQ(fourth, second) << name_of(m) << " grey " << grey;
      EXPECT_TRUE(history.primed);
      EXPECT_EQ(history.shades, fourth);
      EXPECT_EQ(history.source, b);
    }
}

// A still picture under light noise: plain error diffusion reshuffles a
// large share of its pixels every frame; the steady mode keeps nearly all.
// Its first frame is the mode's own dithering, which the search improves
// once, in the second (that frame is left out, as the first after any cut).
TEST(DitherStable, NoisyStillPictureBarelyFlips) {
  constexpr int kFrames = 12, kCounted = kFrames - 2;
  for (DitherMode m : kAllModes)
    for (int32_t grey : {0, 1}) {
      DitherHistory steady_history, plain_history;
      GreyBuffer steady, plain, last_steady, last_plain;
      int steady_flips = 0, plain_flips = 0;
      for (uint32_t frame = 0; frame < kFrames; ++frame) {
        const GreyBuffer g = jittered(smooth(), 100 + frame, 2);
        dither_frame(g, shades_for(grey), kFloydSteinberg, options(m, false, true), steady_history, steady);
        dither_frame(g, shades_for(grey), kFloydSteinberg, options(m), plain_history, plain);
        if (frame > 1) {
          steady_flips += flips(steady, last_steady);
          plain_flips += flips(plain, last_plain);
        }
        last_steady = steady;
        last_plain = plain;
      }
      EXPECT_LT(steady_flips, kCounted * kPixels / 100) << name_of(m) << " grey " << grey;  // under 1 % a frame
      if (m != DitherMode::bayer && m != DitherMode::blue_noise) {
        EXPECT_GT(plain_flips, kCounted * kPixels / 10) << name_of(m) << " grey " << grey;  // over 10 % a frame
      }
    }
}

// A pixel changes only when the blurred error it removes is worth more than
// its hold price: all black, then one pixel of value v. Turning it white
// gains 36 x 255 x (2v - 255) in the search's units, against 256 x price;
// a grey step of 85 gains 36 x 85 x (2v - 85). Without a fade the price
// stands however far the source moved; with one (2 levels: 16) a pixel
// whose source moved that far holds nothing, and one that moved less holds
// the share of the price that is left: 256 x price x (fade - v) / fade.
// (Brighter single pixels draw in their neighbours too, which see them
// through the blur.)
TEST(DitherStable, PixelChangesWhenTheGainBeatsItsHoldPrice) {
  const struct {
    int32_t grey;
    int price, fade;
    int value;
    int shade;
  } cases[] = {
      {0, 400, 0, 133, 0},  {0, 400, 0, 134, 255}, {0, 400, 0, 135, 255},
      {0, 0, 0, 127, 0},    {0, 0, 0, 128, 255},
      {0, 400, 16, 127, 0}, {0, 400, 16, 128, 255},  // moved 128 levels: nothing to hold
      {1, 100, 0, 46, 0},   {1, 100, 0, 47, 85},     {1, 100, 0, 48, 85},
      {1, 0, 0, 42, 0},     {1, 0, 0, 43, 85},
      {1, 100, 16, 42, 0},  {1, 100, 16, 43, 85},    // moved past the fade: nothing to hold
      {1, 100, 100, 44, 0}, {1, 100, 100, 45, 85},   // 100 - value of 100 levels of fade left
  };
  for (const auto& c : cases) {
    DitherOptions o = search_options(DitherMode::floyd_steinberg);
    SteadyLevels& levels = c.grey ? o.tuning.four : o.tuning.two;
    levels.hold_price = c.price;
    levels.fade = c.fade;
    levels.sharpen = 0;  // the target as it is: the arithmetic above
    DitherHistory history;
    GreyBuffer out;
    dither_frame(filled(0), shades_for(c.grey), kFloydSteinberg, o, history, out);
    ASSERT_EQ(out, filled(0));
    GreyBuffer g = filled(0);
    const int at = 30 * kWidth + 40;
    g[at] = static_cast<uint8_t>(c.value);
    dither_frame(g, shades_for(c.grey), kFloydSteinberg, o, history, out);
    GreyBuffer want = filled(0);
    want[at] = static_cast<uint8_t>(c.shade);
    EXPECT_EQ(out, want) << "grey " << c.grey << " price " << c.price << " fade " << c.fade << " value " << c.value;
  }
}

// An edge between two greys, as an eye's rim against the fur: in two levels
// the search draws towards the picture sharpened, as error diffusion's own
// drawing sharpens it, so the column just on the dark side of the edge is
// darker than the dark grey's own share, and the one on the light side
// lighter; towards the picture itself, both are about the greys' shares.
TEST(DitherStable, TwoLevelsDrawEdgesSharpened) {
  GreyBuffer picture;
  for (int i = 0; i < kPixels; ++i) picture[i] = i % kWidth < 48 ? 100 : 160;
  const auto dark_by_column = [&](int sharpen) {
    DitherOptions o = search_options(DitherMode::floyd_steinberg);
    o.tuning.two.sharpen = sharpen;
    DitherHistory history;
    GreyBuffer out;
    for (uint32_t frame = 0; frame < 4; ++frame)
      dither_frame(jittered(picture, frame, 1), Shades::two, kFloydSteinberg, o, history, out);
    std::array<int, kWidth> dark{};
    for (int y = 4; y < kHeight - 4; ++y)
      for (int x = 0; x < kWidth; ++x) dark[x] += out[y * kWidth + x] == 0;
    return dark;
  };
  // Of 56 rows. The sharpened picture is 85 and 175 beside the edge (100
  // and 160 blurred with their neighbours to 115 and 145, the difference
  // added): 37 and 18 dark pixels' worth, against 34 and 22 for 100 and 160.
  const auto sharpened = dark_by_column(100), plain = dark_by_column(0);
  EXPECT_GE(sharpened[47], plain[47] + 2);
  EXPECT_LE(sharpened[48], plain[48] - 2);
  EXPECT_NEAR(sharpened[20], 34, 2);  // far from the edge, the grey's own share
  EXPECT_NEAR(plain[20], 34, 2);
}

// Two dots that move one pixel apart, each alone a change the blurred error
// does not pay for (a dot turned off, or on, costs more than it brings), and
// no move of the whole picture explains: only moving the level to the
// neighbour follows them, and it does, in both level counts.
TEST(DitherStable, ALevelMovesToItsNeighbour) {
  for (int32_t grey : {0, 1}) {
    const uint8_t dot = grey ? kDarkGrey : kWhite;
    DitherOptions o = options(DitherMode::floyd_steinberg, false, true);
    DitherHistory history;
    GreyBuffer before = filled(0), after = filled(0), out;
    before[20 * kWidth + 30] = before[40 * kWidth + 60] = dot;
    after[20 * kWidth + 31] = after[40 * kWidth + 59] = dot;
    dither_frame(before, shades_for(grey), kFloydSteinberg, o, history, out);
    ASSERT_EQ(out, before) << "grey " << grey;
    dither_frame(after, shades_for(grey), kFloydSteinberg, o, history, out);
    EXPECT_EQ(out, after) << "grey " << grey;
  }
}

// A textured picture panned three pixels: the shades move with it (the
// search starts from the previous ones moved), so nearly every pixel shows
// what the pixel three to its left showed, where held in place about half
// would differ. The picture is shown twice first (under new noise), so that
// the shades it pans from are the search's, not the mode's first frame.
// The search keeps 95 % of the moved shades; the held dithering, which
// draws the columns the pan brought in afresh and lets their error run on,
// 90 %.
TEST(DitherStable, ShadesMoveWithAPan) {
  for (SteadyMethod method : {SteadyMethod::search, SteadyMethod::held_then_search})
  for (int32_t grey : {0, 1}) {
    DitherHistory history;
    GreyBuffer first, second;
    DitherOptions o = options(DitherMode::floyd_steinberg, false, true);
    o.tuning.method = method;
    const GreyBuffer picture = jittered(smooth(), 9, 10);
    GreyBuffer panned;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) panned[y * kWidth + x] = picture[y * kWidth + std::max(x - 3, 0)];
    for (uint32_t settle = 0; settle < 6; ++settle)
      dither_frame(jittered(picture, settle, 1), shades_for(grey), kFloydSteinberg, o, history, first);
    dither_frame(panned, shades_for(grey), kFloydSteinberg, o, history, second);
    int same_as_moved = 0, same_in_place = 0, compared = 0;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 3; x < kWidth; ++x, ++compared) {
        same_as_moved += second[y * kWidth + x] == first[y * kWidth + x - 3];
        same_in_place += second[y * kWidth + x] == first[y * kWidth + x];
      }
    const int kept = method == SteadyMethod::search ? 95 : 90;
    EXPECT_GT(same_as_moved, compared * kept / 100) << "grey " << grey << " method " << int(method);
    EXPECT_LT(same_in_place, compared * 80 / 100) << "grey " << grey << " method " << int(method);
  }
}

// Without the cut rule, a black picture turning white (and back) is reached
// all the way: in two levels by the search (the source moved by more than
// the fade, so nothing holds), in four by the mode's own dithering, which
// takes over where the source changed by 24 levels or more.
TEST(DitherStable, SearchReachesAnExactPicture) {
  for (int32_t grey : {0, 1}) {
    DitherOptions o = options(DitherMode::floyd_steinberg, false, true);
    o.tuning.cut_percent = 100;
    DitherHistory history;
    GreyBuffer out;
    dither_frame(filled(0), shades_for(grey), kFloydSteinberg, o, history, out);
    dither_frame(filled(255), shades_for(grey), kFloydSteinberg, o, history, out);
    EXPECT_EQ(out, filled(255)) << "grey " << grey;
    dither_frame(filled(0), shades_for(grey), kFloydSteinberg, o, history, out);
    EXPECT_EQ(out, filled(0)) << "grey " << grey;
  }
}

// Where more than 5 % of the pixels changed by 24 levels or more (four
// levels), but too few for a cut, those pixels show the mode's own dithering
// of the new frame, and the others carry on.
TEST(DitherStable, ChangedPixelsStartFromTheModesOwnDithering) {
  const DitherOptions o = options(DitherMode::floyd_steinberg, false, true);
  DitherHistory history;
  GreyBuffer out, fresh;
  const GreyBuffer scene = jittered(filled(120), 4, 10);
  GreyBuffer next = scene;
  for (int i = 0; i < kPixels / 10; ++i) next[i] = static_cast<uint8_t>(scene[i] + 60);  // the top rows
  dither_frame(scene, Shades::four, kFloydSteinberg, o, history, out);
  dither_frame(next, Shades::four, kFloydSteinberg, o, history, out);
  DitherHistory empty;
  dither_frame(next, Shades::four, kFloydSteinberg, options(DitherMode::floyd_steinberg), empty, fresh);
  for (int i = 0; i < kPixels / 10; ++i) ASSERT_EQ(out[i], fresh[i]) << i;
  EXPECT_NE(out, fresh);
}

// Carried-over shades are brought to a level within one step of the new
// source value, and the search never leaves that range: no black beside
// white inside a grey area.
TEST(DitherStable, ShadesStayWithinOneStepOfTheSource) {
  for (DitherMode m : kAllModes) {
    DitherHistory history;
    GreyBuffer out;
    for (int frame = 0; frame < 6; ++frame) {
      const GreyBuffer g = jittered(smooth(frame), 50 + frame, 6);
      dither_frame(g, Shades::four, kFloydSteinberg, options(m, false, true), history, out);
      if (frame == 0) continue;  // the mode's own dithering, as it comes
      for (int i = 0; i < kPixels; ++i) ASSERT_LE(std::abs(out[i] - g[i]), 85) << name_of(m) << " i=" << i;
    }
  }
}

namespace {

// The steady output for `next` after `before`, and the output a fresh
// history gives `next`: equal when `next` counts as a new scene.
std::pair<GreyBuffer, GreyBuffer> after_and_fresh(const GreyBuffer& before, const GreyBuffer& next,
                                                  const DitherOptions& o) {
  DitherHistory history;
  GreyBuffer out, fresh;
  dither_frame(before, Shades::two, kFloydSteinberg, o, history, out);
  dither_frame(next, Shades::two, kFloydSteinberg, o, history, out);
  DitherHistory empty;
  dither_frame(next, Shades::two, kFloydSteinberg, o, empty, fresh);
  return {out, fresh};
}

}  // namespace

TEST(DitherStable, FollowsASceneCutWithinOneFrame) {
  for (DitherMode m : kAllModes) {
    const DitherOptions o = options(m, false, true);
    const GreyBuffer scene = jittered(smooth(), 7, 3);
    GreyBuffer other;  // every pixel 100 levels away
    for (int i = 0; i < kPixels; ++i) other[i] = static_cast<uint8_t>(scene[i] >= 128 ? scene[i] - 100 : scene[i] + 100);
    const auto [out, fresh] = after_and_fresh(scene, other, o);
    EXPECT_EQ(out, fresh) << name_of(m);
  }
}

// The cut rule at its edges: more than 25 % of the pixels (1536) moving by
// 24 levels or more. Below it the previous shades carry on, which a fresh
// start would not reproduce.
TEST(DitherStable, CutNeedsMoreThanAQuarterMovingTwentyFourLevels) {
  const struct {
    int moved, by;
    bool cut;
  } cases[] = {
      {1535, 24, false}, {1536, 24, false}, {1537, 24, true}, {1537, 23, false}, {1537, 25, true}, {6144, 23, false},
  };
  const GreyBuffer scene = jittered(filled(100), 3, 20);
  for (const auto& c : cases) {
    GreyBuffer next = scene;
    for (int i = 0; i < c.moved; ++i) next[i] = static_cast<uint8_t>(scene[i] + c.by);
    const auto [out, fresh] = after_and_fresh(scene, next, options(DitherMode::floyd_steinberg, false, true));
    EXPECT_EQ(out == fresh, c.cut) << c.moved << " pixels by " << c.by;
  }
}

namespace {

// A picture with texture: a gentle gradient, and in its top half a block of
// 2 x 2 cells each either 0 or 80 levels lighter, as a hash of its place
// says, which a move of a few pixels changes by 80 on about half its pixels
// wherever it is not followed. Panned by (dx, dy), what comes into view
// repeating the edge, as the steady mode moves its memory. Greys 60 .. 202.
GreyBuffer textured(int dx, int dy) {
  GreyBuffer g;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const int sx = std::clamp(x - dx, 0, kWidth - 1), sy = std::clamp(y - dy, 0, kHeight - 1);
      uint32_t cell = static_cast<uint32_t>(sx / 2) * 73856093u ^ static_cast<uint32_t>(sy / 2) * 19349663u;
      cell *= 2654435761u;
      cell = (cell ^ cell >> 16) * 2246822519u;
      const bool lit = sy < 28 && sx >= 16 && sx < 60 && (cell >> 31) != 0;
      g[y * kWidth + x] = static_cast<uint8_t>(60 + sx / 2 + sy / 4 + (lit ? 80 : 0));
    }
  return g;
}

}  // namespace

// Four levels restart pixels from the mode's own dithering when more than 5 %
// of them (308 of 6144) changed by 40 levels or more, measured against the
// previous frame moved with the picture: a pan alone, however textured,
// restarts nothing. (Unmoved, each of the moves below changes 568 to 686
// pixels by 80.)
TEST(DitherStable, RestartsWeighThePreviousFrameMovedWithThePicture) {
  const struct {
    int dx, dy;
  } pans[] = {{3, 0}, {-3, 0}, {0, 2}, {0, -3}, {2, -2}, {5, 3}, {0, 0}};
  const struct {
    int changed, by;  // pixels of the panned frame changed afterwards, and by how much
    bool restarts;
  } changes[] = {{0, 0, false}, {307, 40, false}, {308, 40, true}, {309, 40, true}, {308, 39, false}};
  const StableTuning tuning;
  const GreyBuffer before = textured(0, 0);
  DitherHistory history;
  GreyBuffer out;
  dither_frame(before, Shades::four, kFloydSteinberg, options(DitherMode::floyd_steinberg, false, true), history,
               out);
  ASSERT_TRUE(history.primed);
  for (const auto& p : pans)
    for (const auto& c : changes) {
      GreyBuffer now = textured(p.dx, p.dy);
      // Every 19th pixel, darker and lighter by turns: spread over the rows
      // and columns without tilting their sums, from which the move is found.
      for (int i = 0; i < c.changed; ++i)
        now[19 * i] = static_cast<uint8_t>(i % 2 == 0 ? now[19 * i] - c.by : now[19 * i] + c.by);
      const SteadyStart start = steady_start(now, Shades::four, tuning, history);
      const auto where = testing::Message() << "pan " << p.dx << "," << p.dy << ", " << c.changed << " by " << c.by;
      EXPECT_FALSE(start.afresh) << where;
      EXPECT_EQ(start.dx, p.dx) << where;
      EXPECT_EQ(start.dy, p.dy) << where;
      EXPECT_EQ(start.restarts, c.restarts) << where;
      // Two levels never restart.
      EXPECT_FALSE(steady_start(now, Shades::two, tuning, history).restarts) << where;
    }
}

TEST(DitherStable, ResetForgetsThePreviousFrames) {
  DitherHistory history;
  GreyBuffer out, fresh;
  const DitherOptions o = options(DitherMode::burkes, false, true);
  dither_frame(jittered(smooth(), 1, 4), Shades::two, kFloydSteinberg, o, history, out);
  const GreyBuffer next = jittered(smooth(), 2, 4);
  history.reset();
  dither_frame(next, Shades::two, kFloydSteinberg, o, history, out);
  DitherHistory empty;
  dither_frame(next, Shades::two, kFloydSteinberg, o, empty, fresh);
  EXPECT_EQ(out, fresh);
}

TEST(DitherStable, PlainModesLeaveTheHistoryAlone) {
  DitherHistory history;
  GreyBuffer out;
  dither_frame(noisy(1), Shades::two, kFloydSteinberg, options(DitherMode::sierra), history, out);
  EXPECT_FALSE(history.primed);
  EXPECT_EQ(history.shades, GreyBuffer{});
}

// --- Solids and tones -------------------------------------------------------------------

// The shades the plain quantiser can give a pixel with any error its
// neighbours pass it: a display level alone at the level, both sides one
// grey off it.
TEST(DitherSolids, ShadeRangeFollowsThePlainQuantiser) {
  const struct {
    int levels, v, darkest, lightest;
  } cases[] = {
      {2, 0, 0, 0},     {2, 1, 0, 255},    {2, 254, 0, 255},  {2, 255, 255, 255},
      {4, 0, 0, 0},     {4, 1, 0, 85},     {4, 84, 0, 85},    {4, 85, 85, 85},    {4, 86, 85, 170},
      {4, 169, 85, 170}, {4, 170, 170, 170}, {4, 171, 170, 255}, {4, 254, 170, 255}, {4, 255, 255, 255},
  };
  for (const auto& c : cases) {
    const int darkest = c.levels == 2 ? darkest_shade<2>(c.v) : darkest_shade<4>(c.v);
    const int lightest = c.levels == 2 ? lightest_shade<2>(c.v) : lightest_shade<4>(c.v);
    EXPECT_EQ(darkest, c.darkest) << c.levels << " levels, v " << c.v;
    EXPECT_EQ(lightest, c.lightest) << c.levels << " levels, v " << c.v;
  }
}

// Each pixel's range over a picture (the steady mode's bounds, worked out
// sixteen pixels to a vector) is the quantiser's for its grey: every grey,
// at every place in a vector, in both level counts.
template <int Levels>
void expect_bounds_of_every_grey() {
  GreyBuffer g;
  for (int i = 0; i < kPixels; ++i) g[i] = static_cast<uint8_t>((i * 7 + i / 256) % 256);
  LevelBounds b;
  level_bounds<Levels>(g, b);
  int wrong = 0;
  for (int i = 0; i < kPixels; ++i)
    wrong += b.lowest[i] != darkest_shade<Levels>(g[i]) || b.highest[i] != lightest_shade<Levels>(g[i]);
  EXPECT_EQ(wrong, 0) << Levels << " levels";
}
TEST(DitherSolids, PictureBoundsAreEachGreysRange) {
  expect_bounds_of_every_grey<2>();
  expect_bounds_of_every_grey<4>();
}

// The row loops' forms of the held choice give the rule's shade for every
// value and margin: in two levels the threshold, for each held shade and
// bounds (black pinned, free, white pinned); in four the window, for each
// held level, up to the margins it is used for.
TEST(DitherStable, HeldThresholdAndWindowFollowTheRule) {
  const auto mono = [](int v, int p, int m, int lo, int hi) { return held_shade(v, p, m, lo, hi, quantise<2>); };
  const int bounds[][2] = {{0, 0}, {0, kMaxGrey}, {kMaxGrey, kMaxGrey}};
  for (const int p : {0, kMaxGrey})
    for (const auto& [lo, hi] : bounds)
      EXPECT_TRUE(held::threshold_follows(mono, p, lo, hi)) << "held " << p << " bounds " << lo << ".." << hi;
  const auto grey = [](int v, int p, int m) { return held_shade(v, p, m, 0, kMaxGrey, quantise<4>); };
  for (const int p : {0, held::kGreyStep, 2 * held::kGreyStep, kMaxGrey})
    EXPECT_TRUE(held::window_follows(grey, quantise<4>, p)) << "held " << p;
  // A rule one level apart anywhere is told apart.
  const auto off = [&](int v, int p, int m, int lo, int hi) { return v == 200 && m == 3 ? kMaxGrey - mono(v, p, m, lo, hi) : mono(v, p, m, lo, hi); };
  EXPECT_FALSE(held::threshold_follows(off, 0, 0, kMaxGrey));
}

// The held choice's per-pixel thresholds in two levels, worked out sixteen
// pixels to a vector, are threshold()'s (which the test above checks against
// the held choice's rule) for every held shade, bounds and margin.
TEST(DitherStable, HeldThresholdsOfEveryShadeBoundsAndMargin) {
  SteadyHold hold;
  const int bounds[][2] = {{0, 0}, {0, 255}, {255, 255}};
  int i = 0;
  for (const int p : {0, 255})
    for (const auto& [lo, hi] : bounds)
      for (int m = 0; m <= 255; ++m, ++i) {
        hold.held[i] = static_cast<uint8_t>(p);
        hold.lowest[i] = static_cast<uint8_t>(lo);
        hold.highest[i] = static_cast<uint8_t>(hi);
        hold.margin[i] = static_cast<uint8_t>(m);
      }
  ASSERT_LE(i, kPixels);
  for (; i < kPixels; ++i) hold.held[i] = hold.lowest[i] = hold.margin[i] = 0, hold.highest[i] = 255;
  const held::HeldThresholds t(hold);
  int wrong = 0;
  for (int k = 0; k < kPixels; ++k)
    wrong += t.at[k] != held::threshold(hold.held[k], hold.margin[k], hold.lowest[k], hold.highest[k]);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(t.at[0], 256);                  // highest black: no value reaches it
  EXPECT_EQ(t.at[2 * 256], 0);              // lowest white: every value does
  EXPECT_EQ(t.at[256], 128);                // held black, no margin: the quantiser's own
  EXPECT_EQ(t.at[256 + 56], 184);           // held black: the margin above it
  EXPECT_EQ(t.at[3 * 256 + 256 + 56], 72);  // held white: the margin below it
}

// A black and a white square crossing a textured ground 3 pixels a frame,
// and a band at each grey level: every pixel whose grey is a display level
// that the picture holds flat around it shows that level, in every mode,
// plain, serpentine and steady, on every frame.
GreyBuffer squares_over(int frame) {
  GreyBuffer g = jittered(smooth(frame), static_cast<uint32_t>(frame) + 1, 12);
  for (int y = 8; y < 24; ++y)
    for (int x = 0; x < 16; ++x) {
      g[y * kWidth + (x + 3 * frame) % kWidth] = 0;
      g[(y + 24) * kWidth + (kWidth - 1 - (x + 3 * frame) % kWidth)] = 255;
    }
  for (int x = 0; x < kWidth; ++x) {
    g[(kHeight - 4) * kWidth + x] = g[(kHeight - 3) * kWidth + x] = 85;
    g[(kHeight - 2) * kWidth + x] = g[(kHeight - 1) * kWidth + x] = 170;
  }
  return g;
}

TEST(DitherSolids, SolidsStaySolidInEveryMode) {
  for (DitherMode m : kAllModes)
    for (bool serpentine : {false, true})
      for (bool stable : {false, true})
        for (Shades shades : {Shades::two, Shades::four}) {
          // The default path is dither() itself, byte for byte: its shares
          // round down and its cells clamp, so error can gather past a
          // level's reach (a known fault, kept for the files it has always made).
          if (m == DitherMode::matrix && !serpentine && !stable) continue;
          DitherHistory history;
          GreyBuffer out;
          for (int frame = 0; frame < 8; ++frame) {
            const GreyBuffer g = squares_over(frame);
            dither_frame(g, shades, kFloydSteinberg, options(m, serpentine, stable), history, out);
            for (int i = 0; i < kPixels; ++i) {
              const bool level = g[i] == 0 || g[i] == 255 || (shades == Shades::four && (g[i] == 85 || g[i] == 170));
              if (level) {
                ASSERT_EQ(out[i], g[i]) << name_of(m) << (serpentine ? " serpentine" : "") << (stable ? " stable" : "")
                                        << " levels " << int(shades) << " frame " << frame << " pixel " << i;
              }
            }
          }
        }
}

// A flat grey's sparse dots are its tone: on a flat 16, 240 and 100 with
// light noise, every frame of the steady mode has the plain mode's mean shade
// on the same frame, to within the 3 levels a band of source greys may differ.
TEST(DitherTones, SparseDotsSurviveInTheSteadyMode) {
  constexpr double kBandGap = 3.0;
  for (DitherMode m : {DitherMode::floyd_steinberg, DitherMode::atkinson, DitherMode::bayer, DitherMode::matrix})
    for (Shades shades : {Shades::two, Shades::four})
      for (uint8_t grey : {16, 240, 100}) {
        DitherHistory history, plain_history;
        GreyBuffer out, plain;
        for (uint32_t frame = 0; frame < 10; ++frame) {
          const GreyBuffer g = jittered(filled(grey), frame + 1, 2);
          DitherOptions o = options(m, false, true);
          o.tuning.two.sharpen = 0;  // the tone kept is the target's: here the source's
          dither_frame(g, shades, kFloydSteinberg, o, history, out);
          dither_frame(g, shades, kFloydSteinberg, options(m), plain_history, plain);
          long difference = 0;
          for (int i = 0; i < kPixels; ++i) difference += out[i] - plain[i];
          EXPECT_LE(std::abs(static_cast<double>(difference) / kPixels), kBandGap)
              << name_of(m) << " levels " << int(shades) << " grey " << int(grey) << " frame " << frame;
        }
      }
}

// A 12 x 12 square of black crossing a flat 240 (and of white crossing a
// flat 16) at 1, 3 and 8 pixels a frame: from the second frame on, the
// steady mode's dots beyond the background's own levels outside the
// square's place and a one-pixel margin are at most 10 % above the plain
// mode's on the same frame (a trail adds dots the background does not ask
// for), and inside the square every pixel has the square's level.
TEST(DitherStable, NoTrailBehindAMovingSquare) {
  constexpr int kSide = 12, kTop = 26;
  for (DitherMode m : kAllModes)
    for (Shades shades : {Shades::two, Shades::four})
      for (const auto& [ground, square] : {std::pair<uint8_t, uint8_t>{240, 0}, {16, 255}})
        for (int speed : {1, 3, 8}) {
          const int step = shades == Shades::two ? kWhite : kDarkGrey;
          // Beyond the ground's two levels: darker than its lower, or lighter than its upper.
          const auto stray = [&](uint8_t shade) {
            return square == 0 ? shade < ground / step * step : shade > (ground / step + 1) * step;
          };
          DitherHistory history, plain_history;
          GreyBuffer out, plain;
          for (int frame = 0; frame < 10; ++frame) {
            const int left = 4 + frame * speed;
            GreyBuffer g = filled(ground);
            for (int y = kTop; y < kTop + kSide; ++y)
              for (int x = left; x < std::min(left + kSide, kWidth); ++x) g[y * kWidth + x] = square;
            dither_frame(g, shades, kFloydSteinberg, options(m, false, true), history, out);
            dither_frame(g, shades, kFloydSteinberg, options(m), plain_history, plain);
            if (frame == 0) continue;
            int steady_strays = 0, plain_strays = 0;
            for (int y = 0; y < kHeight; ++y)
              for (int x = 0; x < kWidth; ++x) {
                const int i = y * kWidth + x;
                const bool inside = y >= kTop - 1 && y <= kTop + kSide && x >= left - 1 && x <= left + kSide;
                if (g[i] == square) {
                  ASSERT_EQ(out[i], square) << name_of(m) << " frame " << frame << " pixel " << i;
                }
                if (inside) continue;
                steady_strays += stray(out[i]);
                plain_strays += stray(plain[i]);
              }
            EXPECT_LE(steady_strays * 100, plain_strays * 110)
                << name_of(m) << " levels " << int(shades) << " ground " << int(ground) << " speed " << speed
                << " frame " << frame;
          }
        }
}

// A pixel the held dithering and the search leave on its held shade keeps
// its anchor, so that the margin fades over a slow change as over a fast
// one: a flat grey rising 5 levels a frame (no cut), with a diffusion mode.
// Each frame, a pixel keeps its anchor exactly where its shade stayed and
// some margin was left (margin x (fade - moved) / fade, moved = how far the
// source is from the anchor); it is anchored at the frame's source where its
// shade changed or the margin had faded to nothing.
TEST(DitherStable, KeptShadeKeepsItsAnchorUntilTheMarginFades) {
  constexpr int kStep = 5, kFrames = 14, kFirst = 100;
  for (Shades shades : {Shades::two, Shades::four})
    for (DitherMode m : {DitherMode::floyd_steinberg, DitherMode::matrix, DitherMode::atkinson}) {
      const DitherOptions o = options(m, false, true);
      const SteadyLevels& t = shades == Shades::two ? o.tuning.two : o.tuning.four;
      ASSERT_LT(kStep * kFrames, kMaxGrey - kFirst);
      ASSERT_GT(kStep * kFrames, t.margin_fade);
      DitherHistory history;
      GreyBuffer previous, out, anchor = filled(kFirst);
      int far_kept = 0;  // pixels anchored more than half the fade away
      for (int k = 0; k <= kFrames; ++k) {
        const auto g = static_cast<uint8_t>(kFirst + kStep * k);
        dither_frame(filled(g), shades, kFloydSteinberg, o, history, out);
        for (int i = 0; k > 0 && i < kPixels; ++i) {
          const int moved = g - anchor[i];
          const int left = t.margin * std::max(t.margin_fade - moved, 0) / t.margin_fade;
          if (left == 0 || out[i] != previous[i]) anchor[i] = g;
          far_kept += 2 * (g - anchor[i]) > t.margin_fade;
        }
        ASSERT_EQ(history.anchor, anchor) << name_of(m) << " levels " << int(shades) << " frame " << k;
        previous = out;
      }
      EXPECT_GT(far_kept, 0) << name_of(m) << " levels " << int(shades);
    }
}

// A slow pan keeps the plain mode's tones: a picture of every grey (a
// sinusoid across, a ramp down) sliding a third of a pixel a frame, so each
// pixel's source changes by a few levels a frame. Over 60 frames the mean
// shade of every band of 32 source greys stays near the plain mode's on the
// same frames: within 2 levels in four levels (at most 1.0 measured), within
// 4 in two, where the margin's hold on either side of mid-grey leaves the
// bands just below and above it 3.0-3.4 levels darker and lighter. Light and
// dark tones lost (a 240 field turned to paper) would be tens of levels off.
TEST(DitherStable, SlowPanKeepsEveryBandsMeanShade) {
  constexpr int kFrames = 60, kBandWidth = 32, kBands = 256 / kBandWidth;
  constexpr double kPeriod = 24.0, kSpeed = 1.0 / 3;
  for (DitherMode m : {DitherMode::floyd_steinberg, DitherMode::matrix})
    for (Shades shades : {Shades::two, Shades::four}) {
      const double gap = shades == Shades::two ? 4.0 : 2.0;
      DitherHistory history, plain_history;
      GreyBuffer out, plain;
      std::array<double, kBands> mine{}, theirs{}, count{};
      for (int k = 0; k < kFrames; ++k) {
        GreyBuffer g;
        for (int y = 0; y < kHeight; ++y)
          for (int x = 0; x < kWidth; ++x) {
            const double wave = std::sin(2 * std::numbers::pi * (x + kSpeed * k) / kPeriod);
            const double v = kMaxGrey * (0.5 + 0.5 * wave * (y + 1) / kHeight);
            g[y * kWidth + x] = static_cast<uint8_t>(std::lround(v));
          }
        dither_frame(g, shades, kFloydSteinberg, options(m, false, true), history, out);
        dither_frame(g, shades, kFloydSteinberg, options(m), plain_history, plain);
        for (int i = 0; i < kPixels; ++i) {
          mine[g[i] / kBandWidth] += out[i];
          theirs[g[i] / kBandWidth] += plain[i];
          count[g[i] / kBandWidth] += 1;
        }
      }
      for (int b = 0; b < kBands; ++b) {
        ASSERT_GT(count[b], 0);
        EXPECT_NEAR(mine[b] / count[b], theirs[b] / count[b], gap)
            << name_of(m) << " levels " << int(shades) << " band " << b;
      }
    }
}

// Where the held shade is one of the two levels around a pixel's value, it
// stays unless the value passes the threshold by the margin: an ordered
// mode, whose pixels are each on their own, shows the rule exactly. A flat
// grey g, then g + d: a pixel that was light stays light down to the
// plain mode's decision for g + d + margin, one that was dark stays dark up
// to its decision for g + d - margin.
TEST(DitherStable, HeldShadeLeavesOnlyPastItsMargin) {
  for (Shades shades : {Shades::two, Shades::four})
    for (int margin : {0, 1, 20})
      for (int d : {-21, -20, -19, -1, 0, 1, 19, 20, 21}) {
        constexpr uint8_t g0 = 120;
        DitherOptions o = options(DitherMode::bayer, false, true);
        SteadyLevels& levels = shades == Shades::two ? o.tuning.two : o.tuning.four;
        levels.margin = margin;
        levels.margin_fade = 0;
        DitherHistory history, plain_history;
        GreyBuffer first, second, up, down;
        dither_frame(filled(g0), shades, kFloydSteinberg, o, history, first);
        const auto g1 = static_cast<uint8_t>(g0 + d);
        dither_frame(filled(g1), shades, kFloydSteinberg, o, history, second);
        dither_frame(filled(static_cast<uint8_t>(g1 + margin)), shades, kFloydSteinberg, options(DitherMode::bayer),
                     plain_history, up);
        dither_frame(filled(static_cast<uint8_t>(g1 - margin)), shades, kFloydSteinberg, options(DitherMode::bayer),
                     plain_history, down);
        GreyBuffer plain;
        dither_frame(filled(g1), shades, kFloydSteinberg, options(DitherMode::bayer), plain_history, plain);
        for (int i = 0; i < kPixels; ++i) {
          const int held = first[i], q = plain[i];
          const int kept = held > q ? up[i] : held < q ? down[i] : q;
          const int want = kept == held ? held : q;
          ASSERT_EQ(second[i], want) << "levels " << int(shades) << " margin " << margin << " d " << d << " pixel " << i;
        }
      }
}

// movdith runs the steady mode with the mode's own tuning: the pipeline's
// options carry stable_tuning(mode), which differs from the defaults only
// where a kernel's hold is firmer (a dearer change, a margin fading over
// more levels) or, for the ordered modes, shorter.
TEST(DitherStable, EachModeRunsWithItsOwnTuning) {
  const StableTuning defaults;
  for (DitherMode m : kAllModes) {
    ConversionSettings s;
    s.dither = m;
    s.stable = true;
    const StableTuning t = pipeline_options(s).dither.tuning, own = stable_tuning(m);
    for (const auto& [got, want, base] :
         {std::tuple{&t.two, &own.two, &defaults.two}, std::tuple{&t.four, &own.four, &defaults.four}}) {
      EXPECT_EQ(got->margin, want->margin) << name_of(m);
      EXPECT_EQ(got->margin_fade, want->margin_fade) << name_of(m);
      EXPECT_EQ(got->hold_price, want->hold_price) << name_of(m);
      const bool ordered = m == DitherMode::bayer || m == DitherMode::blue_noise;
      if (ordered) {
        EXPECT_LE(want->margin_fade, base->margin_fade) << name_of(m);
        EXPECT_LE(want->margin, base->margin) << name_of(m);
      } else {
        EXPECT_GE(want->margin_fade, base->margin_fade) << name_of(m);
        // Floyd-Steinberg's own pictures, in exact sixteenths, keep finer
        // structure than the default kernel's: its search changes cost less.
        if (m != DitherMode::floyd_steinberg) {
          EXPECT_GE(want->hold_price, base->hold_price) << name_of(m);
        }
        EXPECT_GE(want->margin, base->margin) << name_of(m);
      }
      // The rest is the defaults', for every mode.
      EXPECT_EQ(want->fade, base->fade) << name_of(m);
      EXPECT_EQ(want->passes, base->passes) << name_of(m);
      EXPECT_EQ(want->restart, base->restart) << name_of(m);
    }
  }
  // The default kernel is the defaults.
  EXPECT_EQ(stable_tuning(DitherMode::matrix).two.margin_fade, defaults.two.margin_fade);
  EXPECT_EQ(stable_tuning(DitherMode::matrix).four.hold_price, defaults.four.hold_price);
}

// An ordered mode with its own tuning: a flat grey that moves d levels from
// the grey its shades were drawn at leaves them a margin of
// margin x (fade - d) / fade. At d = fade - 1 the pixels that the plain mode
// lights exactly at the new grey keep their dark shade (the picture is the
// plain mode's for the grey `left` below); from d = fade on, every pixel
// takes the plain mode's shade.
TEST(DitherStable, OrderedHoldLastsUntilItsFade) {
  for (DitherMode m : {DitherMode::bayer, DitherMode::blue_noise})
    for (Shades shades : {Shades::two, Shades::four}) {
      const StableTuning own = stable_tuning(m);
      const SteadyLevels& levels = shades == Shades::two ? own.two : own.four;
      const int fade = levels.margin_fade;
      ASSERT_GT(fade, 1) << name_of(m);
      const auto plain = [&](int grey) {
        DitherHistory h;
        GreyBuffer out;
        dither_frame(filled(static_cast<uint8_t>(grey)), shades, kFloydSteinberg, options(m), h, out);
        return out;
      };
      // A grey at which some pixel turns light, well inside one pair of levels.
      int g1 = 120;
      while (plain(g1) == plain(g1 - 1)) ++g1;
      for (int d : {fade - 1, fade, fade + 1}) {
        DitherOptions o = options(m, false, true);
        o.tuning = own;
        DitherHistory history;
        GreyBuffer first, second;
        dither_frame(filled(static_cast<uint8_t>(g1 - d)), shades, kFloydSteinberg, o, history, first);
        dither_frame(filled(static_cast<uint8_t>(g1)), shades, kFloydSteinberg, o, history, second);
        const int left = levels.margin * std::max(fade - d, 0) / fade;
        if (d < fade) {
          ASSERT_GT(left, 0) << name_of(m);
          EXPECT_NE(second, plain(g1)) << name_of(m) << " levels " << int(shades);
        }
        EXPECT_EQ(second, plain(g1 - left)) << name_of(m) << " levels " << int(shades) << " d " << d;
      }
    }
}
