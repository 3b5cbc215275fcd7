// Threshold masks for ordered dithering: the 8 x 8 Bayer matrix and a 64 x 64
// blue-noise mask made here by void-and-cluster. A mask holds the ranks
// 0..cells-1, each once; a pixel turns light where its grey beats its rank.
#pragma once

#include <array>
#include <cstdint>

constexpr int kBayerSide = 8;
constexpr int kBayerCells = kBayerSide * kBayerSide;        // 64
constexpr int kBlueNoiseSide = 64;
constexpr int kBlueNoiseCells = kBlueNoiseSide * kBlueNoiseSide;  // 4096

// Row-major, index y * side + x.
using BayerMask = std::array<uint8_t, kBayerCells>;
using BlueNoiseMask = std::array<uint16_t, kBlueNoiseCells>;

// The recursive Bayer matrix: M(2n) = [4M, 4M+2; 4M+3, 4M+1] from M(1) = [0].
// Each rank once; the first 4^k ranks form a lattice of step 8 / 2^k.
constexpr BayerMask bayer_mask() {
  BayerMask m{};
  for (int side = 1; side < kBayerSide; side *= 2) {
    // The smaller matrix sits in the top-left quadrant; that quadrant is
    // rewritten last, each of its cells from itself, so every read sees it.
    const int offsets[2][2] = {{0, 2}, {3, 1}};
    for (int q = 3; q >= 0; --q) {
      const int qy = q / 2, qx = q % 2;
      for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
          m[(qy * side + y) * kBayerSide + qx * side + x] =
              static_cast<uint8_t>(4 * m[y * kBayerSide + x] + offsets[qy][qx]);
    }
  }
  return m;
}

// Builds the blue-noise mask by void-and-cluster on a 64 x 64 torus with a
// Gaussian of sigma 1.5 in integer arithmetic and a fixed seed, so every build
// on every machine gives the same mask. Tens of milliseconds.
void make_blue_noise(BlueNoiseMask& mask);

// The mask, made on first use and then shared; safe to call from any thread.
const BlueNoiseMask& blue_noise_mask();
