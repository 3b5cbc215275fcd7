// The display matrix read without libav: every quarter turn, mirrored or
// not, as libav's own helpers write the matrices, and angles between turns.
#include "movie/sizing.h"

extern "C" {
#include <libavutil/display.h>
}

#include <gtest/gtest.h>

#include <array>

namespace {

// This libav's av_display_rotation_get reports the opposite of the angle
// av_display_rotation_set was given, and movdith has always read the turn
// from the former: a matrix set with 90 degrees is shown a quarter turn
// clockwise, as a phone's upright video is.
struct MatrixCase {
  double angle;  // what av_display_rotation_set takes
  bool hflip;    // av_display_matrix_flip's horizontal mirror
  Turn want;
};

TEST(SizingTurn, MatricesAsLibavWritesThem) {
  const MatrixCase cases[] = {
      {0, false, {0, false, false}},   {90, false, {1, false, false}}, {-90, false, {3, false, false}},
      {180, false, {2, true, true}},   {-180, false, {2, true, true}}, {0, true, {0, true, false}},
      {90, true, {1, true, false}},    {-90, true, {3, true, false}},  {180, true, {2, false, true}},
      {44, false, {0, false, false}},  {46, false, {1, false, false}}, {134, false, {1, false, false}},
      {136, false, {2, true, true}},   {-270, false, {1, false, false}},
  };
  for (const MatrixCase& c : cases) {
    std::array<int32_t, 9> m;
    av_display_rotation_set(m.data(), c.angle);
    if (c.hflip) av_display_matrix_flip(m.data(), 1, 0);
    const Turn t = turn_from_matrix(m);
    EXPECT_EQ(t.quarter, c.want.quarter) << c.angle << (c.hflip ? " mirrored" : "");
    EXPECT_EQ(t.hflip, c.want.hflip) << c.angle << (c.hflip ? " mirrored" : "");
    EXPECT_EQ(t.vflip, c.want.vflip) << c.angle << (c.hflip ? " mirrored" : "");
  }
}

TEST(SizingTurn, SingularOrEmptyColumnsLeaveThePictureAsStored) {
  const std::array<int32_t, 9> zero{};
  const std::array<int32_t, 9> column{0, 0, 0, 65536, 0, 0, 0, 0, 1 << 30};
  const std::array<int32_t, 9> extreme{INT32_MIN, 0, 0, 0, INT32_MIN, 0, 0, 0, 1 << 30};
  for (const auto& m : {zero, column}) {
    const Turn t = turn_from_matrix(m);
    EXPECT_EQ(t.quarter, 0);
    EXPECT_FALSE(t.hflip);
    EXPECT_FALSE(t.vflip);
  }
  EXPECT_EQ(turn_from_matrix(extreme).quarter, 2);  // -1, -1: half a turn
}

}  // namespace
