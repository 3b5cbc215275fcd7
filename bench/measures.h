// What the eye sees of a dithered video, measured against the grey it was
// made from: flicker, PSNR and SSIM through a 3 x 3 binomial blur, and the
// error of each 8 x 8 block's share of light. docs/quality.md defines them.
#pragma once

#include <array>
#include <cstdint>

#include "raster.h"

// A picture through the 3 x 3 binomial blur (1-2-1 each way, edges
// repeated), kept 16 times too large so that it stays exact.
using Blurred = std::array<int32_t, kPixels>;
constexpr int kBlurScale = 16;

// Blurs `in` into `out`.
void blur(const GreyBuffer& in, Blurred& out);

// Pixels whose shade differs between the two frames.
int flips(const GreyBuffer& a, const GreyBuffer& b);

// Sum over the pixels of the squared difference of two blurred pictures, in
// grey levels squared.
double squared_error(const Blurred& a, const Blurred& b);

// SSIM (Wang et al. 2004) of two blurred pictures: Gaussian window of sigma
// 1.5 (11 x 11), C1 = (0.01 x 255)^2, C2 = (0.03 x 255)^2, averaged over the
// pixels whose window lies inside the picture. 1 for identical pictures.
double ssim(const Blurred& a, const Blurred& b);

// The light a grey value stands for: its share of white, (v / 255)^2.2.
constexpr double kMeasureGamma = 2.2;
// Mean over the 8 x 8 blocks of |share of light in `shades` - share of
// light in `source`|, from 0 to 1. A shade's light is shade / 255 (the
// display's levels: black and white, or 0, 1/3, 2/3 and all of the light);
// a source value's is (v / 255)^2.2.
constexpr int kToneBlock = 8;
double tone_error(const GreyBuffer& shades, const GreyBuffer& source);

// The mean shade over the pixels of each band of source grey (0-31, 32-63,
// ..., 224-255), summed over frames.
constexpr int kBandWidth = 32;
constexpr int kBands = 256 / kBandWidth;
struct ToneBands {
  std::array<double, kBands> shade{};
  std::array<double, kBands> pixels{};
};
void add_bands(const GreyBuffer& shades, const GreyBuffer& source, ToneBands& bands);

// The largest |difference| of two runs' band means, and which band (-1:
// none), over the bands that hold at least one pixel in kSparseBand of each
// run's pixels. A sparser band is the few pixels a frame of an edge, whose
// mean no dithering keeps: on a square crossing a flat grey, Floyd-Steinberg
// with and without --serpentine differ by 50 levels there.
constexpr int kSparseBand = 1000;
struct BandGap {
  double gap = 0;
  int band = -1;
};
BandGap band_gap(const ToneBands& a, const ToneBands& b);

// Trails and holes behind a moving object on a flat ground. The ground is
// the frame's commonest source grey; the object, the pixels more than
// kObjectMargin from it. Outside the object and a one-pixel margin, a trail
// is the pixels whose shade lies beyond the ground's grey on the object's
// side (dark ones behind a dark object), counted against the plain mode's
// count on the same frame. Holes are pixels whose source is pure black or
// white and whose shade is not.
constexpr int kObjectMargin = 16;
struct Trails {
  double worst_excess = 0;  // the most, over frames, by which the count passed the plain one's, in %
  int worst_frame = -1;
  uint64_t holes = 0;
  int frame = 0;
};
// Counts of one pixel's kind in `shades` beside `plain`, frame after frame.
void add_trails(const GreyBuffer& shades, const GreyBuffer& plain, const GreyBuffer& source, Trails& t);
