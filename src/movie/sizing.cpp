// The sizing rule: how a picture of any shape fits the display.
#include "movie/sizing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

#include "raster.h"

namespace {

// Negates a matrix entry; the one value with no negative stays as large as
// it can, which a matrix that holds it (damage) does not deserve better than.
int32_t negated(int32_t v) { return v == std::numeric_limits<int32_t>::min() ? std::numeric_limits<int32_t>::max() : -v; }

// The matrix's clockwise rotation in degrees, NaN if a column is zero: the
// angle of its first row, each column scaled to unit length.
double clockwise_degrees(const std::array<int32_t, 9>& m) {
  constexpr double kFixed = 1 << 16;
  const double scale0 = std::hypot(m[0] / kFixed, m[3] / kFixed);
  const double scale1 = std::hypot(m[1] / kFixed, m[4] / kFixed);
  if (scale0 == 0.0 || scale1 == 0.0) return std::nan("");
  return std::atan2(m[1] / kFixed / scale1, m[0] / kFixed / scale0) * 180 / std::numbers::pi;
}

}  // namespace

Turn turn_from_matrix(std::span<const int32_t, 9> matrix) {
  Turn turn;
  const double det = double(matrix[0]) * matrix[4] - double(matrix[1]) * matrix[3];
  if (det == 0) return turn;  // singular: nothing sensible to show, leave as stored
  std::array<int32_t, 9> rotation;
  std::copy(matrix.begin(), matrix.end(), rotation.begin());
  if (det < 0) {  // the mirror is a negated first column
    rotation[0] = negated(rotation[0]);
    rotation[3] = negated(rotation[3]);
    rotation[6] = negated(rotation[6]);
    turn.hflip = true;
  }
  const double clockwise = clockwise_degrees(rotation);
  if (std::isnan(clockwise)) return turn;
  turn.quarter = int(((std::lround(clockwise / 90) % 4) + 4) % 4);
  if (turn.quarter == 2) {  // half a turn: both mirrors, no transpose
    turn.hflip = !turn.hflip;
    turn.vflip = true;
  }
  return turn;
}

bool output_size(uint32_t width, uint32_t height, OutputSize& size) {
  if (width == 0 || height == 0) return false;
  constexpr uint32_t kW = kWidth;
  constexpr uint32_t kH = kHeight;
  // Wrap-around of the products for absurd sizes cannot push either side
  // past the raster: h <= kH keeps outh in range, and h > kH with W * kW
  // unwrapped means W < 1.5 H, so outw < kW.
  uint32_t h = (height * kW) / width;
  OutputSize out;
  if (h <= kH) {  // about 3:2 or wider: full width
    out.outw = kW;
    out.outh = h;
  } else {  // taller: full height
    out.outh = kH;
    out.outw = (width * kH) / height;
  }
  if (out.outw == 0 || out.outh == 0) return false;
  size = out;
  return true;
}

FrameSize displayed_size(uint32_t width, uint32_t height, int64_t sar_num, int64_t sar_den, const Turn& turn) {
  // Held far from overflow in the sizing arithmetic, which a damaged pixel
  // shape could otherwise push a width into.
  constexpr int64_t kMaxDisplayedSide = int64_t{1} << 20;
  int64_t w = width;
  if (sar_num > 0 && sar_den > 0) w = static_cast<int64_t>((static_cast<__int128>(width) * sar_num + sar_den / 2) / sar_den);
  w = std::clamp<int64_t>(w, 1, kMaxDisplayedSide);
  const int64_t h = std::clamp<int64_t>(height, 1, kMaxDisplayedSide);
  if (turn.transposed()) return {static_cast<uint32_t>(h), static_cast<uint32_t>(w)};
  return {static_cast<uint32_t>(w), static_cast<uint32_t>(h)};
}

bool fit_size(uint32_t width, uint32_t height, Fit fit, OutputSize& size) {
  if (width == 0 || height == 0) return false;
  const uint64_t w = width, h = height;
  switch (fit) {
    case Fit::pad:
      return output_size(width, height, size);
    case Fit::crop:
      // The side that fits exactly is the display's; the other overflows.
      if (w * kHeight >= h * kWidth) {
        size = {static_cast<uint32_t>(std::min<uint64_t>((w * kHeight + h - 1) / h, kMaxScaledSide)), kHeight};
      } else {
        size = {kWidth, static_cast<uint32_t>(std::min<uint64_t>((h * kWidth + w - 1) / w, kMaxScaledSide))};
      }
      return true;
    case Fit::stretch:
      break;
  }
  size = {kWidth, kHeight};
  return true;
}
