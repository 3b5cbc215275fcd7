// How sampling weighs a pixel's colours into its grey, and the white that
// gives: the tone stages keep that white white, so they follow the weights.
#pragma once

#include <cstdint>

#include "raster.h"

// Luma weights in 16.16; they sum to 7 short of 1.0, so white comes out 254.
constexpr int32_t kRedWeight = 19589;
constexpr int32_t kGreenWeight = 38469;
constexpr int32_t kBlueWeight = 7471;

// The grey of a white picture after sampling.
constexpr int kSamplingWhite = (kMaxGrey * (kRedWeight + kGreenWeight + kBlueWeight)) >> kFixedShift;
static_assert(kSamplingWhite == kMaxGrey - 1);
