// The steady search's fields and marks: the blurred error it keeps for the
// picture, on a grid with a border as wide as the blur twice reaches, and
// the bits that name the pixels still to look at (see steady_search.h).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "raster.h"

namespace steady {

// The fields: the picture with a border as wide as B twice reaches, so that
// a patch or a neighbour's read near an edge needs no bounds test.
constexpr int kTwiceReach = 2;
constexpr int kFieldWidth = kWidth + 2 * kTwiceReach;
constexpr int kFieldHeight = kHeight + 2 * kTwiceReach;
constexpr int kFieldCells = kFieldWidth * kFieldHeight;
constexpr int kW = kFieldWidth;
using Field = std::array<int32_t, kFieldCells>;
constexpr int kTwiceSide = 2 * kTwiceReach + 1;
constexpr std::array<int32_t, kTwiceSide> kTwice = {1, 4, 6, 4, 1};  // 1-2-1 convolved with itself
constexpr int32_t kSelfWeight = 36;  // kTwice's centre squared = sum of B's squared weights
// A slack so low that no move of the cell pays, whatever g says: outside the
// picture, and in a direction a pixel's range does not go.
constexpr int32_t kOutside = -(1 << 28);

constexpr int field_index(int x, int y) { return (y + kTwiceReach) * kFieldWidth + x + kTwiceReach; }

// g = B(B(shades - source)) over the picture, zero on the border; with, for
// each row of the field, a bound on |g| along it.
using RowBounds = std::array<int32_t, kFieldHeight>;
void error_field(const GreyBuffer& shades, const GreyBuffer& source, Field& g, RowBounds& bounds);

// The pixels to look at: one bit per pixel, a row in two words, column x at
// bit x + kTwiceReach, row y at y + kLookReach: the spare rows above and
// below the picture take the marks that reach past its edge, and are never
// looked at, so that marking needs no bounds test.
constexpr int kLookReach = 1;  // how far from a change its marks reach (see mark_around)
constexpr int kWordBits = 64;
constexpr int kWordsPerRow = (kWidth + 2 * kTwiceReach + kWordBits - 1) / kWordBits;
using RowBits = std::array<uint64_t, kWordsPerRow>;
using PictureBits = std::array<RowBits, kHeight + 2 * kLookReach>;
constexpr int kByteBits = 8;
// Eight bytes of 0 or 1 (the first in the lowest byte) to eight bits, the
// first in bit 0: each byte's bit lands on its own place in the top byte.
constexpr uint64_t kGatherBits = 0x0102040810204080ull;
constexpr int kGatherShift = 56;

// Ors `bits` (at most 8 of them) into the row from bit `pos` on.
inline void or_bits(RowBits& row, uint64_t bits, int pos) {
  if (pos < kWordBits) {
    row[0] |= bits << pos;
    if (pos > kWordBits - kByteBits) row[1] |= bits >> (kWordBits - pos);
  } else {
    row[1] |= bits << (pos - kWordBits);
  }
}

// After a change, the pixels around it are looked at again: the 3 x 3, where
// g moved by 16 times the change or more. The ring beyond moved by 6 times it
// at most; what that leaves to gain, the next frame's first look finds.
// Kept as a mark of the columns around each x, and of the columns after each
// scan position, so that marking is a few ors and no shifts.
constexpr RowBits column_bits(int from, int to) {
  RowBits row{};
  for (int x = std::max(from, 0); x <= std::min(to, kWidth - 1); ++x)
    row[(x + kTwiceReach) / kWordBits] |= uint64_t{1} << ((x + kTwiceReach) % kWordBits);
  return row;
}
constexpr std::array<RowBits, kWidth> make_around() {
  std::array<RowBits, kWidth> around{};
  for (int x = 0; x < kWidth; ++x) around[x] = column_bits(x - kLookReach, x + kLookReach);
  return around;
}
constexpr std::array<RowBits, kWidth> make_after() {
  std::array<RowBits, kWidth> after{};
  for (int x = 0; x < kWidth; ++x) after[x] = column_bits(x + 1, kWidth - 1);
  return after;
}
inline constexpr std::array<RowBits, kWidth> kAround = make_around();
inline constexpr std::array<RowBits, kWidth> kAfter = make_after();

// Marks the pixels around (x, y): those after the scan's position (sx, sy)
// in `now`, still to come in this pass, the others in `later`.
inline void mark_around(PictureBits& now, PictureBits& later, int x, int y, int sx, int sy) {
  static_assert(kWordsPerRow == 2);
  const uint64_t m0 = kAround[x][0], m1 = kAround[x][1];
  for (int ny = y - kLookReach; ny <= y + kLookReach; ++ny) {
    uint64_t ahead0 = 0, ahead1 = 0;
    if (ny > sy) ahead0 = ahead1 = ~uint64_t{0};
    else if (ny == sy) ahead0 = kAfter[sx][0], ahead1 = kAfter[sx][1];
    RowBits& n = now[ny + kLookReach];
    RowBits& l = later[ny + kLookReach];
    n[0] |= m0 & ahead0;
    n[1] |= m1 & ahead1;
    l[0] |= m0 & ~ahead0;
    l[1] |= m1 & ~ahead1;
  }
}

}  // namespace steady
