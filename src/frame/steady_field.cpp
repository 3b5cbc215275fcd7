// The steady search's blurred error field (see steady_field.h).
#include "frame/steady_field.h"

#include <cstdint>

namespace steady {

// The pass across is at most 16 * 255 either way, so it is kept in 16 bits,
// eight lanes to a vector; the pass down is not.
// Each row's bound: the largest |value| of the pass across on the rows
// around it, weighed as the pass down weighs them.
void error_field(const GreyBuffer& shades, const GreyBuffer& source, Field& g, RowBounds& bounds) {
  std::array<int16_t, kFieldCells> across;
  std::fill_n(across.begin(), kTwiceReach * kW, 0);
  std::fill_n(across.end() - kTwiceReach * kW, kTwiceReach * kW, 0);
  std::array<int16_t, kWidth + 2 * kTwiceReach> d{};
  std::array<int32_t, kFieldHeight> widest{};
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x)
      d[x + kTwiceReach] = static_cast<int16_t>(shades[y * kWidth + x] - source[y * kWidth + x]);
    int16_t* row = &across[field_index(0, y)];
    int16_t most = 0;
    for (int x = 0; x < kWidth; ++x) {
      row[x] = static_cast<int16_t>(kTwice[0] * d[x] + kTwice[1] * d[x + 1] + kTwice[2] * d[x + 2] +
                                    kTwice[3] * d[x + 3] + kTwice[4] * d[x + 4]);
      most = std::max(most, static_cast<int16_t>(std::max(row[x], static_cast<int16_t>(-row[x]))));
    }
    widest[y + kTwiceReach] = most;
  }
  bounds.fill(0);
  for (int r = kTwiceReach; r < kFieldHeight - kTwiceReach; ++r)
    for (int k = 0; k < kTwiceSide; ++k) bounds[r] += kTwice[k] * widest[r + k - kTwiceReach];
  std::fill_n(g.begin(), kTwiceReach * kW, 0);
  std::fill_n(g.end() - kTwiceReach * kW, kTwiceReach * kW, 0);
  for (int y = 0; y < kHeight; ++y) {
    const int f0 = field_index(0, y);
    for (int b = 1; b <= kTwiceReach; ++b) g[f0 - b] = g[f0 + kWidth - 1 + b] = 0;
    const auto down = [&]<typename Sum>(Sum) {
      for (int f = f0; f < f0 + kWidth; ++f)
        g[f] = static_cast<Sum>(kTwice[0] * across[f - 2 * kW] + kTwice[1] * across[f - kW] + kTwice[2] * across[f] +
                                kTwice[3] * across[f + kW] + kTwice[4] * across[f + 2 * kW]);
    };
    // Where the row's bound fits 16 bits, so does every partial sum: eight
    // lanes to a vector.
    if (bounds[y + kTwiceReach] <= INT16_MAX) down(int16_t{});
    else down(int32_t{});
  }
}

}  // namespace steady
