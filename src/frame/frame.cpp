// The per-frame pipeline: box sampling to grey, posterisation, error
// diffusion to two or four levels, and packing into display bit planes.
#include "frame/frame.h"

#include <algorithm>

namespace {

// Offsets of the BITMAPINFOHEADER fields this stage reads.
constexpr size_t kSizeField = 0;
constexpr size_t kWidthField = 4;
constexpr size_t kHeightField = 8;
constexpr size_t kClrUsedField = 32;
constexpr size_t kInfoHeaderSize = 40;  // the smallest header that holds all of them

constexpr int kBytesPerPixel = 3;  // blue, green, red
constexpr int kColourEntryBytes = 4;

// Luma weights in 16.16; they sum to 7 short of 1.0, so white comes out 254.
constexpr int32_t kRedWeight = 19589;
constexpr int32_t kGreenWeight = 38469;
constexpr int32_t kBlueWeight = 7471;

constexpr int kMaxGrey = 255;
constexpr int kMonoThreshold = 128;
constexpr int kKernelSide = 3;

// The frame is a byte span with no alignment promise, so fields are
// assembled byte by byte rather than read through a cast pointer.
uint32_t read_u32(std::span<const uint8_t> bytes, size_t at) {
  return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
         uint32_t{bytes[at + 3]} << 24;
}

int32_t read_s32(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<int32_t>(read_u32(bytes, at));
}

uint8_t grey_of(const uint8_t* bgr) {
  return static_cast<uint8_t>((bgr[2] * kRedWeight + bgr[1] * kGreenWeight + bgr[0] * kBlueWeight) >>
                              kFixedShift);
}

}  // namespace

bool sample(std::span<const uint8_t> frame, GreyBuffer& graybuf) {
  if (frame.size() < kInfoHeaderSize) return false;
  const uint32_t headersize = read_u32(frame, kSizeField);
  const int32_t width = read_s32(frame, kWidthField);
  const int32_t height = read_s32(frame, kHeightField);
  const uint32_t clrused = read_u32(frame, kClrUsedField);
  // A negative height means top-down rows, which this stage does not read.
  if (headersize < kInfoHeaderSize || width <= 0 || height <= 0) return false;

  // 64-bit sizes: a hostile header with huge dimensions must fail the length
  // check, not wrap around and pass it.
  const uint64_t stride = (uint64_t{kBytesPerPixel} * uint64_t(width) + 3) & ~uint64_t{3};
  const uint64_t pixelstart = uint64_t{headersize} + uint64_t{kColourEntryBytes} * clrused;
  if (pixelstart > frame.size() || stride * uint64_t(height) > frame.size() - pixelstart)
    return false;
  const uint8_t* pixels = frame.data() + pixelstart;

  // Box bounds are held in 64 bits so that x * width cannot overflow for wide
  // frames; within 32-bit range the results are the same.
  const int64_t w = width;
  const int64_t h = height;
  for (int i = 0; i < kPixels; ++i) {
    const int64_t x = i % kWidth;
    const int64_t y = i / kWidth;
    const int64_t xa = x * w / kWidth, xb = (x + 1) * w / kWidth;
    const int64_t ya = y * h / kHeight, yb = (y + 1) * h / kHeight;
    int64_t sum = 0;
    int64_t count = 0;
    for (int64_t b = ya; b < yb; ++b) {
      const uint8_t* row = pixels + uint64_t(h - 1 - b) * stride;  // rows are stored bottom-up
      for (int64_t a = xa; a < xb; ++a) {
        sum += grey_of(row + a * kBytesPerPixel);
        ++count;
      }
    }
    if (count == 0) {
      // A frame smaller than the display leaves boxes empty; take the pixel
      // the box starts at, which scales a small picture up by repetition.
      const int64_t a = std::min(xa, w - 1);
      const int64_t b = std::min(ya, h - 1);
      graybuf[i] = grey_of(pixels + uint64_t(h - 1 - b) * stride + a * kBytesPerPixel);
    } else {
      graybuf[i] = static_cast<uint8_t>(sum / count);
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
  for (uint8_t& v : graybuf) {
    // For some level counts the top values reach one level past the last
    // and would land above white; they stay white instead of wrapping.
    v = static_cast<uint8_t>(std::min(v / step * scale, kMaxGrey));
  }
}

uint8_t closestg(uint8_t color) {
  if (color < 42) return 0;
  if (color < 127) return 85;
  if (color < 212) return 170;
  return 255;
}

uint8_t AddError(int a, int b) {
  const int64_t s = int64_t{a} + b;  // wide so that no pair of ints overflows
  return static_cast<uint8_t>(std::clamp<int64_t>(s, 0, kMaxGrey));
}

void dither(GreyBuffer& graybuf, int32_t grey, const Kernel& matrix, GreyBuffer& ditherbuf) {
  for (int i = 0; i < kPixels; ++i) {
    const int x = i % kWidth;
    const int y = i / kWidth;
    const int v = graybuf[i];
    const int q = grey == 0 ? (v >= kMonoThreshold ? kMaxGrey : 0) : closestg(static_cast<uint8_t>(v));
    const int err = v - q;
    ditherbuf[i] = static_cast<uint8_t>(q);
    for (int k = 0; k < kKernelSize; ++k) {
      const int nx = x + k % kKernelSide - 1;
      const int ny = y + k / kKernelSide - 1;
      // Tested per neighbour so that error never wraps to the opposite edge.
      if (nx < 0 || nx >= kWidth || ny < 0 || ny >= kHeight) continue;
      // The product is taken in 64 bits because a weight near the 16.16
      // limit times the largest error does not fit in 32; the shift rounds
      // toward minus infinity, so small negative errors still reach -1.
      const int64_t delta = int64_t{err} * matrix[k] >> kFixedShift;
      const int n = ny * kWidth + nx;
      graybuf[n] = AddError(graybuf[n], static_cast<int>(delta));
    }
  }
}

void pack(const GreyBuffer& ditherbuf, int32_t grey, Plane& final, Plane& final2) {
  // Pixel i lands in byte i / 8 because a row is a whole number of bytes;
  // eight shifts per byte push out whatever the previous frame left there.
  for (int i = 0; i < kPixels; ++i) {
    const uint8_t q = ditherbuf[i];
    uint8_t& dark = final[i / 8];
    dark = static_cast<uint8_t>(dark << 1 | (q < kMonoThreshold ? 1 : 0));
    if (grey != 0) {
      uint8_t& dark2 = final2[i / 8];
      dark2 = static_cast<uint8_t>(dark2 << 1 | ((q & 0x40) == 0 ? 1 : 0));
    }
  }
}
