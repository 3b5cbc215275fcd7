// The per-frame pipeline: box sampling to grey, posterisation, error
// diffusion to two or four levels, and packing into display bit planes.
#include "frame/frame.h"

#include <algorithm>
#include <cstring>

#include "frame/dib.h"
#include "frame/luma.h"
#include "util/bytes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The largest width or height read. No decoder hands over anything near it,
// and it keeps every box bound and box sum within 32 bits.
constexpr int32_t kMaxSide = 65535;
constexpr int kColourEntryBytes = 4;

constexpr int kMonoThreshold = 128;
constexpr int kKernelSide = 3;

int32_t get_le32_signed(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<int32_t>(get_le32(bytes, at));
}

uint8_t grey_of(const uint8_t* bgr) {
  return static_cast<uint8_t>((bgr[2] * kRedWeight + bgr[1] * kGreenWeight + bgr[0] * kBlueWeight) >>
                              kFixedShift);
}

// A display row of packed blue-green-red pixels to grey, each as grey_of.
// The compiler vectorises grey_of's loop only with SSSE3's byte shuffles; in
// SSE2 sixteen pixels are parted into their colours by four rounds of
// unpacking, then weighed in 32 bits: blue and red paired by pmaddwd, green
// (whose weight passes 16 bits signed) by the low and high halves of its
// products.
void grey_row(const uint8_t* bgr, uint8_t* out) {
#if defined(__SSE2__)
  constexpr int kLanes = 16;
  static_assert(kWidth % kLanes == 0 && kGreenWeight <= UINT16_MAX && kRedWeight <= INT16_MAX &&
                kBlueWeight <= INT16_MAX);
  const auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  // Each round takes every third byte of the three registers' stream to
  // the front: after four, the first register holds bytes 0, 3, 6, ...
  const auto round = [](__m128i& a, __m128i& b, __m128i& c) {
    const __m128i x = _mm_unpacklo_epi8(a, _mm_unpackhi_epi64(b, b));
    const __m128i y = _mm_unpacklo_epi8(_mm_unpackhi_epi64(a, a), c);
    const __m128i z = _mm_unpacklo_epi8(b, _mm_unpackhi_epi64(c, c));
    a = x, b = y, c = z;
  };
  const __m128i zero = _mm_setzero_si128();
  const __m128i blue_red = _mm_set1_epi32(kBlueWeight | kRedWeight << 16);
  const __m128i green = _mm_set1_epi16(static_cast<int16_t>(kGreenWeight));
  // Eight pixels' greys in 16-bit lanes, from their colours in 16-bit lanes.
  const auto weigh = [&](__m128i b, __m128i g, __m128i r) {
    const __m128i low = _mm_mullo_epi16(g, green), high = _mm_mulhi_epu16(g, green);
    const __m128i first = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(b, r), blue_red),
                                        _mm_unpacklo_epi16(low, high));
    const __m128i last = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(b, r), blue_red),
                                       _mm_unpackhi_epi16(low, high));
    return _mm_packs_epi32(_mm_srli_epi32(first, kFixedShift), _mm_srli_epi32(last, kFixedShift));
  };
  for (int x = 0; x < kWidth; x += kLanes) {
    const uint8_t* p = bgr + kDibBytesPerPixel * x;
    __m128i b = load(p), g = load(p + kLanes), r = load(p + 2 * kLanes);
    for (int k = 0; k < 4; ++k) round(b, g, r);
    const __m128i first = weigh(_mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(g, zero), _mm_unpacklo_epi8(r, zero));
    const __m128i last = weigh(_mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(g, zero), _mm_unpackhi_epi8(r, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(first, last));
  }
#else
  for (int x = 0; x < kWidth; ++x) out[x] = grey_of(bgr + kDibBytesPerPixel * x);
#endif
}

}  // namespace

bool sample(std::span<const uint8_t> frame, GreyBuffer& graybuf) {
  if (frame.size() < kDibHeaderBytes) return false;
  const uint32_t headersize = get_le32(frame, kDibSizeField);
  const int32_t width = get_le32_signed(frame, kDibWidthField);
  const int32_t height = get_le32_signed(frame, kDibHeightField);
  const uint32_t clrused = get_le32(frame, kDibClrUsedField);
  // A negative height means top-down rows, which this stage does not read.
  if (headersize < kDibHeaderBytes || width <= 0 || height <= 0) return false;
  if (width > kMaxSide || height > kMaxSide) return false;

  const size_t stride = dib_stride(size_t(width));
  // 64-bit sizes: a hostile colour-table count must fail the length check,
  // not wrap around and pass it.
  const uint64_t pixelstart = uint64_t{headersize} + uint64_t{kColourEntryBytes} * clrused;
  if (pixelstart > frame.size() || uint64_t{stride} * uint64_t(height) > frame.size() - pixelstart)
    return false;
  const uint8_t* pixels = frame.data() + pixelstart;
  // Rows are stored bottom-up.
  const auto pixel = [&](int32_t a, int32_t b) {
    return grey_of(pixels + size_t(height - 1 - b) * stride + size_t(a) * kDibBytesPerPixel);
  };

  // Both engines hand over display-sized frames: one pixel per box, read
  // straight along each row.
  if (width == kWidth && height == kHeight) {
    for (int y = 0; y < kHeight; ++y) grey_row(pixels + size_t(kHeight - 1 - y) * stride, &graybuf[y * kWidth]);
    return true;
  }

  // Box edges along x are the same on every row: worked out once per frame.
  std::array<int32_t, kWidth + 1> column;
  for (int x = 0; x <= kWidth; ++x) column[x] = x * width / kWidth;

  for (int y = 0; y < kHeight; ++y) {
    const int32_t ya = y * height / kHeight, yb = (y + 1) * height / kHeight;
    for (int x = 0; x < kWidth; ++x) {
      const int32_t xa = column[x], xb = column[x + 1];
      int32_t sum = 0;
      for (int32_t b = ya; b < yb; ++b) {
        const uint8_t* row = pixels + size_t(height - 1 - b) * stride;
        for (int32_t a = xa; a < xb; ++a) sum += grey_of(row + size_t(a) * kDibBytesPerPixel);
      }
      const int32_t count = (yb - ya) * (xb - xa);
      // A frame smaller than the display leaves boxes empty; they take the
      // pixel the box starts at, which enlarges a small picture by repetition.
      if (count == 0)
        graybuf[y * kWidth + x] = pixel(std::min(xa, width - 1), std::min(ya, height - 1));
      else
        // The encoder's frames have one pixel per box: no division needed.
        graybuf[y * kWidth + x] = static_cast<uint8_t>(count == 1 ? sum : sum / count);
    }
  }
  return true;
}

void reduce(GreyBuffer& graybuf, int32_t reduction) {
  // From 255 levels up every value maps to itself (and past 256 the step
  // would be zero), so there is nothing to do.
  if (reduction < 2 || reduction >= kMaxGrey) return;
  const int step = 256 / reduction;
  const int scale = kMaxGrey / (reduction - 1);
  // Each byte maps on its own, so the 256 answers are worked out once rather
  // than dividing twice per pixel.
  std::array<uint8_t, 256> level;
  for (int v = 0; v < 256; ++v) {
    // For some level counts the top values reach one level past the last
    // and would land above white; they stay white instead of wrapping.
    level[v] = static_cast<uint8_t>(std::min(v / step * scale, kMaxGrey));
  }
  for (uint8_t& v : graybuf) v = level[v];
}

uint8_t closestg(uint8_t color) {
  // Each threshold is the midpoint between two shades, rounded down.
  if (color < 42) return kBlack;
  if (color < 127) return kDarkGrey;
  if (color < 212) return kLightGrey;
  return kWhite;
}

uint8_t AddError(int a, int b) {
  const int64_t s = int64_t{a} + b;  // wide so that no pair of ints overflows
  return static_cast<uint8_t>(std::clamp<int64_t>(s, 0, kMaxGrey));
}

void dither(GreyBuffer& graybuf, Shades shades, const Kernel& matrix, GreyBuffer& ditherbuf) {
  // The kernel's non-zero weights, in kernel order, as neighbour offsets:
  // most kernels are mostly zeros, which then cost nothing per pixel.
  struct Tap {
    int dx, dy;
    int32_t weight;
  };
  std::array<Tap, kKernelSize> taps;
  int ntaps = 0;
  for (int k = 0; k < kKernelSize; ++k)
    if (matrix[k] != 0) taps[ntaps++] = {k % kKernelSide - 1, k / kKernelSide - 1, matrix[k]};

  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const int i = y * kWidth + x;
      const int v = graybuf[i];
      const int q = shades == Shades::two ? (v >= kMonoThreshold ? kWhite : kBlack) : closestg(static_cast<uint8_t>(v));
      const int err = v - q;
      ditherbuf[i] = static_cast<uint8_t>(q);
      if (err == 0) continue;  // nothing to spread, as in flat black or white areas
      for (int t = 0; t < ntaps; ++t) {
        const int nx = x + taps[t].dx;
        const int ny = y + taps[t].dy;
        // Tested per neighbour so that error never wraps to the opposite edge.
        if (nx < 0 || nx >= kWidth || ny < 0 || ny >= kHeight) continue;
        // The product is taken in 64 bits because a weight near the 16.16
        // limit times the largest error does not fit in 32; the shift rounds
        // toward minus infinity, so small negative errors still reach -1.
        const int64_t delta = int64_t{err} * taps[t].weight >> kFixedShift;
        const int n = ny * kWidth + nx;
        graybuf[n] = AddError(graybuf[n], static_cast<int>(delta));
      }
    }
  }
}

void pack(const GreyBuffer& ditherbuf, Shades shades, Plane& final, Plane& final2) {
  // A row is a whole number of bytes, so pixels 8b .. 8b + 7 make byte b,
  // the first in bit 7. Eight pixels are read as one little-endian word; a
  // pixel is dark when bit 7 of its byte is clear (q < 128) and, in the
  // second plane, when bit 6 is; the multiply gathers one bit of each byte
  // into the top byte, the first pixel's highest.
  constexpr uint64_t kBit7 = 0x8080808080808080ull, kBit6 = 0x4040404040404040ull;
  constexpr uint64_t kGather = 0x8040201008040201ull;
  constexpr int kTopByte = 56;
  for (int b = 0; b < kPlaneBytes; ++b) {
    uint64_t eight;
    std::memcpy(&eight, &ditherbuf[size_t(b) * 8], sizeof eight);
    final[b] = static_cast<uint8_t>((((~eight & kBit7) >> 7) * kGather) >> kTopByte);
    if (shades == Shades::four) final2[b] = static_cast<uint8_t>((((~eight & kBit6) >> 6) * kGather) >> kTopByte);
  }
}
