// Tests of the tone stages: the brightness-contrast and light curves, the
// unsharp mask, the automatic levels with their memory, the cut rule, and
// the pipeline running them in order only when asked.
#include "frame/tone.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "frame/dib.h"
#include "frame/pipeline.h"

namespace {

GreyBuffer filled(uint8_t v) {
  GreyBuffer g;
  g.fill(v);
  return g;
}

// Column x holds first + x: every value of first .. first + 95 in 64 pixels.
GreyBuffer columns(int first) {
  GreyBuffer g;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) g[y * kWidth + x] = static_cast<uint8_t>(first + x);
  return g;
}

TEST(ToneCurves, BrightnessAndContrastAsImageMagick) {
  const struct {
    int brightness, contrast;
    std::vector<std::pair<int, int>> points;  // {in, out}
  } cases[] = {
      // Brightness alone adds its share of white: 20 % is 51 levels.
      {20, 0, {{0, 51}, {100, 151}, {204, 255}, {205, 255}, {255, 255}}},
      {-20, 0, {{0, 0}, {51, 0}, {52, 1}, {255, 204}}},
      {100, 0, {{0, 255}, {255, 255}}},
      {-100, 0, {{0, 0}, {255, 0}}},
      // Contrast 50: slope tan(3 pi / 8) = 1 + sqrt(2) about mid grey.
      {0, 50, {{0, 0}, {100, 61}, {120, 109}, {128, 129}, {140, 158}, {200, 255}}},
      // -100 flattens everything to mid grey; 100 is a threshold at it.
      {0, -100, {{0, 128}, {255, 128}}},
      {0, 100, {{0, 0}, {127, 0}, {128, 255}, {255, 255}}},
      // Both: the pivot moves with the brightness; 102 / 255 is the pivot, 0.4,
      // which goes to 0.6.
      {20, 100, {{101, 0}, {102, 153}, {103, 255}}},
  };
  for (const auto& c : cases) {
    const ToneCurve curve = brightness_contrast_curve(c.brightness, c.contrast);
    for (const auto& [in, out] : c.points)
      EXPECT_EQ(curve[in], out) << c.brightness << " x " << c.contrast << " at " << in;
  }
  const ToneCurve same = brightness_contrast_curve(0, 0);
  for (int v = 0; v < 256; ++v) EXPECT_EQ(same[v], v);
}

TEST(ToneCurves, LightCurve) {
  const ToneCurve light = light_curve(220);
  const std::pair<int, int> points[] = {{0, 0},     {1, 0},     {14, 0},    {15, 1},    {30, 2},   {64, 12},
                                        {128, 56},  {192, 137}, {200, 149}, {253, 251}, {254, 254}, {255, 255}};
  for (const auto& [in, out] : points) EXPECT_EQ(light[in], out) << in;
  // Never lighter than the grey, and in order.
  for (int v = 1; v < 256; ++v) {
    EXPECT_LE(light[v], v);
    EXPECT_GE(light[v], light[v - 1]);
  }
  const ToneCurve one = light_curve(100);
  for (int v = 0; v < 256; ++v) EXPECT_EQ(one[v], v);
}

TEST(ToneCurves, ApplyCurveMapsEveryPixel) {
  ToneCurve curve;
  for (int v = 0; v < 256; ++v) curve[v] = static_cast<uint8_t>(255 - v);
  GreyBuffer g = columns(10);
  apply_curve(g, curve);
  EXPECT_EQ(g[0], 245);
  EXPECT_EQ(g[kPixels - 1], 255 - 10 - 95);
}

TEST(ToneSharpen, OneBrightPixelAndItsNeighbours) {
  GreyBuffer g = filled(100);
  g[10 * kWidth + 20] = 200;
  g[0] = 200;  // a corner: its missing neighbours repeat it
  sharpen(g, 50);
  // Centre: 16 x 200 - (4 x 200 + 12 x 100) = 1200, half of it / 16 = 37.5, rounded up.
  EXPECT_EQ(g[10 * kWidth + 20], 238);
  EXPECT_EQ(g[10 * kWidth + 21], 94);        // -200 x 0.5 / 16 = -6.25
  EXPECT_EQ(g[11 * kWidth + 21], 97);        // -100 x 0.5 / 16 = -3.125
  EXPECT_EQ(g[10 * kWidth + 22], 100);       // out of reach
  EXPECT_EQ(g[0], 222);                      // 16 x 200 - (9 x 200 + 7 x 100) = 700: + 21.875
  EXPECT_EQ(g[1], 91);                       // 16 x 100 - (3 x 200 + 13 x 100) = -300: - 9.375
  EXPECT_EQ(g[kWidth + 1], 97);
  // Flat pictures stay flat; strong amounts clamp.
  GreyBuffer flat = filled(77);
  sharpen(flat, 500);
  EXPECT_EQ(flat, filled(77));
  GreyBuffer strong = filled(100);
  strong[5 * kWidth + 5] = 200;
  sharpen(strong, 500);
  EXPECT_EQ(strong[5 * kWidth + 5], 255);
  EXPECT_EQ(strong[5 * kWidth + 6], 37);     // 100 - 62.5, rounded away from zero
  EXPECT_EQ(strong[6 * kWidth + 6], 69);     // 100 - 31.25
}

// Every pixel as the rule gives it in integers: 16 x itself less its 1-2-1
// blur (edges repeated), times the amount, over 1600 rounded half away from
// zero, added and clamped; for textures of every detail, at amounts that
// round halves (2), the settings' most (500), an amount of one (100, which
// takes a path of its own) and either side of it, and on either side of where
// the numerator outgrows what a float holds exactly (4111, 4112).
TEST(ToneSharpen, EveryPixelAsTheIntegerRule) {
  GreyBuffer g;
  for (int i = 0; i < kPixels; ++i) g[i] = static_cast<uint8_t>((i * i * 31 + i / kWidth * 17) % 256);
  for (int x = 0; x < kWidth; x += 9) g[x] = 255, g[kWidth + x] = 0;  // the largest detail either way
  for (const int amount : {1, 2, 37, 99, 100, 101, 500, 4111, 4112}) {
    GreyBuffer got = g;
    sharpen(got, amount);
    int wrong = 0;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        int blurred = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx)
            blurred += (2 - std::abs(dx)) * (2 - std::abs(dy)) *
                       g[std::clamp(y + dy, 0, kHeight - 1) * kWidth + std::clamp(x + dx, 0, kWidth - 1)];
        const int scaled = (16 * g[y * kWidth + x] - blurred) * amount;
        const int magnitude = (std::abs(scaled) + 800) / 1600;
        const int want = std::clamp(g[y * kWidth + x] + (scaled < 0 ? -magnitude : magnitude), 0, 255);
        wrong += got[y * kWidth + x] != want;
      }
    EXPECT_EQ(wrong, 0) << amount;
  }
}

TEST(ToneLevels, FirstFrameStretchesThePercentilesAtOnce) {
  LevelsState state;
  GreyBuffer g = columns(40);  // black point 40, white point 135
  auto_levels(g, state);
  EXPECT_EQ(g[0], 0);
  EXPECT_EQ(g[47], 126);   // 87: 47 x 255 / 95 = 126.2
  EXPECT_EQ(g[95], 255);
  EXPECT_EQ(state.black, 40 * 256);
  EXPECT_EQ(state.white, 135 * 256);
}

TEST(ToneLevels, PercentilesLeaveOutOnePercentAtEachEnd) {
  // 61 of 6144 pixels (under 1 %) far out at each end do not move the points.
  GreyBuffer g = columns(40);
  for (int i = 0; i < 61; ++i) {
    g[i] = 0;
    g[kPixels - 1 - i] = 255;
  }
  LevelsState state;
  auto_levels(g, state);
  EXPECT_EQ(state.black, 40 * 256);
  EXPECT_EQ(state.white, 135 * 256);
  // One more pixel at each end does.
  g = columns(40);
  for (int i = 0; i < 62; ++i) {
    g[i * kWidth] = 0;
    g[i * kWidth + kWidth - 1] = 255;
  }
  state.reset();
  auto_levels(g, state);
  EXPECT_EQ(state.black, 0);
  EXPECT_EQ(state.white, 255 * 256);
}

TEST(ToneLevels, BlackBarsAreNotPartOfThePicture) {
  GreyBuffer g = columns(40);
  for (int x = 0; x < kWidth; ++x)
    for (int y : {0, 1, 2, 3, 4, 5, 6, 7, 56, 57, 58, 59, 60, 61, 62, 63}) g[y * kWidth + x] = 16;
  LevelsState state;
  auto_levels(g, state);
  EXPECT_EQ(state.black, 40 * 256);
  EXPECT_EQ(g[0], 0);  // the bars stay black
  // A bar one level lighter is picture.
  g = columns(40);
  for (int x = 0; x < kWidth; ++x) g[x] = 17;
  state.reset();
  auto_levels(g, state);
  EXPECT_EQ(state.black, 17 * 256);
  // A picture all as dark as a bar is taken whole.
  g = filled(10);
  state.reset();
  auto_levels(g, state);
  EXPECT_EQ(state.black, 0);
  EXPECT_EQ(state.white, 64 * 256);
}

// A dim 4:3 picture in the wide frame: rows 40, 42 .. 166 between side bars
// of `bar` grey, `width` columns each.
GreyBuffer pillarboxed(uint8_t bar, int width) {
  GreyBuffer g;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      g[y * kWidth + x] = x < width || x >= kWidth - width ? bar : static_cast<uint8_t>(40 + 2 * y);
  return g;
}

TEST(ToneLevels, SideBarsAreNotPartOfThePicture) {
  const struct {
    uint8_t bar;
    int width;
    int black, white;  // the points taken
  } cases[] = {
      {16, 6, 40, 166},  // 4:3 in 96 x 64: 84 columns of picture, 84 pixels to a grey
      {16, 1, 40, 166},  // one column each side
      {0, 6, 40, 166},
      {17, 6, 17, 166},  // a level lighter than a bar: its 768 pixels are picture
      {16, 0, 40, 166},  // no bars
  };
  for (const auto& c : cases) {
    GreyBuffer g = pillarboxed(c.bar, c.width);
    LevelsState state;
    auto_levels(g, state);
    EXPECT_EQ(state.black, c.black * 256) << int(c.bar) << " x " << c.width;
    EXPECT_EQ(state.white, c.white * 256) << int(c.bar) << " x " << c.width;
    if (c.bar <= 16 && c.width > 0) {
      EXPECT_EQ(g[0], 0);                      // the bars stay black
      EXPECT_EQ(g[kWidth / 2], 0);             // the picture's darkest row is its black
      EXPECT_EQ(g[kPixels - kWidth / 2], 255);  // and its lightest its white
    }
  }
  // Side bars inside letterbox bars (a window box): all four trimmed.
  GreyBuffer g = pillarboxed(16, 6);
  for (int x = 0; x < kWidth; ++x)
    for (int y : {0, 1, 62, 63}) g[y * kWidth + x] = 8;
  LevelsState state;
  auto_levels(g, state);
  EXPECT_EQ(state.black, 44 * 256);   // rows 2 .. 61: 44 .. 162
  EXPECT_EQ(state.white, 162 * 256);
}

TEST(ToneLevels, NarrowHistogramsAreWidenedToSixtyFourLevels) {
  const struct {
    uint8_t grey;
    int black, white;  // the points after widening
    uint8_t out;
  } cases[] = {
      {100, 68, 132, 128},  // evenly about the middle
      {20, 0, 64, 80},      // held inside 0 .. 255
      {250, 191, 255, 235},
  };
  for (const auto& c : cases) {
    LevelsState state;
    GreyBuffer g = filled(c.grey);
    auto_levels(g, state);
    EXPECT_EQ(state.black, c.black * 256) << int(c.grey);
    EXPECT_EQ(state.white, c.white * 256) << int(c.grey);
    EXPECT_EQ(g[0], c.out) << int(c.grey);
  }
}

TEST(ToneLevels, PointsFollowAnEighthOfTheWayUntilACut) {
  LevelsState state;
  GreyBuffer g = columns(40);
  auto_levels(g, state);
  // Every pixel 8 levels lighter: no cut, the points move an eighth.
  g = columns(48);
  auto_levels(g, state);
  EXPECT_EQ(state.black, 41 * 256);
  EXPECT_EQ(state.white, 136 * 256);
  EXPECT_EQ(g[0], 19);  // 48 - 41 = 7 levels over the black point: 7 x 255 / 95 = 18.8
  // A new scene is taken at once: the picture turned upside down in tone.
  GreyBuffer cut;
  for (int i = 0; i < kPixels; ++i) cut[i] = static_cast<uint8_t>(255 - columns(48)[i]);
  auto_levels(cut, state);
  EXPECT_EQ(state.black, (255 - 143) * 256);
  EXPECT_EQ(state.white, (255 - 48) * 256);
}

TEST(ToneCut, MoreThanAQuarterMovingFortyLevels) {
  const GreyBuffer before = filled(100);
  const struct {
    int movers, change;
    bool cut;
  } cases[] = {
      {1536, 40, false}, {1537, 40, true}, {1537, 39, false}, {kPixels, 39, false}, {kPixels, 41, true},
  };
  for (const auto& c : cases) {
    GreyBuffer now = before;
    for (int i = 0; i < c.movers; ++i) now[i] = static_cast<uint8_t>(100 + (i % 2 ? c.change : -c.change));
    EXPECT_EQ(scene_cut(now, before, kCutChange, kCutPercent), c.cut) << c.movers << " by " << c.change;
  }
}

// The count at the ends of the change: black to white moves 255 levels and
// no more; a change of one level counts at 1.
TEST(ToneCut, ChangesAtTheEnds) {
  GreyBuffer dark = filled(0), light = filled(255), speck = filled(0);
  for (int i = 0; i < kPixels; i += 3) speck[i] = 1;  // a third of the pixels, one level up
  const struct {
    const GreyBuffer *now, *before;
    int change, percent;
    bool cut;
  } cases[] = {
      {&light, &dark, 255, 99, true}, {&dark, &light, 255, 99, true}, {&light, &dark, 256, 0, false},
      {&speck, &dark, 1, 33, true},   {&speck, &dark, 1, 34, false},  {&speck, &dark, 2, 0, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(scene_cut(*c.now, *c.before, c.change, c.percent), c.cut) << c.change << " " << c.percent;
}

// A 96 x 64 DIB of one grey.
std::vector<uint8_t> grey_dib(uint8_t v) {
  std::vector<uint8_t> dib(dib_bytes(kWidth, kHeight), v);
  put_dib_header(dib, kWidth, kHeight);
  return dib;
}

int white_pixels(const FrameState& st) {
  int n = 0;
  for (uint8_t q : st.ditherbuf) n += q == 255;
  return n;
}

TEST(TonePipeline, StagesRunInOrderOnlyWhenAsked) {
  // Bayer dithering of a flat grey v lights, in each 8 x 8 tile, the ranks r
  // whose threshold ceil(255 (2r + 1) / 128) is at most v: the count of
  // white pixels tells the grey that reached the dithering.
  const std::vector<uint8_t> mid = grey_dib(128);  // samples to 127
  const struct {
    const char* what;
    void (*set)(ConversionSettings&);
    int white;  // of 6144
  } cases[] = {
      {"nothing", [](ConversionSettings&) {}, 3072},                                   // 127: 32 ranks
      {"gamma 2.2", [](ConversionSettings& c) { c.gamma = 220; }, 1344},               // 55: 14 ranks
      {"brightness, then gamma",                                                        // 178, 116: 29 ranks
       [](ConversionSettings& c) { c.brightness = 20; c.gamma = 220; }, 2784},
      {"contrast 100", [](ConversionSettings& c) { c.contrast = 100; }, 0},            // 0
      // Levels widen a flat 127 to 95 .. 159, which makes it 128; then
      // brightness 20: 179, 45 ranks.
      {"levels, then brightness", [](ConversionSettings& c) { c.auto_levels = true; c.brightness = 20; }, 4320},
      // Brightness 1 % makes 127 130, which -r 2 posterises to white.
      {"brightness, then reduce", [](ConversionSettings& c) { c.brightness = 1; c.reduction = 2; }, kPixels},
      {"sharpen leaves a flat grey", [](ConversionSettings& c) { c.sharpen = 500; }, 3072},
  };
  for (const auto& c : cases) {
    ConversionSettings settings;
    settings.dither = DitherMode::bayer;
    c.set(settings);
    FrameState st;
    ASSERT_TRUE(process_frame(mid, pipeline_options(settings), st)) << c.what;
    EXPECT_EQ(white_pixels(st), c.white) << c.what;
  }
}

}  // namespace
