// Area-averaging scaling onto the display: exact copies at the display's
// size, exact means when shrinking, the colour matrices at their reference
// colours, and where turns, mirrors, bars and crops put a marked pixel.
#include "movie/builtin/area_scale.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "frame/dib.h"

namespace {

// A planar picture of three full-size channels (4:4:4), filled by `value`.
struct Planes {
  uint32_t width, height;
  std::array<std::vector<uint8_t>, 3> data;
  Planes(uint32_t w, uint32_t h, uint8_t (*value)(int c, uint32_t x, uint32_t y)) : width(w), height(h) {
    for (int c = 0; c < 3; ++c) {
      data[c].resize(size_t{w} * h);
      for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) data[c][size_t{y} * w + x] = value(c, x, y);
    }
  }
  Picture picture(ColourMatrix matrix, bool full_range = false) const {
    Picture p;
    for (int c = 0; c < 3; ++c) p.channels[c] = {data[c].data(), width, 1, width, height};
    p.colour = {matrix, full_range};
    return p;
  }
};

std::vector<uint8_t> scaled(const Picture& picture, const Placement& placement) {
  AreaScaler scaler;
  EXPECT_TRUE(scaler.prepare(picture, placement));
  EXPECT_TRUE(scaler.prepared_for(picture, placement));
  std::vector<uint8_t> dib(kDisplayDibBytes);
  scaler.scale(picture, dib);
  return dib;
}

// Blue, green, red of display pixel (x, y), top row first.
std::array<uint8_t, 3> pixel(const std::vector<uint8_t>& dib, int x, int y) {
  const uint8_t* p = dib.data() + kDibHeaderBytes + size_t(kHeight - 1 - y) * dib_stride(kWidth) + size_t(x) * 3;
  return {p[0], p[1], p[2]};
}

const Placement kWhole{{kWidth, kHeight}, {}, Fit::pad};

uint8_t pattern(int c, uint32_t x, uint32_t y) { return uint8_t((x * 7 + y * 13 + uint32_t(c) * 85) % 256); }

TEST(AreaScale, DisplaySizedRgbIsCopiedExactly) {
  const Planes planes(kWidth, kHeight, pattern);
  const std::vector<uint8_t> dib = scaled(planes.picture(ColourMatrix::rgb), kWhole);
  std::vector<uint8_t> header(kDibHeaderBytes);
  put_dib_header(header, kWidth, kHeight);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), dib.begin()));
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const auto bgr = pixel(dib, x, y);
      ASSERT_EQ(bgr[2], pattern(0, x, y)) << x << "," << y;
      ASSERT_EQ(bgr[1], pattern(1, x, y)) << x << "," << y;
      ASSERT_EQ(bgr[0], pattern(2, x, y)) << x << "," << y;
    }
}

TEST(AreaScale, ShrinkingAveragesWhatEachPixelCovers) {
  // 4 x 4 blocks of one value each: 384 x 256 becomes 96 x 64 block means;
  // a block of 0, 1, 2, 3 alternating by column averages to 1.5, cut to 1
  // (means are cut to whole levels, as libswscale's are).
  const Planes blocks(kWidth * 4, kHeight * 4,
                      [](int c, uint32_t x, uint32_t y) { return uint8_t(c == 0 ? x % 4 : (x / 4 + y / 4) % 200); });
  const std::vector<uint8_t> dib = scaled(blocks.picture(ColourMatrix::rgb), kWhole);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      ASSERT_EQ(pixel(dib, x, y)[2], 1) << x << "," << y;
      ASSERT_EQ(pixel(dib, x, y)[1], (x + y) % 200) << x << "," << y;
    }
  // Three source pixels for two: the middle one is split between them.
  const Planes thirds(kWidth * 3 / 2, kHeight, [](int, uint32_t x, uint32_t) { return uint8_t(x % 3 * 90); });
  const std::vector<uint8_t> split = scaled(thirds.picture(ColourMatrix::rgb), kWhole);
  EXPECT_EQ(pixel(split, 0, 0)[2], 30);   // (0 + 90 / 2) / 1.5
  EXPECT_EQ(pixel(split, 1, 0)[2], 150);  // (90 / 2 + 180) / 1.5
}

TEST(AreaScale, ColourMatricesAtTheirReferenceColours) {
  struct Case {
    const char* name;
    ColourMatrix matrix;
    bool full;
    uint8_t y, cb, cr;
    std::array<int, 3> bgr;
  } cases[] = {
      {"limited black", ColourMatrix::bt601, false, 16, 128, 128, {0, 0, 0}},
      {"limited white", ColourMatrix::bt601, false, 235, 128, 128, {255, 255, 255}},
      {"below black clamps", ColourMatrix::bt601, false, 0, 128, 128, {0, 0, 0}},
      {"full white", ColourMatrix::bt709, true, 255, 128, 128, {255, 255, 255}},
      {"full mid grey", ColourMatrix::bt709, true, 128, 128, 128, {128, 128, 128}},
      {"bt601 red", ColourMatrix::bt601, false, 81, 90, 240, {0, 0, 255}},
      {"bt709 red", ColourMatrix::bt709, false, 63, 102, 240, {0, 0, 255}},
      {"bt601 blue", ColourMatrix::bt601, false, 41, 240, 110, {255, 0, 0}},
      {"bt2020 green", ColourMatrix::bt2020, true, 173, 36, 11, {0, 255, 0}},
  };
  for (const Case& c : cases) {
    const uint8_t v[3] = {c.y, c.cb, c.cr};
    std::array<std::vector<uint8_t>, 3> planes;
    Picture p;
    for (int k = 0; k < 3; ++k) {
      planes[k].assign(4, v[k]);
      p.channels[k] = {planes[k].data(), 2, 1, 2, 2};
    }
    p.colour = {c.matrix, c.full};
    const auto bgr = pixel(scaled(p, {{kWidth, kHeight}, {}, Fit::stretch}), 50, 30);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(bgr[k], c.bgr[k], 1) << c.name << " channel " << k;
  }
}

TEST(AreaScale, SubsampledChromaCoversThePicture) {
  // 4:2:0: chroma half the size each way, with red on the right half only.
  std::vector<uint8_t> luma(size_t{kWidth} * kHeight, 81), cb(size_t{kWidth / 2} * (kHeight / 2)),
      cr(cb.size());
  for (uint32_t y = 0; y < kHeight / 2; ++y)
    for (uint32_t x = 0; x < kWidth / 2; ++x) {
      cb[y * (kWidth / 2) + x] = x < kWidth / 4 ? 128 : 90;
      cr[y * (kWidth / 2) + x] = x < kWidth / 4 ? 128 : 240;
    }
  Picture p;
  p.channels[0] = {luma.data(), kWidth, 1, kWidth, kHeight};
  p.channels[1] = {cb.data(), kWidth / 2, 1, kWidth / 2, kHeight / 2};
  p.channels[2] = {cr.data(), kWidth / 2, 1, kWidth / 2, kHeight / 2};
  const std::vector<uint8_t> dib = scaled(p, kWhole);
  EXPECT_EQ(pixel(dib, 10, 10)[2], pixel(dib, 10, 10)[1]) << "grey on the left";
  EXPECT_NEAR(pixel(dib, 90, 60)[2], 255, 1) << "red on the right";
  EXPECT_NEAR(pixel(dib, 90, 60)[1], 0, 1);
}

// One white pixel in the top-left corner of a black picture, shown through
// each turn and fit: where it lands on the display.
struct MarkCase {
  const char* name;
  uint32_t width, height;  // the picture as stored
  Placement placement;
  int x, y;  // where the mark lands
};

class AreaScaleMark : public ::testing::TestWithParam<MarkCase> {};

TEST_P(AreaScaleMark, LandsWhereTheTurnAndFitPutIt) {
  const MarkCase& c = GetParam();
  std::array<std::vector<uint8_t>, 3> planes;
  Picture p;
  for (int k = 0; k < 3; ++k) {
    planes[k].assign(size_t{c.width} * c.height, 0);
    planes[k][0] = 255;
    p.channels[k] = {planes[k].data(), c.width, 1, c.width, c.height};
  }
  p.colour = {ColourMatrix::rgb, true};
  const std::vector<uint8_t> dib = scaled(p, c.placement);
  int lit = 0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      if (pixel(dib, x, y)[0] != 0) {
        ++lit;
        EXPECT_EQ(x, c.x);
        EXPECT_EQ(y, c.y);
        EXPECT_EQ(pixel(dib, x, y)[0], 255);
      }
  EXPECT_EQ(lit, 1);
}

INSTANTIATE_TEST_SUITE_P(
    AreaScale, AreaScaleMark,
    ::testing::Values(
        MarkCase{"as_stored", 96, 64, {{96, 64}, {0, false, false}, Fit::pad}, 0, 0},
        MarkCase{"clockwise", 64, 96, {{96, 64}, {1, false, false}, Fit::pad}, 95, 0},
        MarkCase{"anticlockwise", 64, 96, {{96, 64}, {3, false, false}, Fit::pad}, 0, 63},
        MarkCase{"half_turn", 96, 64, {{96, 64}, {2, true, true}, Fit::pad}, 95, 63},
        MarkCase{"mirrored", 96, 64, {{96, 64}, {0, true, false}, Fit::pad}, 95, 0},
        MarkCase{"clockwise_mirrored", 64, 96, {{96, 64}, {1, true, false}, Fit::pad}, 0, 0},
        // 32 x 64 padded: bars of 32 on either side
        MarkCase{"pillarbox", 32, 64, {{32, 64}, {0, false, false}, Fit::pad}, 32, 0},
        // 96 x 32: bars of 16 above and below
        MarkCase{"letterbox", 96, 32, {{96, 32}, {0, false, false}, Fit::pad}, 0, 16},
        // a portrait picture turned to landscape and padded: 64 x 42 shown
        MarkCase{"turned_letterbox", 42, 64, {{64, 42}, {1, false, false}, Fit::pad}, 79, 11}),
    [](const ::testing::TestParamInfo<MarkCase>& info) { return info.param.name; });

TEST(AreaScale, CropCutsBothSidesEvenly) {
  // 128 x 64 cropped: 16 columns go on each side.
  const Planes ramp(128, 64, [](int, uint32_t x, uint32_t) { return uint8_t(x); });
  const std::vector<uint8_t> dib = scaled(ramp.picture(ColourMatrix::rgb), {{128, 64}, {}, Fit::crop});
  EXPECT_EQ(pixel(dib, 0, 0)[2], 16);
  EXPECT_EQ(pixel(dib, 95, 63)[2], 111);
}

TEST(AreaScale, StrideStepAndInterleavedChannels) {
  // Red, green, blue, unused bytes, as a canvas gives them, with padded rows.
  constexpr uint32_t kW = 96, kH = 64, kStride = kW * 4 + 8;
  std::vector<uint8_t> rgba(size_t{kStride} * kH, 7);
  for (uint32_t y = 0; y < kH; ++y)
    for (uint32_t x = 0; x < kW; ++x)
      for (int c = 0; c < 3; ++c) rgba[y * kStride + x * 4 + c] = pattern(c, x, y);
  Picture p;
  for (int c = 0; c < 3; ++c) p.channels[c] = {rgba.data() + c, kStride, 4, kW, kH};
  p.colour = {ColourMatrix::rgb, true};
  const std::vector<uint8_t> dib = scaled(p, kWhole);
  EXPECT_EQ(pixel(dib, 17, 23)[2], pattern(0, 17, 23));
  EXPECT_EQ(pixel(dib, 17, 23)[1], pattern(1, 17, 23));
  EXPECT_EQ(pixel(dib, 17, 23)[0], pattern(2, 17, 23));
}

TEST(AreaScale, ImpossiblePlacementsAreRefused) {
  const Planes planes(8, 8, pattern);
  AreaScaler scaler;
  EXPECT_FALSE(scaler.prepare(planes.picture(ColourMatrix::rgb), {{0, 64}, {}, Fit::pad}));
  Picture empty = planes.picture(ColourMatrix::rgb);
  empty.channels[1].width = 0;
  EXPECT_FALSE(scaler.prepare(empty, kWhole));
  EXPECT_FALSE(scaler.prepared_for(planes.picture(ColourMatrix::rgb), kWhole));
  ASSERT_TRUE(scaler.prepare(planes.picture(ColourMatrix::rgb), kWhole));
  EXPECT_FALSE(scaler.prepared_for(planes.picture(ColourMatrix::rgb), {{96, 64}, {1, false, false}, Fit::pad}));
  EXPECT_FALSE(scaler.prepared_for(Planes(9, 8, pattern).picture(ColourMatrix::rgb), kWhole));
}

}  // namespace
