// The sizing rule: how a picture of any shape fits the display.
#include "movie/sizing.h"

#include <algorithm>

#include "raster.h"

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

bool fit_size(uint32_t width, uint32_t height, Fit fit, OutputSize& size) {
  if (width == 0 || height == 0) return false;
  const uint64_t w = width, h = height;
  switch (fit) {
    case Fit::pad:
      return output_size(width, height, size);
    case Fit::crop:
      // The side that fits exactly is the display's; the other overflows.
      // A side is held at 32 bits, which only an absurd shape reaches.
      if (w * kHeight >= h * kWidth) {
        size = {static_cast<uint32_t>(std::min<uint64_t>((w * kHeight + h - 1) / h, UINT32_MAX)), kHeight};
      } else {
        size = {kWidth, static_cast<uint32_t>(std::min<uint64_t>((h * kWidth + w - 1) / w, UINT32_MAX))};
      }
      return true;
    case Fit::stretch:
      break;
  }
  size = {kWidth, kHeight};
  return true;
}
