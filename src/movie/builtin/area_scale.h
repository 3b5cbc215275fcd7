// Area-averaging scaling of a decoded picture onto the display: each output
// pixel is the mean of the source pixels it covers (what shrinking a
// 1920-pixel picture to 96 needs; sampling or bilinear filtering would
// alias), then the picture is turned as shown and padded, cropped or
// stretched to 96 x 64. For front ends that decode without libav (the
// browser page); the result is the bitmap `sample` reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "frame/dib.h"
#include "movie/frame_source.h"
#include "movie/sizing.h"
#include "raster.h"
#include "settings/settings.h"

constexpr size_t kDisplayDibBytes = dib_bytes(kWidth, kHeight);

// One colour channel of a decoded picture: sample (x, y) is at
// data[y * stride + x * step]; a subsampled chroma channel is smaller than
// the picture, and covers it all the same.
struct Channel {
  const uint8_t* data = nullptr;
  size_t stride = 0;
  size_t step = 1;
  uint32_t width = 0;
  uint32_t height = 0;
};

// How channel values become red, green and blue.
enum class ColourMatrix : uint8_t { bt601, bt709, bt2020, rgb };
struct PictureColour {
  ColourMatrix matrix = ColourMatrix::bt601;
  bool full_range = false;  // YCbCr over 0..255 rather than 16..235 (240 for chroma)
};

// A decoded picture: Y, Cb, Cr, or R, G, B for the rgb matrix.
struct Picture {
  std::array<Channel, 3> channels;
  PictureColour colour;
};

// Where a picture lands: the sizing rule's scaled size (as shown), the turn
// from its display matrix, and the fit.
struct Placement {
  FrameSize scaled;
  Turn turn;
  Fit fit = Fit::pad;
};

class AreaScaler {
 public:
  // Readies the weights and working rows for pictures whose channels have
  // these sizes, placed so: the only allocation, sized by the picture.
  // False when a size is 0 or the placement cannot be drawn.
  bool prepare(const Picture& picture, const Placement& placement);

  // Whether prepare() was last called for pictures of this shape and placement.
  bool prepared_for(const Picture& picture, const Placement& placement) const;

  // Scales a picture of the prepared shape into `dib` (kDisplayDibBytes: the
  // header, then 96 x 64 blue-green-red pixels, bottom row first). No allocation.
  void scale(const Picture& picture, std::span<uint8_t> dib);

 private:
  // Per output index: the first source index, how many follow, and their
  // weights (14-bit fractions summing to one), all rows of weights in one list.
  struct Axis {
    uint32_t source = 0;
    std::vector<uint32_t> first;
    std::vector<uint16_t> count;
    std::vector<uint32_t> offset;
    std::vector<uint16_t> weight;
  };
  static void make_axis(uint32_t source, uint32_t target, Axis& axis);
  void scale_channel(const Channel& channel, int c);
  void convert_and_place(const PictureColour& colour, std::span<uint8_t> dib) const;

  Placement placement_;
  uint32_t width_ = 0, height_ = 0;  // the scaled picture before turning
  std::array<Axis, 3> across_, down_;
  std::array<std::vector<uint16_t>, 3> rows_;    // each source row scaled across, 6-bit fractions
  std::array<std::vector<uint16_t>, 3> scaled_;  // the scaled channel, 6-bit fractions
  bool ready_ = false;
};
