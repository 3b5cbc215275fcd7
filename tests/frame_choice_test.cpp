// The output frames' clock: libav's rescaling reproduced exactly, which
// picture each position shows at the threshold and one tick either side,
// and the length estimate.
#include "movie/builtin/frame_choice.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace {

// Every pairing of these against libav's own rescaling: zero, one, the
// 32-bit limits where libav changes method, and values near overflow.
const std::vector<int64_t> kNumbers = {0,       1,          3,          999,        1000,      90000,
                                       INT_MAX, 1LL + INT_MAX, 1LL << 40, 1LL << 52, 1LL << 62, INT64_MAX};

TEST(FrameChoiceRescale, MatchesLibavEverywhere) {
  for (int64_t a : kNumbers)
    for (int64_t sign : {1, -1})
      for (int64_t b : kNumbers)
        for (int64_t c : kNumbers) {
          if (c == 0) continue;
          const int64_t x = sign * a;
          EXPECT_EQ(rescale(x, b, c, Rounding::down), av_rescale_rnd(x, b, c, AV_ROUND_DOWN))
              << x << " * " << b << " / " << c << " down";
          EXPECT_EQ(rescale(x, b, c, Rounding::up), av_rescale_rnd(x, b, c, AV_ROUND_UP))
              << x << " * " << b << " / " << c << " up";
        }
}

TEST(FrameChoiceRescale, RoundsTowardsTheAskedSide) {
  struct Case {
    int64_t a, b, c;
    Rounding r;
    int64_t want;
  } cases[] = {
      {7, 1, 2, Rounding::down, 3},   {7, 1, 2, Rounding::up, 4},      {-7, 1, 2, Rounding::down, -4},
      {-7, 1, 2, Rounding::up, -3},   {8, 1, 2, Rounding::up, 4},      {1, -1, 2, Rounding::down, kTimeOverflow},
      {1, 1, 0, Rounding::up, kTimeOverflow}, {INT64_MAX, 2, 1, Rounding::down, kTimeOverflow},
  };
  for (const Case& c : cases) EXPECT_EQ(rescale(c.a, c.b, c.c, c.r), c.want) << c.a << " " << c.b << " " << c.c;
}

// MP4's usual clocks: milliseconds, ffmpeg's 1/15360 for 30 frames a
// second, MPEG's 90 kHz, and NTSC's 1001/30000 of a frame.
struct ClockCase {
  const char* name;
  TimeBase tb;
  int64_t t0, start_ms;
  std::vector<int64_t> times;  // sample_time of positions 0, 1, 2, 3
};

class FrameChoiceClock : public ::testing::TestWithParam<ClockCase> {};

TEST_P(FrameChoiceClock, SampleTimesAndTheirThreshold) {
  const ClockCase& c = GetParam();
  const FrameClock clock{c.tb, c.t0, c.start_ms, -1};
  for (size_t pos = 0; pos < c.times.size(); ++pos) {
    const int64_t t = clock.sample_time(int64_t(pos));
    EXPECT_EQ(t, c.times[pos]) << "position " << pos;
    // A picture at the sample time is shown by this position; one a tick
    // later is not, unless the next picture starts later than the one after.
    EXPECT_TRUE(clock.shown(t, t + 1)) << "position " << pos;
    if (pos > 0) {
      const int64_t before = c.times[pos - 1];
      EXPECT_FALSE(clock.shown(before + 1, t)) << "a picture after position " << pos - 1 << " that ends at " << pos;
      EXPECT_TRUE(clock.shown(before + 1, t + 1)) << "the same picture lasting one tick longer";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    FrameChoice, FrameChoiceClock,
    ::testing::Values(ClockCase{"milliseconds", {1, 1000}, 0, 0, {0, 100, 200, 300}},
                      ClockCase{"ffmpeg_30fps", {1, 15360}, 1024, 0, {1024, 2560, 4096, 5632}},
                      ClockCase{"mpeg_90khz", {1, 90000}, 126000, 1050, {220500, 229500, 238500, 247500}},
                      ClockCase{"ntsc_frames", {1001, 30000}, 0, 0, {0, 2, 5, 8}},
                      ClockCase{"ntsc_with_start", {1001, 30000}, 7, 1234, {43, 46, 49, 52}}),
    [](const ::testing::TestParamInfo<ClockCase>& info) { return info.param.name; });

TEST(FrameChoiceClock, ClipLengthEndsPositions) {
  const FrameClock clock{{1, 1000}, 0, 0, 250};
  EXPECT_TRUE(clock.in_clip(0));
  EXPECT_TRUE(clock.in_clip(2));   // 200 ms < 250
  EXPECT_FALSE(clock.in_clip(3));  // 300 ms
  const FrameClock exact{{1, 1000}, 0, 0, 300};
  EXPECT_TRUE(exact.in_clip(2));
  EXPECT_FALSE(exact.in_clip(3));  // 300 ms is not before 300
  const FrameClock open{{1, 1000}, 0, 0, -1};
  EXPECT_TRUE(open.in_clip(1'000'000'000));
  // A picture only shown after the clip's end is not shown.
  EXPECT_TRUE(clock.shown(200, 201));
  EXPECT_FALSE(clock.shown(201, 400));
}

TEST(FrameChoiceClock, PicturesBeforeTheStartAreShownByTheFirstPosition) {
  const FrameClock clock{{1, 1000}, 0, 5000, -1};
  EXPECT_TRUE(clock.shown(4000, 5001));    // still showing at 5 s
  EXPECT_FALSE(clock.shown(4000, 5000));   // replaced at 5 s exactly
  EXPECT_TRUE(clock.shown(5000, 5001));
  EXPECT_FALSE(clock.shown(5001, 5100));
  EXPECT_TRUE(clock.shown(5001, 5101));
}

TEST(FrameChoiceClock, ClipsAreHeldWithinTheirLimits) {
  struct Case {
    int64_t start, duration, want_start, want_duration;
  } cases[] = {
      {0, -1, 0, -1},          {1500, 2000, 1500, 2000},         {-5, -7, 0, -1},
      {kMaxTrimMs + 1, kMaxTrimMs + 1, kMaxTrimMs, kMaxTrimMs}, {kMaxTrimMs, 0, kMaxTrimMs, 0},
  };
  for (const Case& c : cases) {
    const FrameClock clock = clip_clock(c.start, c.duration);
    EXPECT_EQ(clock.start_ms, c.want_start) << c.start;
    EXPECT_EQ(clock.duration_ms, c.want_duration) << c.duration;
  }
}

TEST(FrameChoiceEstimate, FramesOfAClip) {
  struct Case {
    int64_t total, start, duration, want;
  } cases[] = {
      {8000, 0, -1, 80},   {8001, 0, -1, 81},     {7999, 0, -1, 80},   {8000, 2000, -1, 60},
      {8000, 2000, 1000, 10}, {8000, 2000, 1001, 11}, {8000, 7950, 1000, 1}, {8000, 9000, -1, 1},
      {-1, 0, -1, 1},      {-1, 0, 2500, 25},     {8000, 0, 0, 0},     {int64_t{1} << 50, 0, -1, UINT32_MAX},
  };
  for (const Case& c : cases)
    EXPECT_EQ(estimated_frames(c.total, c.start, c.duration), c.want) << c.total << " " << c.start << " " << c.duration;
}

}  // namespace
