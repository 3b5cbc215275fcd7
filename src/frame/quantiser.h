// The plain modes' quantiser, which the error-diffusion loop rounds each
// pixel with, and what follows from it for the steady mode: the shades a
// pixel can get from it at all, whatever error its neighbours pass it.
#pragma once

#include <algorithm>

#include "frame/arithmetic.h"
#include "raster.h"

constexpr int kMonoThreshold = 128;
// closestg's thresholds: a value on one goes to the level above.
constexpr int kGreyThreshold1 = 42, kGreyThreshold2 = 127, kGreyThreshold3 = 212;

// The same thresholds as closestg, without its branches, which mispredict
// on dithered pictures; any int, clamped by the thresholds themselves.
template <int Levels>
constexpr int quantise(int v) {
  if constexpr (Levels == 2) {
    return v >= kMonoThreshold ? kMaxGrey : 0;
  } else {
    return kStepOf<Levels> * ((v >= kGreyThreshold1) + (v >= kGreyThreshold2) + (v >= kGreyThreshold3));
  }
}

// The least and the most error (value - shade) the quantiser leaves on a
// value of 0 .. 255: what a pixel can pass on to its neighbours. Error
// diffusion hands each pixel a weighted mean of such errors, so its value
// plus what it receives stays within [v + least, v + most].
struct ErrorRange {
  int least, most;
};
template <int Levels>
constexpr ErrorRange quantiser_errors() {
  ErrorRange r{0, 0};
  for (int v = 0; v <= kMaxGrey; ++v) {
    r.least = std::min(r.least, v - quantise<Levels>(v));
    r.most = std::max(r.most, v - quantise<Levels>(v));
  }
  return r;
}
// Evaluated once: clang stops a constant expression that recomputes it for
// every value of a table.
template <int Levels>
inline constexpr ErrorRange kQuantiserErrors = quantiser_errors<Levels>();

// The darkest and the lightest shade the plain quantiser can give a pixel of
// value v: a grey at a display level (black, white, and in four levels the
// greys) has that level alone, so solid areas stay solid.
template <int Levels>
constexpr int darkest_shade(int v) {
  return quantise<Levels>(v + kQuantiserErrors<Levels>.least);
}
template <int Levels>
constexpr int lightest_shade(int v) {
  return quantise<Levels>(v + kQuantiserErrors<Levels>.most);
}
