// The tone stages (see tone.h): curves worked out once per video or once per
// frame and applied by table, the unsharp mask, and the automatic levels
// with their memory between frames.
#include "frame/tone.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

#include "frame/arithmetic.h"
#include "frame/luma.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kGreys = kMaxGrey + 1;
constexpr int kPercent = 100;
constexpr int kHundredths = 100;

// The unsharp mask's blur: 1-2-1 each way, 16 in all.
constexpr int kBlurWeight = 16;

// --levels=auto. The points are the values under 1 % and over 99 % of the
// pixels; they move 1/8 of the way to each frame's (about 0.8 s to settle at
// 10 frames a second), so that a face walking through the picture does not
// make the whole picture pump. They are at least kMinSpan apart: a fade to
// black or a grey fog is not stretched into noise (a gain of 4 at most).
constexpr int kPointPercent = 1;
constexpr int kFollow = 8;
constexpr int kMinSpan = 64;
constexpr int kPointScale = 256;  // the points in 1/256 grey levels
// Edge rows and columns no lighter than this are black bars (padding), and
// the histogram leaves them out: they would pin the black point at 0.
constexpr int kBarGrey = 16;

// 0 .. 1 to a grey value, rounded to nearest and clamped.
uint8_t to_grey(double share) { return static_cast<uint8_t>(std::clamp(std::lround(share * kMaxGrey), 0L, long{kMaxGrey})); }

// The picture without the black bars at its edges, as [top, bottom) x
// [left, right); the whole picture if nothing is lighter than a bar.
struct Area {
  int top = 0, bottom = kHeight, left = 0, right = kWidth;
};
Area picture_area(const GreyBuffer& g) {
  const auto row_lit = [&](int y) {
    for (int x = 0; x < kWidth; ++x)
      if (g[y * kWidth + x] > kBarGrey) return true;
    return false;
  };
  Area a;
  while (a.top < kHeight && !row_lit(a.top)) ++a.top;
  if (a.top == kHeight) return Area{};
  while (!row_lit(a.bottom - 1)) --a.bottom;
  const auto column_lit = [&](int x) {
    for (int y = a.top; y < a.bottom; ++y)
      if (g[y * kWidth + x] > kBarGrey) return true;
    return false;
  };
  while (!column_lit(a.left)) ++a.left;
  while (!column_lit(a.right - 1)) --a.right;
  return a;
}

}  // namespace

ToneCurve brightness_contrast_curve(int32_t brightness, int32_t contrast) {
  const double slope = std::max(0.0, std::tan(std::numbers::pi * (contrast / double(kPercent) + 1) / 4));
  // ImageMagick's intercept b + (1 - b) / 2 x (1 - slope), written about the
  // pivot q = (1 - b) / 2, which goes to 1 - q, so that a slope near
  // infinity (contrast 100) does not cancel two huge numbers.
  const double pivot = (kPercent - brightness) / (2.0 * kPercent);
  ToneCurve curve;
  for (int v = 0; v < kGreys; ++v) curve[v] = to_grey(slope * (v / double(kMaxGrey) - pivot) + (1 - pivot));
  return curve;
}

ToneCurve light_curve(int32_t gamma_hundredths) {
  const double exponent = gamma_hundredths / double(kHundredths);
  ToneCurve curve;
  for (int v = 0; v < kGreys; ++v) curve[v] = to_grey(std::pow(v / double(kMaxGrey), exponent));
  curve[kSamplingWhite] = kSamplingWhite;
  return curve;
}

void apply_curve(GreyBuffer& graybuf, const ToneCurve& curve) {
  for (uint8_t& v : graybuf) v = curve[v];
}

void sharpen(GreyBuffer& graybuf, int32_t amount_hundredths) {
  // Rows blurred 1-2-1 into `across`, whose first and last rows repeat the
  // picture's edge rows; then each pixel from the three rows around it. The
  // detail is within 16 x 255 and the amount within 500: 32 bits hold the
  // product, and the division by a constant becomes a multiply.
  constexpr int kRows = kHeight + 2;
  std::array<int16_t, kRows * kWidth> across;
  for (int y = 0; y < kHeight; ++y) {
    const uint8_t* row = &graybuf[y * kWidth];
    int16_t* out = &across[(y + 1) * kWidth];
    out[0] = static_cast<int16_t>(3 * row[0] + row[1]);
    for (int x = 1; x < kWidth - 1; ++x) out[x] = static_cast<int16_t>(row[x - 1] + 2 * row[x] + row[x + 1]);
    out[kWidth - 1] = static_cast<int16_t>(row[kWidth - 2] + 3 * row[kWidth - 1]);
  }
  std::copy_n(&across[kWidth], kWidth, &across[0]);
  std::copy_n(&across[kHeight * kWidth], kWidth, &across[(kHeight + 1) * kWidth]);
  constexpr int32_t kScale = kBlurWeight * kHundredths;
  if (amount_hundredths == kHundredths) {
    // An amount of one adds the detail / 16 itself, rounded: (|d| + 8) >> 4
    // is the same quotient as above, and in 16 bits the loop runs eight
    // pixels to a vector.
    constexpr int kBlurShift = 4;
    static_assert(kBlurWeight == 1 << kBlurShift);
    for (int i = 0; i < kPixels; ++i) {
      const auto blurred = static_cast<int16_t>(across[i] + 2 * across[i + kWidth] + across[i + 2 * kWidth]);
      const auto detail = static_cast<int16_t>(kBlurWeight * graybuf[i] - blurred);
      const auto magnitude = static_cast<int16_t>((std::abs(detail) + kBlurWeight / 2) >> kBlurShift);
      const auto change = static_cast<int16_t>(detail < 0 ? -magnitude : magnitude);
      graybuf[i] = static_cast<uint8_t>(std::clamp<int16_t>(static_cast<int16_t>(graybuf[i] + change), 0, kMaxGrey));
    }
    return;
  }
  const auto apply = [&](auto quotient) {
    for (int i = 0; i < kPixels; ++i) {
      const int32_t blurred = across[i] + 2 * across[i + kWidth] + across[i + 2 * kWidth];
      const int32_t scaled = (kBlurWeight * graybuf[i] - blurred) * amount_hundredths;
      // Rounded to nearest, halves away from zero.
      const int32_t magnitude = quotient(std::abs(scaled) + kScale / 2);
      const int32_t change = scaled < 0 ? -magnitude : magnitude;
      graybuf[i] = static_cast<uint8_t>(std::clamp(graybuf[i] + change, 0, kMaxGrey));
    }
  };
  // Below 2^24 a float holds the numerator exactly, and its division,
  // rounded correctly, truncates to the integer quotient (every such
  // numerator was checked): the loop then runs four pixels to a vector, where
  // SSE2 has no division or high multiply of 32-bit integers.
  constexpr int32_t kExactInFloat = 1 << 24;
  constexpr int32_t kMaxDetail = kBlurWeight * kMaxGrey;
  if (amount_hundredths <= (kExactInFloat - kScale / 2 - 1) / kMaxDetail)
    apply([](int32_t n) { return static_cast<int32_t>(static_cast<float>(n) / static_cast<float>(kScale)); });
  else
    apply([](int32_t n) { return n / kScale; });
}

// How many pixels moved by `change` grey levels or more from `before` to `now`.
static int moved_pixels(const GreyBuffer& now, const GreyBuffer& before, int change) {
  if (change <= 0) return kPixels;
  // Compared in bytes, sixteen pixels to a vector: no pixel moves further
  // than kMaxGrey.
  const auto beyond = static_cast<uint8_t>(std::min(change - 1, kMaxGrey));
#if defined(__SSE2__)
  // The compiler widens each comparison to 32 bits to count it; here each
  // vector's moved pixels are summed in bytes by a sum of absolute
  // differences from zero: one instead of eight.
  constexpr int kBytes = sizeof(__m128i), kUpperSum = 4;  // the 16-bit lane of the upper half's sum
  static_assert(kPixels % kBytes == 0);
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1), bar = _mm_set1_epi8(static_cast<char>(beyond));
  __m128i sum = zero;
  for (int i = 0; i < kPixels; i += kBytes) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&now[i]));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&before[i]));
    const __m128i apart = _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
    // apart > beyond: what is left of it past beyond is not zero.
    const __m128i within = _mm_cmpeq_epi8(_mm_subs_epu8(apart, bar), zero);
    sum = _mm_add_epi64(sum, _mm_sad_epu8(_mm_andnot_si128(within, one), zero));
  }
  return _mm_cvtsi128_si32(sum) + _mm_extract_epi16(sum, kUpperSum);
#else
  int count = 0;
  for (int i = 0; i < kPixels; ++i)
    count += static_cast<uint8_t>(std::max(now[i], before[i]) - std::min(now[i], before[i])) > beyond;
  return count;
#endif
}

bool scene_cut(const GreyBuffer& now, const GreyBuffer& before, int change, int percent) {
  return moved_pixels(now, before, change) * kPercent > kPixels * percent;
}

void auto_levels(GreyBuffer& graybuf, LevelsState& state) {
  const Area a = picture_area(graybuf);
  std::array<int, kGreys> histogram{};
  for (int y = a.top; y < a.bottom; ++y)
    for (int x = a.left; x < a.right; ++x) ++histogram[graybuf[y * kWidth + x]];
  const int count = (a.bottom - a.top) * (a.right - a.left);
  const int rank = count * kPointPercent / kPercent;  // pixels under the black point, and over the white
  int black = 0, below = 0;
  while (below + histogram[black] <= rank) below += histogram[black++];
  int white = kMaxGrey, above = 0;
  while (above + histogram[white] <= rank) above += histogram[white--];
  if (white - black < kMinSpan) {
    // Widened evenly about their middle, within 0 .. 255.
    black = std::clamp((black + white - kMinSpan) / 2, 0, kMaxGrey - kMinSpan);
    white = black + kMinSpan;
  }

  if (!state.primed || scene_cut(graybuf, state.previous, kCutChange, kCutPercent)) {
    state.black = black * kPointScale;
    state.white = white * kPointScale;
  } else {
    state.black += (black * kPointScale - state.black) / kFollow;
    state.white += (white * kPointScale - state.white) / kFollow;
  }
  state.previous = graybuf;
  state.primed = true;

  ToneCurve curve;
  const int64_t span = state.white - state.black;
  for (int v = 0; v < kGreys; ++v)
    curve[v] = static_cast<uint8_t>(
        std::clamp<int64_t>(rounded_quotient((int64_t{v} * kPointScale - state.black) * kMaxGrey, span), 0, kMaxGrey));
  apply_curve(graybuf, curve);
}
