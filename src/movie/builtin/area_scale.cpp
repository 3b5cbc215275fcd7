// Area-averaging scaling onto the display (see area_scale.h).
#include "movie/builtin/area_scale.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

constexpr int kWeightBits = 14;  // weights of one output sample sum to 1 << 14
constexpr uint32_t kWeightOne = uint32_t{1} << kWeightBits;
constexpr int kFractionBits = 6;  // kept below the 8 bits of a sample while scaling
constexpr int kAcrossShift = kWeightBits - kFractionBits;
constexpr int kLimitedBlack = 16;
constexpr int kChromaZero = 128;
constexpr double kLimitedLumaScale = 255.0 / 219;
constexpr double kLimitedChromaScale = 255.0 / 224;
constexpr int kCoefficientBits = 16;

// The red and blue weights of luma (Kr, Kb) that define each matrix.
constexpr struct {
  double kr, kb;
} kLuma[] = {{0.299, 0.114}, {0.2126, 0.0722}, {0.2627, 0.0593}};

// YCbCr to RGB in 16.16: luma, red from Cr, green from Cb and Cr, blue from Cb.
struct Coefficients {
  int64_t y, rv, gu, gv, bu;
  int black;
};

static_assert(std::size(kLuma) == static_cast<size_t>(ColourMatrix::rgb), "Kr, Kb for every YCbCr matrix");

// None for RGB pictures: their channels are the colours already.
Coefficients coefficients(const PictureColour& colour) {
  if (colour.matrix == ColourMatrix::rgb) return {};
  const auto& k = kLuma[static_cast<int>(colour.matrix)];
  const double kg = 1 - k.kr - k.kb;
  const double ys = colour.full_range ? 1 : kLimitedLumaScale;
  const double cs = colour.full_range ? 1 : kLimitedChromaScale;
  const auto fixed = [](double v) { return static_cast<int64_t>(std::lround(v * (1 << kCoefficientBits))); };
  return {fixed(ys), fixed(2 * (1 - k.kr) * cs), fixed(2 * k.kb * (1 - k.kb) / kg * cs),
          fixed(2 * k.kr * (1 - k.kr) / kg * cs), fixed(2 * (1 - k.kb) * cs), colour.full_range ? 0 : kLimitedBlack};
}

uint8_t clamp_byte(int64_t v) { return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255)); }

}  // namespace

void AreaScaler::make_axis(uint32_t source, uint32_t target, Axis& a) {
  a.source = source;
  a.first.assign(target, 0);
  a.count.assign(target, 0);
  a.offset.assign(target, 0);
  a.weight.clear();
  // Output i covers [i * source, (i + 1) * source) and source pixel j covers
  // [j * target, (j + 1) * target), both in units of 1 / target of a pixel.
  const uint64_t s = source, t = target;
  for (uint64_t i = 0; i < t; ++i) {
    const uint64_t begin = i * s, end = (i + 1) * s;
    const uint64_t first = begin / t, last = (end - 1) / t;
    a.first[i] = static_cast<uint32_t>(first);
    a.count[i] = static_cast<uint16_t>(last - first + 1);
    a.offset[i] = static_cast<uint32_t>(a.weight.size());
    int64_t sum = 0;
    size_t largest = a.weight.size();
    uint32_t most = 0;
    for (uint64_t j = first; j <= last; ++j) {
      const uint64_t overlap = std::min(end, (j + 1) * t) - std::max(begin, j * t);
      const uint32_t w = static_cast<uint32_t>((overlap * kWeightOne + s / 2) / s);
      if (w > most) {
        most = w;
        largest = a.weight.size();
      }
      a.weight.push_back(static_cast<uint16_t>(w));
      sum += w;
    }
    // Rounding leaves the sum a little off one: the largest weight takes it.
    a.weight[largest] = static_cast<uint16_t>(a.weight[largest] + (int64_t{kWeightOne} - sum));
  }
}

bool AreaScaler::prepare(const Picture& picture, const Placement& placement) {
  ready_ = false;
  const FrameSize out = placement.scaled;
  if (out.width == 0 || out.height == 0) return false;
  const bool turned = placement.turn.transposed();
  width_ = turned ? out.height : out.width;
  height_ = turned ? out.width : out.height;
  for (int c = 0; c < 3; ++c) {
    const Channel& ch = picture.channels[c];
    if (ch.width == 0 || ch.height == 0 || !ch.data) return false;
    make_axis(ch.width, width_, across_[c]);
    make_axis(ch.height, height_, down_[c]);
    rows_[c].assign(size_t{width_} * ch.height, 0);
    scaled_[c].assign(size_t{width_} * height_, 0);
  }
  placement_ = placement;
  ready_ = true;
  return true;
}

bool AreaScaler::prepared_for(const Picture& picture, const Placement& p) const {
  if (!ready_) return false;
  for (int c = 0; c < 3; ++c)
    if (across_[c].source != picture.channels[c].width || down_[c].source != picture.channels[c].height) return false;
  const Placement& q = placement_;
  return p.scaled.width == q.scaled.width && p.scaled.height == q.scaled.height && p.turn.quarter == q.turn.quarter &&
         p.turn.hflip == q.turn.hflip && p.turn.vflip == q.turn.vflip && p.fit == q.fit;
}

void AreaScaler::scale_channel(const Channel& ch, int c) {
  const Axis& across = across_[c];
  const Axis& down = down_[c];
  uint16_t* rows = rows_[c].data();
  for (uint32_t y = 0; y < ch.height; ++y) {
    const uint8_t* line = ch.data + size_t{y} * ch.stride;
    for (uint32_t i = 0; i < width_; ++i) {
      const uint8_t* p = line + size_t{across.first[i]} * ch.step;
      const uint16_t* w = across.weight.data() + across.offset[i];
      uint32_t sum = 0;
      for (uint32_t k = 0; k < across.count[i]; ++k, p += ch.step) sum += uint32_t{*p} * w[k];
      rows[size_t{y} * width_ + i] = static_cast<uint16_t>((sum + (1u << (kAcrossShift - 1))) >> kAcrossShift);
    }
  }
  // The means are cut to whole levels before conversion (a 64th of a level
  // short counts as whole, for the weights' rounding), which brings the
  // frames closest to the command line's (libswscale's), measured on
  // 1280 x 720 movies; at the display's size nothing is lost.
  constexpr uint32_t kWhole = kFractionBits + kWeightBits;
  uint16_t* out = scaled_[c].data();
  for (uint32_t r = 0; r < height_; ++r) {
    const uint16_t* w = down.weight.data() + down.offset[r];
    const uint16_t* first = rows + size_t{down.first[r]} * width_;
    for (uint32_t i = 0; i < width_; ++i) {
      uint32_t sum = 0;
      for (uint32_t k = 0; k < down.count[r]; ++k) sum += uint32_t{first[size_t{k} * width_ + i]} * w[k];
      out[size_t{r} * width_ + i] = static_cast<uint16_t>((sum + (kWeightOne >> 1) + kWeightOne) >> kWhole << kFractionBits);
    }
  }
}

void AreaScaler::convert_and_place(const PictureColour& colour, std::span<uint8_t> dib) const {
  const FrameSize out = placement_.scaled;
  const Turn& turn = placement_.turn;
  // The scaled picture's top-left corner on the display: centred, so a
  // padded picture has even bars and a cropped one loses both sides alike.
  int64_t left = 0, top = 0;
  if (placement_.fit == Fit::pad) {
    left = (int64_t{kWidth} - out.width) / 2;
    top = (int64_t{kHeight} - out.height) / 2;
  } else if (placement_.fit == Fit::crop) {
    left = -((int64_t{out.width} - kWidth) / 2);
    top = -((int64_t{out.height} - kHeight) / 2);
  }
  const Coefficients k = coefficients(colour);
  // Rounded down, as libswscale's conversion does, after a 256th of a level
  // that keeps exact values (white at 235) from falling to the rounding of
  // the coefficients.
  constexpr int kShift = kCoefficientBits + kFractionBits;
  constexpr int64_t kBias = int64_t{1} << (kShift - 8);
  constexpr int kRound = 1 << (kFractionBits - 1);
  const size_t stride = dib_stride(kWidth);
  uint8_t* pixels = dib.data() + kDibHeaderBytes;
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* bgr = pixels + size_t(kHeight - 1 - y) * stride;
    for (int x = 0; x < kWidth; ++x, bgr += kDibBytesPerPixel) {
      const int64_t u = x - left, v = y - top;
      if (u < 0 || v < 0 || u >= out.width || v >= out.height) {
        bgr[0] = bgr[1] = bgr[2] = 0;  // the bars are black
        continue;
      }
      // Back through the mirrors, then the quarter turn, to the scaled picture.
      const int64_t tx = turn.hflip ? out.width - 1 - u : u;
      const int64_t ty = turn.vflip ? out.height - 1 - v : v;
      int64_t sx = tx, sy = ty;
      if (turn.quarter == 1) {  // clockwise: the left column was the bottom row
        sx = ty;
        sy = height_ - 1 - tx;
      } else if (turn.quarter == 3) {
        sx = width_ - 1 - ty;
        sy = tx;
      }
      const size_t at = size_t(sy) * width_ + size_t(sx);
      const int c0 = scaled_[0][at], c1 = scaled_[1][at], c2 = scaled_[2][at];
      if (colour.matrix == ColourMatrix::rgb) {
        bgr[0] = static_cast<uint8_t>((c2 + kRound) >> kFractionBits);
        bgr[1] = static_cast<uint8_t>((c1 + kRound) >> kFractionBits);
        bgr[2] = static_cast<uint8_t>((c0 + kRound) >> kFractionBits);
        continue;
      }
      const int64_t luma = k.y * (c0 - (k.black << kFractionBits));
      const int64_t cb = c1 - (kChromaZero << kFractionBits), cr = c2 - (kChromaZero << kFractionBits);
      bgr[0] = clamp_byte((luma + k.bu * cb + kBias) >> kShift);
      bgr[1] = clamp_byte((luma - k.gu * cb - k.gv * cr + kBias) >> kShift);
      bgr[2] = clamp_byte((luma + k.rv * cr + kBias) >> kShift);
    }
  }
}

void AreaScaler::scale(const Picture& picture, std::span<uint8_t> dib) {
  if (!ready_ || dib.size() < kDisplayDibBytes) return;
  put_dib_header(dib, kWidth, kHeight);
  for (int c = 0; c < 3; ++c) scale_channel(picture.channels[c], c);
  convert_and_place(picture.colour, dib);
}
