// The shades a pixel may take in the steady mode, from its source grey:
// those the plain quantiser could give it with any error its neighbours
// might pass it (quantiser.h), so that a grey area is drawn with the two
// levels around it and never with black beside white, which the blurred
// error barely tells apart but the eye does, and so that a grey at a
// display level (black, white, the four levels' greys) keeps that level
// alone: solids stay solid whatever the steady mode would gain.
#pragma once

#include <array>
#include <cstdint>

#include "frame/arithmetic.h"
#include "frame/quantiser.h"
#include "raster.h"

struct LevelBounds {
  GreyBuffer lowest, highest;
};

template <int Levels>
constexpr std::array<uint8_t, kMaxGrey + 1> shade_table(bool lightest) {
  std::array<uint8_t, kMaxGrey + 1> t{};
  for (int v = 0; v <= kMaxGrey; ++v)
    t[v] = static_cast<uint8_t>(lightest ? lightest_shade<Levels>(v) : darkest_shade<Levels>(v));
  return t;
}

// Each pixel's range, for a source picture.
template <int Levels>
void level_bounds(const GreyBuffer& source, LevelBounds& b) {
  static constexpr auto kDarkest = shade_table<Levels>(false), kLightest = shade_table<Levels>(true);
  for (int i = 0; i < kPixels; ++i) {
    b.lowest[i] = kDarkest[source[i]];
    b.highest[i] = kLightest[source[i]];
  }
}
