// The sizing rule: the size a movie's picture is scaled to before it is
// padded to the display, keeping its shape.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "movie/frame_source.h"
#include "settings/settings.h"

// How a stored picture is turned to be shown: a quarter turn (transpose),
// then mirroring, in that order.
struct Turn {
  int quarter = 0;  // clockwise quarter turns, 0..3
  bool hflip = false;
  bool vflip = false;
  bool transposed() const { return quarter % 2 == 1; }
};

// How a display matrix (nine 32-bit numbers, 16.16 but the last column's
// 2.30, row by row, as MP4 stores it) turns the picture: a negative
// determinant means it mirrors; the rotation left is rounded to the nearest
// quarter turn. A singular matrix leaves the picture as stored.
Turn turn_from_matrix(std::span<const int32_t, 9> matrix);

// A stored width x height picture as shown: its width stretched by the
// pixel shape sar_num / sar_den (1:1 when either is not above 0), then
// turned. Each side is kept within 1 .. 2^20.
FrameSize displayed_size(uint32_t width, uint32_t height, int64_t sar_num, int64_t sar_den, const Turn& turn);

// The largest picture a decoder is asked for: a damaged or hostile header
// must not make movdith allocate gigabytes, so larger ones are refused
// before anything is allocated for them.
constexpr int kMaxPictureSide = 8192;
constexpr int64_t kMaxPicturePixels = 40'000'000;
// A caller may lower the pixel limit (the fuzz targets do), never raise it.
constexpr bool picture_too_large(int64_t width, int64_t height, int64_t max_pixels = kMaxPicturePixels) {
  return width > kMaxPictureSide || height > kMaxPictureSide || width * height > std::min(max_pixels, kMaxPicturePixels);
}

// The pixel limit to hand a decoder when pictures of up to `pixels` are
// allowed. Decoders allocate pictures padded to whole blocks and aligned rows
// (96 x 64 is allocated as 128 x 64), at most 128 more a side, and refuse by
// the padded size; the exact limit is checked on the decoded picture.
constexpr int64_t kDecoderPadding = 128;
constexpr int64_t decoder_pixel_limit(int64_t pixels) {
  return pixels + kDecoderPadding * (2 * kMaxPictureSide + kDecoderPadding);
}

struct OutputSize {
  uint32_t outw = 0;
  uint32_t outh = 0;
};

// Fits a W x H picture into 96 x 64 keeping its shape (unsigned 32-bit
// arithmetic); false when either side would be 0.
bool output_size(uint32_t width, uint32_t height, OutputSize& size);

// The size a W x H picture is scaled to for `fit`: the rule above for pad;
// for crop, the smallest size of its shape that covers 96 x 64 (rounded up,
// so no edge is left bare; the long side held at kMaxScaledSide); 96 x 64 for
// stretch. False when either side of the picture, or of the padded size, is 0.
constexpr uint32_t kMaxScaledSide = 8192;
bool fit_size(uint32_t width, uint32_t height, Fit fit, OutputSize& size);
