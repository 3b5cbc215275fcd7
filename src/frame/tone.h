// The tone stages between sampling and dithering: automatic black and white
// points, brightness and contrast, an unsharp mask at the display's scale,
// and the curve that turns grey values into light for the dithering.
#pragma once

#include <array>
#include <cstdint>

#include "raster.h"

// One output grey for each input grey.
using ToneCurve = std::array<uint8_t, 256>;

// ImageMagick's -brightness-contrast (both -100 .. 100, percent): slope
// tan((contrast + 100) pi / 400), and brightness / 100 of white added with
// the pivot moving so that mid grey + brightness stays put under contrast.
ToneCurve brightness_contrast_curve(int32_t brightness, int32_t contrast);

// Grey value to light on the same 0 .. 255 scale: 255 (v / 255)^(gamma /
// 100), rounded. Sampling's white, 254, stays one level off white, so that
// every mode still shows it as white.
ToneCurve light_curve(int32_t gamma_hundredths);

// Replaces every pixel v of graybuf by curve[v].
void apply_curve(GreyBuffer& graybuf, const ToneCurve& curve);

// Adds amount / 100 of (v - the 3 x 3 binomial blur of v) to every pixel,
// edges repeated, rounded to nearest and clamped to 0 .. 255.
void sharpen(GreyBuffer& graybuf, int32_t amount_hundredths);

// --levels=auto: black and white points from the 1st and 99th percentiles of
// each frame's grey (black bars at the edges left out), followed smoothly
// from frame to frame and taken at once after a cut. Owned by the caller,
// one per video, zero-initialised (or reset()) before its first frame.
struct LevelsState {
  int32_t black = 0, white = 0;  // the points followed, in 1/256 grey levels
  GreyBuffer previous{};         // the previous frame's grey, for cuts
  bool primed = false;
  void reset() { primed = false; }
};

// Stretches graybuf from the followed black point to 0 and from the white
// point to 255, after moving the points towards this frame's.
void auto_levels(GreyBuffer& graybuf, LevelsState& state);

// A new scene: more than `percent` % of the pixels moved by `change` grey
// levels or more since the previous frame. The automatic levels and the
// steady mode take a cut to be more than 25 % moving 40 levels.
constexpr int kCutChange = 40;
constexpr int kCutPercent = 25;
bool scene_cut(const GreyBuffer& now, const GreyBuffer& before, int change, int percent);
