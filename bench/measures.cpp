// The picture measures of dither_quality (see measures.h).
#include "measures.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPeak = 255.0;
constexpr double kC1 = (0.01 * kPeak) * (0.01 * kPeak);
constexpr double kC2 = (0.03 * kPeak) * (0.03 * kPeak);
constexpr double kSigma = 1.5;
constexpr int kRadius = 5;  // 11 x 11, as in Wang et al.'s code
constexpr int kTaps = 2 * kRadius + 1;
// Where the window lies wholly inside the picture.
constexpr int kInsideWidth = kWidth - 2 * kRadius;
constexpr int kInsideHeight = kHeight - 2 * kRadius;

std::array<double, kTaps> gaussian() {
  std::array<double, kTaps> w{};
  double sum = 0;
  for (int k = -kRadius; k <= kRadius; ++k) sum += w[k + kRadius] = std::exp(-k * k / (2 * kSigma * kSigma));
  for (double& v : w) v /= sum;
  return w;
}

// The window's weighted mean of `in` at every inside position, by rows then
// columns; `in` is the full picture, `out` kInsideWidth x kInsideHeight.
using Plane64 = std::array<double, kPixels>;
void window_mean(const Plane64& in, Plane64& out) {
  static const std::array<double, kTaps> w = gaussian();
  Plane64 across{};
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kInsideWidth; ++x) {
      double s = 0;
      for (int k = 0; k < kTaps; ++k) s += w[k] * in[y * kWidth + x + k];
      across[y * kWidth + x] = s;
    }
  for (int y = 0; y < kInsideHeight; ++y)
    for (int x = 0; x < kInsideWidth; ++x) {
      double s = 0;
      for (int k = 0; k < kTaps; ++k) s += w[k] * across[(y + k) * kWidth + x];
      out[y * kWidth + x] = s;
    }
}

}  // namespace

void blur(const GreyBuffer& in, Blurred& out) {
  std::array<int32_t, kPixels> rows;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const int l = std::max(x - 1, 0), r = std::min(x + 1, kWidth - 1);
      rows[y * kWidth + x] = in[y * kWidth + l] + 2 * in[y * kWidth + x] + in[y * kWidth + r];
    }
  for (int y = 0; y < kHeight; ++y) {
    const int u = std::max(y - 1, 0), d = std::min(y + 1, kHeight - 1);
    for (int x = 0; x < kWidth; ++x)
      out[y * kWidth + x] = rows[u * kWidth + x] + 2 * rows[y * kWidth + x] + rows[d * kWidth + x];
  }
}

int flips(const GreyBuffer& a, const GreyBuffer& b) {
  int n = 0;
  for (int i = 0; i < kPixels; ++i) n += a[i] != b[i];
  return n;
}

double squared_error(const Blurred& a, const Blurred& b) {
  double sum = 0;
  for (int i = 0; i < kPixels; ++i) {
    const double d = double(a[i] - b[i]) / kBlurScale;
    sum += d * d;
  }
  return sum;
}

double ssim(const Blurred& a, const Blurred& b) {
  Plane64 x, y, xx, yy, xy;
  for (int i = 0; i < kPixels; ++i) {
    x[i] = double(a[i]) / kBlurScale;
    y[i] = double(b[i]) / kBlurScale;
    xx[i] = x[i] * x[i];
    yy[i] = y[i] * y[i];
    xy[i] = x[i] * y[i];
  }
  Plane64 mx, my, mxx, myy, mxy;
  window_mean(x, mx);
  window_mean(y, my);
  window_mean(xx, mxx);
  window_mean(yy, myy);
  window_mean(xy, mxy);
  double sum = 0;
  for (int r = 0; r < kInsideHeight; ++r)
    for (int c = 0; c < kInsideWidth; ++c) {
      const int i = r * kWidth + c;
      const double vx = mxx[i] - mx[i] * mx[i], vy = myy[i] - my[i] * my[i], cxy = mxy[i] - mx[i] * my[i];
      sum += (2 * mx[i] * my[i] + kC1) * (2 * cxy + kC2) /
             ((mx[i] * mx[i] + my[i] * my[i] + kC1) * (vx + vy + kC2));
    }
  return sum / (kInsideWidth * kInsideHeight);
}

double tone_error(const GreyBuffer& shades, const GreyBuffer& source) {
  static const std::array<double, 256> light = [] {
    std::array<double, 256> l{};
    for (int v = 0; v < 256; ++v) l[v] = std::pow(v / kPeak, kMeasureGamma);
    return l;
  }();
  constexpr int kBlockPixels = kToneBlock * kToneBlock;
  double sum = 0;
  for (int by = 0; by < kHeight; by += kToneBlock)
    for (int bx = 0; bx < kWidth; bx += kToneBlock) {
      double shown = 0, meant = 0;
      for (int y = by; y < by + kToneBlock; ++y)
        for (int x = bx; x < bx + kToneBlock; ++x) {
          shown += shades[y * kWidth + x] / kPeak;
          meant += light[source[y * kWidth + x]];
        }
      sum += std::abs(shown - meant) / kBlockPixels;
    }
  return sum / ((kWidth / kToneBlock) * (kHeight / kToneBlock));
}

void add_bands(const GreyBuffer& shades, const GreyBuffer& source, ToneBands& bands) {
  for (int i = 0; i < kPixels; ++i) {
    bands.shade[source[i] / kBandWidth] += shades[i];
    bands.pixels[source[i] / kBandWidth] += 1;
  }
}

BandGap band_gap(const ToneBands& a, const ToneBands& b) {
  double a_pixels = 0, b_pixels = 0;
  for (int k = 0; k < kBands; ++k) a_pixels += a.pixels[k], b_pixels += b.pixels[k];
  BandGap g;
  for (int k = 0; k < kBands; ++k) {
    if (a.pixels[k] == 0 || b.pixels[k] == 0) continue;
    if (a.pixels[k] * kSparseBand < a_pixels || b.pixels[k] * kSparseBand < b_pixels) continue;
    const double d = std::fabs(a.shade[k] / a.pixels[k] - b.shade[k] / b.pixels[k]);
    if (g.band < 0 || d > g.gap) g = {d, k};
  }
  return g;
}

namespace {

// The pixels beyond the ground on the object's side, outside the object
// and its margin.
int trail_count(const GreyBuffer& shades, const GreyBuffer& source, int ground, bool dark_object) {
  int count = 0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      bool near = false;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const int nx = x + dx, ny = y + dy;
          if (nx >= 0 && nx < kWidth && ny >= 0 && ny < kHeight)
            near = near || std::abs(source[ny * kWidth + nx] - ground) > kObjectMargin;
        }
      const int s = shades[y * kWidth + x];
      if (!near && (dark_object ? s < ground : s > ground)) ++count;
    }
  return count;
}

}  // namespace

void add_trails(const GreyBuffer& shades, const GreyBuffer& plain, const GreyBuffer& source, Trails& t) {
  std::array<int, 256> histogram{};
  for (uint8_t v : source) ++histogram[v];
  const int ground = int(std::max_element(histogram.begin(), histogram.end()) - histogram.begin());
  int64_t object_sum = 0, object_pixels = 0;
  for (int i = 0; i < kPixels; ++i) {
    if (std::abs(source[i] - ground) > kObjectMargin) object_sum += source[i], ++object_pixels;
    if ((source[i] == 0 || source[i] == 255) && shades[i] != source[i]) ++t.holes;
  }
  ++t.frame;
  if (object_pixels == 0) return;
  const bool dark = object_sum < int64_t{ground} * object_pixels;
  const int mine = trail_count(shades, source, ground, dark), theirs = trail_count(plain, source, ground, dark);
  const double excess = 100.0 * (mine - theirs) / std::max(theirs, 1);
  if (t.worst_frame < 0 || excess > t.worst_excess) t.worst_excess = excess, t.worst_frame = t.frame;
}
