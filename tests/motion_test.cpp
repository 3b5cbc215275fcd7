// Tests of the picture's move from frame to frame: found where a picture
// was panned, not where it was not, and the moved picture's edges.
#include "frame/motion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

// A picture like a photograph's: large shapes, texture, a little noise.
GreyBuffer textured() {
  GreyBuffer g;
  uint32_t seed = 5;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      seed = seed * 1664525 + 1013904223;
      const double v = 128 + 60 * std::sin(x * 0.21) * std::cos(y * 0.17) + 40 * std::sin((x + 2 * y) * 0.05) +
                       int(seed >> 29) - 4;
      g[y * kWidth + x] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
    }
  return g;
}

// Pans as cameras make them: sideways, up and down, and a little of both.
// (Large diagonal moves of a picture whose shapes run diagonally can fool
// the sums; they are then taken for no move, which the search survives.)
TEST(Motion, PannedPicturesAreFoundMoved) {
  const GreyBuffer before = textured();
  const struct {
    int dx, dy;
  } cases[] = {{0, 0}, {1, 0}, {-1, 0}, {0, 1}, {0, -3}, {3, -2}, {-12, 0}, {0, 12}, {12, 12}, {-2, -2}};
  for (const auto& c : cases) {
    GreyBuffer now;
    move_picture(before, c.dx, c.dy, now);
    const PictureMove m = find_move(now, before);
    EXPECT_EQ(m.dx, c.dx) << c.dx << "," << c.dy;
    EXPECT_EQ(m.dy, c.dy) << c.dx << "," << c.dy;
  }
}

TEST(Motion, NoMoveWhereNoneFits) {
  // Beyond the largest move looked for, and a picture with nothing in
  // common with the previous one: no move.
  const GreyBuffer before = textured();
  GreyBuffer far, other;
  move_picture(before, 20, 0, far);
  for (int i = 0; i < kPixels; ++i) other[i] = static_cast<uint8_t>(255 - before[(i * 37) % kPixels]);
  for (const GreyBuffer* now : {&far, &other}) {
    const PictureMove m = find_move(*now, before);
    EXPECT_EQ(m.dx, 0);
    EXPECT_EQ(m.dy, 0);
  }
  // A flat picture: every move matches as well as none.
  GreyBuffer flat;
  flat.fill(90);
  const PictureMove m = find_move(flat, flat);
  EXPECT_EQ(m.dx, 0);
  EXPECT_EQ(m.dy, 0);
}

TEST(Motion, MovedPictureRepeatsItsEdge) {
  GreyBuffer g;
  for (int i = 0; i < kPixels; ++i) g[i] = static_cast<uint8_t>(i % kWidth + i / kWidth);
  GreyBuffer moved;
  move_picture(g, 2, -3, moved);
  // (x, y) shows (x - 2, y + 3), clamped to the picture.
  EXPECT_EQ(moved[0], g[3 * kWidth]);                                  // (0, 0) from (0, 3)
  EXPECT_EQ(moved[5 * kWidth + 10], g[8 * kWidth + 8]);                // inside
  EXPECT_EQ(moved[63 * kWidth + 95], g[63 * kWidth + 93]);             // bottom row repeats
  EXPECT_EQ(moved[62 * kWidth + 1], g[63 * kWidth + 0]);
}

// Every pixel of a moved picture is its source at (x - dx, y - dy) clamped
// to the picture, for moves at and one past each edge's length, both ways.
TEST(Motion, MovedPictureIsTheClampedSourceForEveryMove) {
  GreyBuffer g;
  for (int i = 0; i < kPixels; ++i) g[i] = static_cast<uint8_t>((i * 7 + i / kWidth * 13) % 251);
  const int moves[] = {0, 1, -1, 5, -7, kWidth - 1, kWidth, kWidth + 1, -(kWidth - 1), -kWidth, -(kWidth + 1)};
  for (const int dx : moves)
    for (const int dy : {0, 3, -2, kHeight - 1, kHeight, kHeight + 1, -kHeight, -(kHeight + 1)}) {
      GreyBuffer moved;
      moved.fill(0);
      move_picture(g, dx, dy, moved);
      int wrong = 0;
      for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
          const int from = std::clamp(y - dy, 0, kHeight - 1) * kWidth + std::clamp(x - dx, 0, kWidth - 1);
          wrong += moved[y * kWidth + x] != g[from];
        }
      EXPECT_EQ(wrong, 0) << dx << "," << dy;
    }
}

}  // namespace
