// Tests of the quality tool's measures: the blur, flips, SSIM, tone error and band gap,
// against values worked out by hand and by scikit-image.
#include "measures.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

GreyBuffer filled(uint8_t v) {
  GreyBuffer g;
  g.fill(v);
  return g;
}

// Patterns the reference values below were computed on.
GreyBuffer diagonal_stripes() {
  GreyBuffer g;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) g[y * kWidth + x] = static_cast<uint8_t>((x * 3 + y * 5) % 256);
  return g;
}
GreyBuffer sparse_dots() {
  GreyBuffer g;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) g[y * kWidth + x] = (x * x + 3 * y) % 7 < 3 ? 255 : 0;
  return g;
}

Blurred blurred(const GreyBuffer& g) {
  Blurred b;
  blur(g, b);
  return b;
}

TEST(MeasuresBlur, OnePixelSpreadsAsTheBinomialKernelAndEdgesRepeat) {
  GreyBuffer g = filled(0);
  g[10 * kWidth + 20] = 1;  // inside
  g[0] = 1;                 // top-left corner
  const Blurred b = blurred(g);
  const int centre[3][3] = {{1, 2, 1}, {2, 4, 2}, {1, 2, 1}};
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) EXPECT_EQ(b[(10 + dy) * kWidth + 20 + dx], centre[dy + 1][dx + 1]);
  EXPECT_EQ(b[10 * kWidth + 22], 0);
  // The corner is its own neighbour beyond the edge: 4 + 2 + 2 + 1 at the corner.
  EXPECT_EQ(b[0], 9);
  EXPECT_EQ(b[1], 3);
  EXPECT_EQ(b[kWidth], 3);
  EXPECT_EQ(b[kWidth + 1], 1);
  EXPECT_EQ(blurred(filled(200))[5 * kWidth + 7], 200 * kBlurScale);
}

TEST(MeasuresFlips, CountsPixelsThatDiffer) {
  GreyBuffer a = filled(0), b = filled(0);
  EXPECT_EQ(flips(a, b), 0);
  b[0] = 255;
  b[kPixels - 1] = 85;
  EXPECT_EQ(flips(a, b), 2);
}

TEST(MeasuresError, SquaredErrorIsInGreyLevels) {
  EXPECT_DOUBLE_EQ(squared_error(blurred(filled(10)), blurred(filled(13))), 9.0 * kPixels);
}

TEST(MeasuresSsim, Values) {
  const double c1 = 0.01 * 255 * 0.01 * 255;
  const struct {
    const char* what;
    GreyBuffer a, b;
    double ssim;
  } cases[] = {
      {"identical", diagonal_stripes(), diagonal_stripes(), 1.0},
      // Flat pictures have no variance: only the means' term is left.
      {"flat 255 against flat 0", filled(255), filled(0), c1 / (255.0 * 255 + c1)},
      {"flat 100 against flat 50", filled(100), filled(50), (2.0 * 100 * 50 + c1) / (100.0 * 100 + 50 * 50 + c1)},
      // skimage.metrics.structural_similarity(A, B, gaussian_weights=True,
      // sigma=1.5, use_sample_covariance=False, data_range=255) on both
      // pictures blurred by the 3 x 3 binomial kernel (mode='nearest').
      {"scikit-image", sparse_dots(), diagonal_stripes(), 0.09387022018365387},
  };
  for (const auto& c : cases) EXPECT_NEAR(ssim(blurred(c.a), blurred(c.b)), c.ssim, 1e-12) << c.what;
}

TEST(MeasuresTone, Values) {
  const double mid = std::pow(128 / 255.0, 2.2);
  GreyBuffer half = filled(0);  // every other column white
  for (int i = 0; i < kPixels; i += 2) half[i] = 255;
  GreyBuffer left = filled(0);  // the left half white: whole blocks off
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth / 2; ++x) left[y * kWidth + x] = 255;
  const struct {
    const char* what;
    GreyBuffer shades, source;
    double error;
  } cases[] = {
      {"black on black", filled(0), filled(0), 0.0},
      {"white on sampling's white", filled(255), filled(254), 1 - std::pow(254 / 255.0, 2.2)},
      {"half the pixels white for a mid grey", half, filled(128), 0.5 - mid},
      {"a grey level for its own code value", filled(85), filled(85), 1 / 3.0 - std::pow(1 / 3.0, 2.2)},
      {"errors do not cancel between blocks", left, filled(255), 0.5},
      // The same reference computation as for SSIM, with (v / 255) ** 2.2.
      {"scikit-image's numpy", sparse_dots(), diagonal_stripes(), 0.2484696774254216},
  };
  for (const auto& c : cases) EXPECT_NEAR(tone_error(c.shades, c.source), c.error, 1e-12) << c.what;
}

// Runs whose band 0 is 40 levels apart and band 7 one level, with band 0
// holding `sparse` of 10,000 pixels: one in a thousand is the least that
// counts.
TEST(MeasuresBandGap, ABandCountsFromOnePixelInAThousand) {
  const struct {
    double sparse;
    double gap;
    int band;
  } cases[] = {{9, 1, 7}, {10, 40, 0}, {11, 40, 0}, {0, 1, 7}};
  for (const auto& c : cases) {
    ToneBands a, b;
    a.pixels[0] = b.pixels[0] = c.sparse;
    a.pixels[7] = b.pixels[7] = 10000 - c.sparse;
    a.shade[0] = 40 * c.sparse;
    b.shade[0] = 0;
    a.shade[7] = 200 * a.pixels[7];
    b.shade[7] = 201 * b.pixels[7];
    const BandGap g = band_gap(a, b);
    EXPECT_DOUBLE_EQ(g.gap, c.gap) << c.sparse;
    EXPECT_EQ(g.band, c.band) << c.sparse;
  }
}

}  // namespace
