// The settings' 3 x 3 error-diffusion kernel as the steady and serpentine
// row loops spend it (dither_modes.cpp): every error's shares worked out once
// per frame, and the clamped adds of dither()'s arithmetic. An error is a
// value of 0..255 less a level: within +-255.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "frame/frame.h"
#include "raster.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace diffusion {

// The settings' 3 x 3 kernel with dither()'s arithmetic: the product shifted
// down (toward minus infinity) and the cell clamped to 0..255 after every
// add. Only the four positions right of and below the pixel can change the
// output; the others land on pixels already quantised.
struct MatrixKernel {
  // The four weights ahead, zero or not, in kernel order: right; below left,
  // below, below right. A zero weight adds nothing to a cell already in
  // 0..255, so the row loop spreads all four without a test.
  static constexpr int kFirstAhead = 5;  // kernel position of the right neighbour
  static constexpr int kAhead = kKernelSize - kFirstAhead;
  // Every error's four shares, err x w shifted down, in 64 bits as in
  // dither() (a weight near the 16.16 limit overflows 32). A share beyond
  // +-256 is kept as +-256: added to a cell of 0..255 and clamped, it gives
  // the same cell, so 16 bits hold every share. A weight in 16 bits (the
  // usual kernels' are under one half) gives them with SSE2's high multiply,
  // eight errors to a vector.
  static constexpr int kShareLimit = kMaxGrey + 1;
  static constexpr int kErrors = 2 * kMaxGrey + 2;  // -255 .. 256: whole vectors
  std::array<std::array<int16_t, kErrors>, kAhead> shares;

  explicit MatrixKernel(const Kernel& matrix) {
    for (int k = 0; k < kAhead; ++k) {
      const int32_t w = matrix[kFirstAhead + k];
#if defined(__SSE2__)
      constexpr int kLanes = sizeof(__m128i) / sizeof(int16_t);
      static_assert(kErrors % kLanes == 0);
      if (w >= INT16_MIN && w <= INT16_MAX) {
        const __m128i weight = _mm_set1_epi16(static_cast<int16_t>(w)), step = _mm_set1_epi16(kLanes);
        __m128i err = _mm_setr_epi16(-kMaxGrey, -kMaxGrey + 1, -kMaxGrey + 2, -kMaxGrey + 3, -kMaxGrey + 4,
                                     -kMaxGrey + 5, -kMaxGrey + 6, -kMaxGrey + 7);
        for (int e = 0; e < kErrors; e += kLanes, err = _mm_add_epi16(err, step))
          _mm_storeu_si128(reinterpret_cast<__m128i*>(&shares[k][e]), _mm_mulhi_epi16(err, weight));
        continue;
      }
#endif
      for (int err = -kMaxGrey; err <= kMaxGrey + 1; ++err)
        shares[k][err + kMaxGrey] = static_cast<int16_t>(
            std::clamp<int64_t>(int64_t{err} * w >> kFixedShift, -kShareLimit, kShareLimit));
    }
  }
  // In the width of an index, as the row loop adds shares to cells to read
  // a table: no widening of each sum.
  std::ptrdiff_t share(int k, std::ptrdiff_t err) const { return shares[k][err + kMaxGrey]; }

  // A cell after one share, with AddError's clamp: the cell holds 0..255.
  // The next pixel's cell is on the row's chain of dependent steps, where
  // the clamp's compares and moves are quicker than a read; the cells below
  // are off it, and read the clamped sum from a table of every sum a cell
  // and a share can make, in one instruction where the clamp takes four.
  static int added(std::ptrdiff_t cell, std::ptrdiff_t share) {
    return static_cast<int>(std::clamp<std::ptrdiff_t>(cell + share, 0, kMaxGrey));
  }
  static constexpr int kLeast = -kShareLimit, kMost = kMaxGrey + kShareLimit;
  static constexpr auto kClamped = [] {
    std::array<uint8_t, kMost - kLeast + 1> t{};
    for (int sum = kLeast; sum <= kMost; ++sum) t[sum - kLeast] = static_cast<uint8_t>(std::clamp(sum, 0, kMaxGrey));
    return t;
  }();
  static int added_below(std::ptrdiff_t cell, std::ptrdiff_t share) { return kClamped[cell + share - kLeast]; }
};

}  // namespace diffusion
