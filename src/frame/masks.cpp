// The blue-noise threshold mask, made by Ulichney's void-and-cluster method:
// points are added where the pattern has its largest hole and taken away
// where it is most crowded, so every prefix of the ranking is evenly spread.
#include "frame/masks.h"

#include <cstddef>

namespace {

constexpr int kSide = kBlueNoiseSide;
constexpr int kCells = kBlueNoiseCells;
constexpr int kWrap = kSide - 1;  // the side is a power of two: & wraps around the torus

// The Gaussian that measures crowding: sigma 1.5, the usual choice, reaching
// 7 cells each way, beyond which its weights round to nothing.
constexpr int kReach = 7;
constexpr double kTwoSigmaSquared = 2 * 1.5 * 1.5;
constexpr int kMaxDistanceSquared = 2 * kReach * kReach;
constexpr double kWeightScale = 65536.0;  // weights in 16.16; sums stay far inside 32 bits

// A tenth of the cells start as the seed pattern; any share well below half works.
constexpr int kSeedPoints = kCells / 10;
constexpr uint64_t kSeed = 0x6d6f76646974685ull;

// exp(-x) for x >= 0 evaluated at compile time, so the weights, and with
// them the mask, do not hang on the platform's maths library.
constexpr double exp_neg(double x) {
  // exp(x) = exp(x / 64) ^ 64; the series converges fast on the small part.
  const double small = x / 64;
  double term = 1, sum = 1;
  for (int k = 1; k < 20; ++k) {
    term *= small / k;
    sum += term;
  }
  for (int k = 0; k < 6; ++k) sum *= sum;
  return 1 / sum;
}

using Weights = std::array<int32_t, kMaxDistanceSquared + 1>;

// The Gaussian by squared distance, in 16.16, rounded.
constexpr Weights make_weights() {
  Weights w{};
  for (int d2 = 0; d2 <= kMaxDistanceSquared; ++d2)
    w[d2] = static_cast<int32_t>(kWeightScale * exp_neg(d2 / kTwoSigmaSquared) + 0.5);
  return w;
}
constexpr Weights kWeights = make_weights();

using Pattern = std::array<bool, kCells>;
using Energy = std::array<int32_t, kCells>;  // each cell's crowding by the pattern's points

// Adds (sign 1) or takes away (-1) one point's crowding around `cell`,
// wrapping around the torus.
void add_point(Energy& energy, int cell, int sign) {
  const int cx = cell % kSide, cy = cell / kSide;
  for (int dy = -kReach; dy <= kReach; ++dy) {
    const int row = ((cy + dy) & kWrap) * kSide;
    for (int dx = -kReach; dx <= kReach; ++dx)
      energy[row + ((cx + dx) & kWrap)] += sign * kWeights[dx * dx + dy * dy];
  }
}

// Puts a point on `cell` or takes it off, keeping the energy in step.
void set(Pattern& pattern, Energy& energy, int cell, bool on) {
  pattern[cell] = on;
  add_point(energy, cell, on ? 1 : -1);
}

// The most crowded point; ties go to the first cell, which keeps the result
// the same on every run.
int tightest_cluster(const Pattern& pattern, const Energy& energy) {
  int best = -1;
  for (int i = 0; i < kCells; ++i)
    if (pattern[i] && (best < 0 || energy[i] > energy[best])) best = i;
  return best;
}

// The emptiest cell without a point.
int largest_void(const Pattern& pattern, const Energy& energy) {
  int best = -1;
  for (int i = 0; i < kCells; ++i)
    if (!pattern[i] && (best < 0 || energy[i] < energy[best])) best = i;
  return best;
}

}  // namespace

void make_blue_noise(BlueNoiseMask& mask) {
  Pattern seed{};
  Energy seed_energy{};
  // White-noise start from a 64-bit linear congruential generator.
  uint64_t state = kSeed;
  for (int placed = 0; placed < kSeedPoints;) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const int cell = static_cast<int>(state >> 52);  // the top 12 bits: 0..4095
    if (seed[cell]) continue;
    set(seed, seed_energy, cell, true);
    ++placed;
  }
  // Even out the start: move the most crowded point into the largest hole
  // until the point taken out is the one that would be put back. Each move
  // lowers the pattern's total crowding, so this ends; the bound is a guard.
  for (int moves = 0; moves < kCells * 4; ++moves) {
    const int cluster = tightest_cluster(seed, seed_energy);
    set(seed, seed_energy, cluster, false);
    const int hole = largest_void(seed, seed_energy);
    set(seed, seed_energy, hole, true);
    if (hole == cluster) break;
  }

  // The seed's points get the low ranks, the most crowded taking the highest
  // of them, so that each smaller prefix stays even too.
  Pattern pattern = seed;
  Energy energy = seed_energy;
  for (int rank = kSeedPoints - 1; rank >= 0; --rank) {
    const int cluster = tightest_cluster(pattern, energy);
    set(pattern, energy, cluster, false);
    mask[cluster] = static_cast<uint16_t>(rank);
  }
  // The rest fill the largest hole each time. Past half full this is the same
  // as taking the most crowded empty cell, since on the torus a cell's
  // crowding by points and by empty cells add up to the same constant.
  pattern = seed;
  energy = seed_energy;
  for (int rank = kSeedPoints; rank < kCells; ++rank) {
    const int hole = largest_void(pattern, energy);
    set(pattern, energy, hole, true);
    mask[hole] = static_cast<uint16_t>(rank);
  }
}

const BlueNoiseMask& blue_noise_mask() {
  // A function-local static is built once, thread-safely, on first use.
  static const BlueNoiseMask mask = [] {
    BlueNoiseMask m{};
    make_blue_noise(m);
    return m;
  }();
  return mask;
}
