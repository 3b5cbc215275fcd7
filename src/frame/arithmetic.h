// Small arithmetic the frame stages share: rounding a quotient, and the
// distance between display levels.
#pragma once

#include "raster.h"

// num / den rounded to nearest, halves away from zero, so that a value and
// its negative round as mirror images; den > 0.
template <typename Int>
constexpr Int rounded_quotient(Int num, Int den) {
  return num >= 0 ? (2 * num + den) / (2 * den) : -((-2 * num + den) / (2 * den));
}

// The grey levels between neighbouring display levels: 255 in two levels,
// 85 in four.
template <int Levels>
constexpr int kStepOf = kWhite / (Levels - 1);
