// Tests of the frame pipeline: grey sampling of frame bitmaps, tone
// reduction, error diffusion and bit-plane packing.
#include "frame/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <vector>

#include "frame/dib.h"
#include "util/bytes.h"

namespace {

struct Rgb {
  uint8_t r, g, b;
};

// Grey as the display sees it: 16.16 luma weights, truncated.
int luma(Rgb c) { return (c.r * 19589 + c.g * 38469 + c.b * 7471) >> 16; }

void put_u32(std::vector<uint8_t>& dib, size_t at, uint32_t v) { put_le32(dib, at, v); }

// A packed 24-bit bottom-up bitmap; `colour` is asked for picture
// coordinates (row 0 at the top). Padding and colour-table bytes are junk so
// that reading them shows up in the result.
std::vector<uint8_t> make_dib(int32_t w, int32_t h, const std::function<Rgb(int, int)>& colour,
                              uint32_t clrused = 0, size_t stride = 0) {
  if (stride == 0) stride = dib_stride(size_t(w));
  const size_t start = kDibHeaderBytes + 4 * size_t{clrused};
  std::vector<uint8_t> dib(start + stride * size_t(h), 0xA5);
  put_dib_header(dib, static_cast<uint32_t>(w), static_cast<uint32_t>(h));
  put_u32(dib, kDibClrUsedField, clrused);
  for (int b = 0; b < h; ++b) {
    for (int a = 0; a < w; ++a) {
      const Rgb c = colour(a, b);
      uint8_t* p = &dib[start + size_t(h - 1 - b) * stride + 3 * size_t(a)];
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
    }
  }
  return dib;
}

// Every pixel different, and different in each component.
Rgb busy(int a, int b) {
  return {static_cast<uint8_t>(a * 7 + b * 3), static_cast<uint8_t>(a * 2 + b * 5 + 11),
          static_cast<uint8_t>(a * b + 40)};
}

GreyBuffer sampled(const std::vector<uint8_t>& dib) {
  GreyBuffer g{};
  EXPECT_TRUE(sample(dib, g));
  return g;
}

GreyBuffer filled(uint8_t v) {
  GreyBuffer g;
  g.fill(v);
  return g;
}

// A deterministic spread of grey values for tests that want "any picture".
GreyBuffer noisy() {
  GreyBuffer g;
  uint32_t s = 12345;
  for (uint8_t& v : g) {
    s = s * 1103515245 + 12345;
    v = static_cast<uint8_t>(s >> 16);
  }
  return g;
}

const Kernel kFloydSteinberg = {0, 0, 0, 0, 0, 28672, 12288, 20480, 4096};

Kernel only(int k, int32_t weight) {
  Kernel m{};
  m[k] = weight;
  return m;
}

int index_of(int x, int y) { return y * kWidth + x; }

}  // namespace

// --- Grey sampling ---------------------------------------------------------

// Display-sized rows are weighed sixteen pixels at a time: every value of
// every colour in every place of the sixteen, and the largest sums.
TEST(FrameSample, DisplaySizedFrameMapsPixelForPixel) {
  const struct {
    const char* what;
    std::function<Rgb(int, int)> colour;
  } cases[] = {
      {"busy", busy},
      {"every value, each colour its own order",
       [](int x, int y) {
         const int i = y * kWidth + x;
         return Rgb{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i % 256), static_cast<uint8_t>(i * 7 + i / 256)};
       }},
      {"white", [](int, int) { return Rgb{255, 255, 255}; }},
      {"colours full and empty by turns",
       [](int x, int y) {
         const int i = y * kWidth + x;
         return Rgb{static_cast<uint8_t>(i & 1 ? 255 : 0), static_cast<uint8_t>(i & 2 ? 255 : 0),
                    static_cast<uint8_t>(i & 4 ? 255 : 0)};
       }},
  };
  for (const auto& c : cases) {
    const GreyBuffer g = sampled(make_dib(kWidth, kHeight, c.colour));
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x)
        ASSERT_EQ(g[index_of(x, y)], luma(c.colour(x, y))) << c.what << " x=" << x << " y=" << y;
  }
}

TEST(FrameSample, TopRowComesFromLastStoredRow) {
  std::vector<uint8_t> dib = make_dib(kWidth, kHeight, [](int, int) { return Rgb{0, 0, 0}; });
  std::fill(dib.end() - 3 * kWidth, dib.end(), 0xFF);  // the last stored row, white
  const GreyBuffer g = sampled(dib);
  for (int i = 0; i < kPixels; ++i) ASSERT_EQ(g[i], i < kWidth ? 254 : 0) << "i=" << i;
}

TEST(FrameSample, PrimaryColours) {
  const struct {
    Rgb colour;
    int grey;
  } cases[] = {
      {{255, 255, 255}, 254}, {{0, 0, 0}, 0}, {{255, 0, 0}, 76}, {{0, 255, 0}, 149}, {{0, 0, 255}, 29},
  };
  for (const auto& c : cases) {
    const GreyBuffer g = sampled(make_dib(kWidth, kHeight, [&](int, int) { return c.colour; }));
    EXPECT_EQ(g, filled(static_cast<uint8_t>(c.grey)))
        << int(c.colour.r) << "," << int(c.colour.g) << "," << int(c.colour.b);
  }
}

TEST(FrameSample, DoubleSizeFrameTakesTruncatedMeanOfTwoByTwo) {
  // One white pixel in each 2 x 2 block: 254 / 4 = 63.5, truncated to 63.
  const GreyBuffer one = sampled(make_dib(2 * kWidth, 2 * kHeight, [](int a, int b) {
    return (a % 2 && b % 2) ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
  }));
  EXPECT_EQ(one, filled(63));

  const GreyBuffer g = sampled(make_dib(2 * kWidth, 2 * kHeight, busy));
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const int sum = luma(busy(2 * x, 2 * y)) + luma(busy(2 * x + 1, 2 * y)) +
                      luma(busy(2 * x, 2 * y + 1)) + luma(busy(2 * x + 1, 2 * y + 1));
      ASSERT_EQ(g[index_of(x, y)], sum / 4) << "x=" << x << " y=" << y;
    }
  }
}

TEST(FrameSample, ColourTableMovesPixelData) {
  const GreyBuffer plain = sampled(make_dib(kWidth, kHeight, busy));
  for (uint32_t entries : {1u, 3u, 256u}) {
    EXPECT_EQ(sampled(make_dib(kWidth, kHeight, busy, entries)), plain) << entries << " entries";
  }
}

TEST(FrameSample, OddWidthRowsArePaddedToFourBytes) {
  // 97 pixels are 291 bytes, stored 292 apart; a colour per picture row shows
  // any slip of the stride as a wrong row or a mixed-up pixel.
  const auto row_colour = [](int, int b) {
    return Rgb{static_cast<uint8_t>(b * 4), static_cast<uint8_t>(255 - b * 3), static_cast<uint8_t>(b)};
  };
  const GreyBuffer g = sampled(make_dib(97, kHeight, row_colour, 0, 292));
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      ASSERT_EQ(g[index_of(x, y)], luma(row_colour(0, y))) << "x=" << x << " y=" << y;
}

TEST(FrameSample, SmallFramesAreEnlargedByRepetition) {
  const struct {
    int32_t w, h;
  } sizes[] = {{48, 32}, {1, 1}, {7, 64}, {96, 5}, {200, 10}, {10, 200}};
  for (const auto& s : sizes) {
    const GreyBuffer g = sampled(make_dib(s.w, s.h, busy));
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const int xa = x * s.w / kWidth, xb = (x + 1) * s.w / kWidth;
        const int ya = y * s.h / kHeight, yb = (y + 1) * s.h / kHeight;
        int want;
        if (xa == xb || ya == yb) {
          want = luma(busy(xa, ya));
        } else {
          int sum = 0;
          for (int b = ya; b < yb; ++b)
            for (int a = xa; a < xb; ++a) sum += luma(busy(a, b));
          want = sum / ((xb - xa) * (yb - ya));
        }
        ASSERT_EQ(g[index_of(x, y)], want) << s.w << "x" << s.h << " at x=" << x << " y=" << y;
      }
    }
  }
}

TEST(FrameSample, HalfSizeFrameRepeatsEachPixelTwice) {
  const GreyBuffer g = sampled(make_dib(kWidth / 2, kHeight / 2, busy));
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      ASSERT_EQ(g[index_of(x, y)], luma(busy(x / 2, y / 2))) << "x=" << x << " y=" << y;
}

TEST(FrameSample, ExactLengthIsEnough) {
  std::vector<uint8_t> dib = make_dib(97, 3, busy);
  ASSERT_EQ(dib.size(), 40u + 292u * 3u);
  GreyBuffer g{};
  EXPECT_TRUE(sample(dib, g));
  dib.pop_back();
  EXPECT_FALSE(sample(dib, g));
}

TEST(FrameSample, LargestSideIsRead) {
  // 65535 pixels is the largest side read; one more is refused even when the
  // bytes are all there.
  const struct {
    int32_t w, h;
    bool readable;
  } cases[] = {{65535, 1, true}, {65536, 1, false}, {1, 65535, true}, {1, 65536, false}};
  for (const auto& c : cases) {
    const std::vector<uint8_t> dib = make_dib(c.w, c.h, [](int a, int b) {
      return Rgb{static_cast<uint8_t>(a), static_cast<uint8_t>(b), 0};
    });
    GreyBuffer g{};
    EXPECT_EQ(sample(dib, g), c.readable) << c.w << "x" << c.h;
  }
}

TEST(FrameSample, RejectsUnreadableFrames) {
  const std::vector<uint8_t> good = make_dib(kWidth, kHeight, busy);
  const struct {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> spoil;
  } cases[] = {
      {"empty", [](auto& d) { d.clear(); }},
      {"shorter than the header", [](auto& d) { d.resize(39); }},
      {"header only", [](auto& d) { d.resize(40); }},
      {"last row cut short", [](auto& d) { d.resize(d.size() - 1); }},
      {"zero width", [](auto& d) { put_u32(d, 4, 0); }},
      {"negative width", [](auto& d) { put_u32(d, 4, uint32_t(-96)); }},
      {"zero height", [](auto& d) { put_u32(d, 8, 0); }},
      {"negative height (top-down)", [](auto& d) { put_u32(d, 8, uint32_t(-64)); }},
      {"core header", [](auto& d) { put_u32(d, 0, 12); }},
      {"header past the end", [](auto& d) { put_u32(d, 0, 0xFFFFFFF0u); }},
      {"colour table past the end", [](auto& d) { put_u32(d, 32, 1); }},
      {"huge colour table", [](auto& d) { put_u32(d, 32, 0xFFFFFFFFu); }},
      {"huge width", [](auto& d) { put_u32(d, 4, INT32_MAX); }},
      {"huge height", [](auto& d) { put_u32(d, 8, INT32_MAX); }},
      {"huge both",
       [](auto& d) {
         put_u32(d, 4, INT32_MAX);
         put_u32(d, 8, INT32_MAX);
       }},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> dib = good;
    c.spoil(dib);
    GreyBuffer g{};
    EXPECT_FALSE(sample(dib, g)) << c.what;
  }
}

// --- Tone reduction --------------------------------------------------------

TEST(FrameReduce, Levels) {
  const struct {
    int32_t levels;
    uint8_t in, out;
  } cases[] = {
      {2, 0, 0},     {2, 127, 0},   {2, 128, 255}, {2, 255, 255},
      {4, 63, 0},    {4, 64, 85},   {4, 127, 85},  {4, 128, 170}, {4, 191, 170}, {4, 192, 255},
      {3, 84, 0},    {3, 85, 127},  {3, 169, 127}, {3, 170, 254}, {3, 254, 254},
      {16, 15, 0},   {16, 16, 17},  {16, 33, 34},  {16, 255, 255},
      {128, 77, 76}, {128, 78, 78},
      {6, 209, 204}, {6, 210, 255}, {6, 251, 255},
      {6, 252, 255}, {6, 254, 255},  // one level past the last stays white
      {86, 254, 255},
  };
  for (const auto& c : cases) {
    GreyBuffer g = filled(c.in);
    reduce(g, c.levels);
    EXPECT_EQ(g, filled(c.out)) << "r=" << c.levels << " v=" << int(c.in);
  }
}

TEST(FrameReduce, EveryLevelCountGivesOrderedLevels) {
  // Also a check that no level count divides by zero or wraps a byte.
  for (int32_t r = 2; r <= 255; ++r) {
    GreyBuffer g;
    for (int i = 0; i < kPixels; ++i) g[i] = static_cast<uint8_t>(i);
    reduce(g, r);
    const int scale = 255 / (r - 1);
    for (int i = 0; i < 256; ++i) {
      ASSERT_TRUE(g[i] % scale == 0 || g[i] == 255) << "r=" << r << " v=" << i;
      if (i > 0) {
        ASSERT_GE(g[i], g[i - 1]) << "r=" << r << " v=" << i;
      }
    }
  }
}

TEST(FrameReduce, OffAndIdentityCountsLeaveBufferAlone) {
  const GreyBuffer before = noisy();
  for (int32_t r : {0, 1, -5, 255, 256, 1000, INT32_MAX}) {
    GreyBuffer g = before;
    reduce(g, r);
    EXPECT_EQ(g, before) << "r=" << r;
  }
}

// --- Dithering -------------------------------------------------------------

TEST(FrameDither, Closestg) {
  const struct {
    uint8_t in, out;
  } cases[] = {{0, 0},     {41, 0},    {42, 85},   {126, 85},  {127, 170},
               {211, 170}, {212, 255}, {254, 255}, {255, 255}};
  for (const auto& c : cases) EXPECT_EQ(closestg(c.in), c.out) << int(c.in);
}

TEST(FrameDither, AddErrorSaturates) {
  const struct {
    int a, b, sum;
  } cases[] = {{250, 20, 255}, {5, -20, 0},   {100, 28, 128}, {0, 0, 0},           {255, 0, 255},
               {0, -1, 0},     {255, 1, 255}, {128, -128, 0}, {1, INT_MAX, 255},  {0, INT_MIN, 0}};
  for (const auto& c : cases) EXPECT_EQ(AddError(c.a, c.b), c.sum) << c.a << " + " << c.b;
}

TEST(FrameDither, UniformBlackAndWhiteStayPut) {
  for (Shades shades : {Shades::two, Shades::four}) {
    for (uint8_t v : {0, 255}) {
      GreyBuffer g = filled(v), d = filled(77);
      dither(g, shades, kFloydSteinberg, d);
      EXPECT_EQ(d, filled(v)) << "shades=" << int(shades) << " v=" << int(v);
      EXPECT_EQ(g, filled(v)) << "shades=" << int(shades) << " v=" << int(v);
    }
  }
}

TEST(FrameDither, MidGreyFirstPixels) {
  GreyBuffer g = filled(128), d{};
  dither(g, Shades::two, kFloydSteinberg, d);
  EXPECT_EQ(d[0], 255);
  EXPECT_EQ(g[1], 72);  // 128 + (-127 * 28672 >> 16) = 128 - 56
  EXPECT_EQ(d[1], 0);
  EXPECT_EQ(g[2], 128 + (72 * 28672 >> 16));
  EXPECT_EQ(d[2], 255);
}

TEST(FrameDither, ShiftRoundsTowardMinusInfinity) {
  const struct {
    uint8_t v;  // quantised to 0 or 255, leaving error +10 or -10
    Shades shades;
    uint8_t after;  // the right neighbour, starting at 100
  } cases[] = {{245, Shades::two, 95}, {10, Shades::two, 104}, {160, Shades::four, 95}, {95, Shades::four, 104}};
  for (const auto& c : cases) {
    GreyBuffer g = filled(0), d{};
    g[0] = c.v;
    g[1] = 100;
    dither(g, c.shades, only(5, 28672), d);
    EXPECT_EQ(g[1], c.after) << int(c.v);
  }
}

TEST(FrameDither, DiffusedValueIsClamped) {
  const struct {
    uint8_t v, neighbour, after;
  } cases[] = {{20, 250, 255}, {235, 5, 0}};
  for (const auto& c : cases) {
    GreyBuffer g = filled(0), d{};
    g[0] = c.v;
    g[1] = c.neighbour;
    dither(g, Shades::two, only(5, kFixedOne), d);
    EXPECT_EQ(g[1], c.after) << int(c.v) << " into " << int(c.neighbour);
    EXPECT_EQ(d[1], c.after >= 128 ? 255 : 0);
  }
}

TEST(FrameDither, NearWhiteDeficitAccumulates) {
  // Every -1 error reaches its neighbours as -1, so the deficit builds up down
  // the picture until it tips pixels over a threshold.
  const struct {
    Shades shades;
    uint8_t level;  // what the tipped pixels become
    int count, firstrow;
  } cases[] = {{Shades::two, 0, 53, 24}, {Shades::four, 170, 199, 8}};
  for (const auto& c : cases) {
    GreyBuffer g = filled(254), d{};
    dither(g, c.shades, kFloydSteinberg, d);
    int count = 0, firstrow = -1;
    for (int i = 0; i < kPixels; ++i) {
      if (d[i] == 255) continue;
      EXPECT_EQ(d[i], c.level) << "shades=" << int(c.shades) << " i=" << i;
      if (count++ == 0) firstrow = i / kWidth;
    }
    EXPECT_EQ(count, c.count) << "shades=" << int(c.shades);
    EXPECT_EQ(firstrow, c.firstrow) << "shades=" << int(c.shades);
  }
}

TEST(FrameDither, ZeroKernelIsPlainThresholding) {
  const GreyBuffer in = noisy();
  for (Shades shades : {Shades::two, Shades::four}) {
    GreyBuffer g = in, d{};
    dither(g, shades, Kernel{}, d);
    EXPECT_EQ(g, in);
    for (int i = 0; i < kPixels; ++i) {
      const uint8_t want = shades == Shades::four ? closestg(in[i]) : (in[i] >= 128 ? 255 : 0);
      ASSERT_EQ(d[i], want) << "shades=" << int(shades) << " i=" << i;
    }
  }
}

TEST(FrameDither, EveryOutputByteIsAQuantisedLevel) {
  for (Shades shades : {Shades::two, Shades::four}) {
    GreyBuffer g = noisy(), d = filled(1);
    dither(g, shades, kFloydSteinberg, d);
    for (int i = 0; i < kPixels; ++i) {
      if (shades == Shades::four)
        ASSERT_TRUE(d[i] == 0 || d[i] == 85 || d[i] == 170 || d[i] == 255) << i;
      else
        ASSERT_TRUE(d[i] == 0 || d[i] == 255) << i;
    }
  }
}

TEST(FrameDither, ErrorNeverWrapsAroundAnEdge) {
  // A full-weight kernel at one position and one pixel at 100 (error +100);
  // the pixel a wrapping neighbour would hit, also at 100, would tip to white.
  const struct {
    const char* what;
    int k;
    int x, y;    // the pixel giving error
    int vx, vy;  // the pixel across the edge
  } cases[] = {
      {"right, last column", 5, kWidth - 1, 3, 0, 4},
      {"below-right, last column", 8, kWidth - 1, 3, 0, 5},
      {"below-left, first column", 6, 0, 3, kWidth - 1, 3},
  };
  for (const auto& c : cases) {
    GreyBuffer g = filled(0), d{};
    g[index_of(c.x, c.y)] = 100;
    g[index_of(c.vx, c.vy)] = 100;
    dither(g, Shades::two, only(c.k, kFixedOne), d);
    EXPECT_EQ(g[index_of(c.vx, c.vy)], 100) << c.what;
    EXPECT_EQ(d, filled(0)) << c.what;
  }
}

TEST(FrameDither, BottomRowPassesNothingDown) {
  // With only downward weights, nothing in the last row has anywhere to go.
  GreyBuffer g = filled(0), d{};
  for (int x = 0; x < kWidth; ++x) g[index_of(x, kHeight - 1)] = static_cast<uint8_t>(x + 20);
  const GreyBuffer before = g;
  dither(g, Shades::two, {0, 0, 0, 0, 0, 0, kFixedOne, kFixedOne, kFixedOne}, d);
  EXPECT_EQ(g, before);
  EXPECT_EQ(d, filled(0));
}

TEST(FrameDither, ExtremeWeightsSaturate) {
  // err * weight overflows 32 bits here; the result is the clamped value of
  // the true product.
  const struct {
    uint8_t v;
    int32_t weight;
    uint8_t after;  // the right neighbour, starting at 100
  } cases[] = {
      {1, INT32_MAX, 255},   {1, INT32_MIN, 0},    {127, INT32_MAX, 255}, {127, INT32_MIN, 0},
      {128, INT32_MAX, 0},   {128, INT32_MIN, 255}, {254, INT32_MIN, 255},
  };
  for (const auto& c : cases) {
    GreyBuffer g = filled(0), d{};
    g[0] = c.v;
    g[1] = 100;
    dither(g, Shades::two, only(5, c.weight), d);
    EXPECT_EQ(g[1], c.after) << int(c.v) << " weight " << c.weight;
  }
  for (Shades shades : {Shades::two, Shades::four}) {
    for (int32_t w : {INT32_MAX, INT32_MIN}) {
      GreyBuffer g = noisy(), d{};
      dither(g, shades, Kernel{w, w, w, w, w, w, w, w, w}, d);
      for (int i = 0; i < kPixels; ++i)
        ASSERT_TRUE(shades == Shades::four ? closestg(d[i]) == d[i] : (d[i] == 0 || d[i] == 255)) << i;
    }
  }
}

// --- Packing ---------------------------------------------------------------

TEST(FramePack, UniformPictures) {
  const struct {
    Shades shades;
    uint8_t q, first, second;
  } cases[] = {
      {Shades::two, 0, 0xFF, 0x5A},   {Shades::two, 255, 0x00, 0x5A},  {Shades::four, 0, 0xFF, 0xFF},
      {Shades::four, 85, 0xFF, 0x00}, {Shades::four, 170, 0x00, 0xFF}, {Shades::four, 255, 0x00, 0x00},
  };
  for (const auto& c : cases) {
    Plane f, f2;
    f.fill(0x5A);  // stale bytes from an earlier frame
    f2.fill(0x5A);
    pack(filled(c.q), c.shades, f, f2);
    Plane want, want2;
    want.fill(c.first);
    want2.fill(c.second);
    EXPECT_EQ(f, want) << "shades=" << int(c.shades) << " q=" << int(c.q);
    EXPECT_EQ(f2, want2) << "shades=" << int(c.shades) << " q=" << int(c.q);
  }
}

TEST(FramePack, LeftmostPixelInBitSeven) {
  const struct {
    int x, byte;
    uint8_t bits;
  } cases[] = {{0, 0, 0x80}, {7, 0, 0x01}, {8, 1, 0x80}, {95, 11, 0x01}, {50, 6, 0x20}};
  for (const auto& c : cases) {
    GreyBuffer d = filled(255);
    const int y = 5;
    d[index_of(c.x, y)] = 0;
    Plane f, f2{};
    f.fill(0xEE);
    pack(d, Shades::two, f, f2);
    for (int i = 0; i < kPlaneBytes; ++i)
      ASSERT_EQ(f[i], i == y * kRowBytes + c.byte ? c.bits : 0) << "x=" << c.x << " byte " << i;
  }
}

TEST(FramePack, FourLevelsInTwoPlanes) {
  GreyBuffer d;
  for (int i = 0; i < kPixels; ++i) d[i] = kShadeLevels[i % 4];
  Plane f{}, f2{};
  pack(d, Shades::four, f, f2);
  Plane want, want2;
  want.fill(0xCC);
  want2.fill(0xAA);
  EXPECT_EQ(f, want);
  EXPECT_EQ(f2, want2);
}

// Every pixel of a picture in all four shades, in no pattern, lands in its
// own bit of each plane: bit 7 - x % 8 of byte y * 12 + x / 8, set when the
// pixel is dark in that plane (below 128 in the first, bit 6 clear in the
// second).
TEST(FramePack, EveryPixelLandsInItsOwnBit) {
  GreyBuffer d;
  uint32_t seed = 77;
  for (uint8_t& q : d) {
    seed = seed * 1664525 + 1013904223;
    q = kShadeLevels[seed >> 30];
  }
  Plane f{}, f2{};
  pack(d, Shades::four, f, f2);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const uint8_t q = d[index_of(x, y)];
      const int byte = y * kRowBytes + x / 8, bit = 7 - x % 8;
      ASSERT_EQ((f[byte] >> bit) & 1, q < 128 ? 1 : 0) << x << "," << y;
      ASSERT_EQ((f2[byte] >> bit) & 1, (q & 0x40) == 0 ? 1 : 0) << x << "," << y;
    }
}
