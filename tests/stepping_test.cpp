// The frame loop's timing: the 16.16 cadence that picks a source frame for
// every tenth of a second, the header's frame count and the "Phase 2"
// percentage, at the rates movies come in.
#include "run/stepping.h"

#include "movie/frame_source.h"
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The positions a loop fetches from `start` while below start + length.
std::vector<uint64_t> positions(uint32_t frameskip, uint32_t start, uint32_t length) {
  std::vector<uint64_t> fetched;
  for (Cadence c{start, 0}; c.curframe < uint64_t{start} + length; step(c, frameskip)) fetched.push_back(c.curframe);
  return fetched;
}

struct RateCase {
  const char* name;
  uint32_t rate, scale;
  uint32_t frameskip;                // 16.16 source frames per record
  std::vector<uint64_t> first;       // the first positions fetched from 0
  uint32_t count_for_30;             // header count for a length of 30 frames
};

class SteppingRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(SteppingRate, SkipPositionsAndCount) {
  const RateCase& c = GetParam();
  uint32_t frameskip = 0;
  ASSERT_TRUE(frame_skip(c.rate, c.scale, frameskip));
  EXPECT_EQ(frameskip, c.frameskip);
  std::vector<uint64_t> fetched = positions(frameskip, 0, 1000);
  fetched.resize(c.first.size());
  EXPECT_EQ(fetched, c.first);
  EXPECT_EQ(header_frame_count(30, c.rate, c.scale), c.count_for_30);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, SteppingRate,
    ::testing::Values(
        RateCase{"Ten", 10, 1, 65536, {0, 1, 2, 3, 4}, 30},
        // One and a half source frames per record: one and two apart in turn.
        RateCase{"Fifteen", 15, 1, 98304, {0, 1, 3, 4, 6, 7, 9}, 20},
        RateCase{"TwentyFive", 25, 1, 163840, {0, 2, 5, 7, 10, 12}, 12},
        RateCase{"Thirty", 30, 1, 196608, {0, 3, 6, 9}, 10},
        // 29.97 counts as 29 whole frames per second: 2.9 source frames a step.
        RateCase{"NtscThirty", 30000, 1001, 190054, {0, 2, 5, 8, 11, 14, 17, 20, 23, 26, 28}, 10},
        // Half a source frame per record: each frame twice in a row.
        RateCase{"Five", 5, 1, 32768, {0, 0, 1, 1, 2, 2}, 60},
        // 6553 / 65536 is a little under a tenth: a frame shows 10 or 11 times.
        RateCase{"One", 1, 1, 6553, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 300},
        RateCase{"TenAsScale", 1000, 100, 65536, {0, 1, 2}, 30}),
    [](const ::testing::TestParamInfo<RateCase>& info) { return info.param.name; });

TEST(SteppingRate, BelowOneFramePerSecondOrTooFastHasNoCadence) {
  const struct {
    uint32_t rate, scale;
    bool usable;
  } cases[] = {
      {0, 1, false}, {1, 2, false}, {999, 1000, false}, {1000, 1000, true},  // around one frame per second
      {10, 0, false},                                                      // no scale at all
      {327679, 1, true}, {327680, 1, false},  // the step's limit, 31 bits of 16.16
      {UINT32_MAX, 1, false},
  };
  for (const auto& c : cases) {
    uint32_t frameskip = 12345;
    EXPECT_EQ(frame_skip(c.rate, c.scale, frameskip), c.usable) << c.rate << "/" << c.scale;
    if (!c.usable) {
      EXPECT_EQ(frameskip, 12345u) << "left alone when refused";
    }
  }
}

TEST(SteppingLength, PositionsStayWithinStartAndLength) {
  const struct {
    uint32_t start, length;
    uint32_t frameskip;
    std::vector<uint64_t> fetched;
  } cases[] = {
      {0, 0, 65536, {}},
      {0, 1, 65536, {0}},
      {0, 2, 65536, {0, 1}},
      {7, 0, 65536, {}},
      {7, 1, 65536, {7}},
      {3, 5, 98304, {3, 4, 6, 7}},
      {1, 11, 163840, {1, 3, 6, 8, 11}},  // the 25 frames-per-second steps, moved by the start
      {5, 2, 32768, {5, 5, 6, 6}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(positions(c.frameskip, c.start, c.length), c.fetched) << c.start << "+" << c.length;
}

TEST(SteppingLength, LongestStreamNeverWraps) {
  // The position passes 2^32 without wrapping back below the end.
  Cadence c{uint64_t{UINT32_MAX} - 1, 0};
  step(c, 163840);
  EXPECT_EQ(c.curframe, uint64_t{UINT32_MAX} + 1);
  EXPECT_EQ(c.skipcount, 32768u);
}

TEST(SteppingCount, TenthsOfASecondHeldAtTheLimit) {
  const struct {
    uint32_t length, rate, scale;
    uint32_t count;
  } cases[] = {
      {0, 10, 1, 0},
      {1, 10, 1, 1},
      {2, 10, 1, 2},
      {11, 25, 1, 4},  // fewer than the five records the loop writes
      {1, 25, 1, 0},
      {uint32_t{1} << 31, 10, 1, uint32_t{1} << 31},
      {uint32_t{1} << 31, 1, 1, UINT32_MAX},  // 2^31 seconds in tenths: held at 32 bits
      {UINT32_MAX, 5, 1, UINT32_MAX},
      {UINT32_MAX, 30, 1, 1431655765},
      {100, 10, 0, 0},  // no rate
  };
  for (const auto& c : cases)
    EXPECT_EQ(header_frame_count(c.length, c.rate, c.scale), c.count) << c.length << " at " << c.rate << "/" << c.scale;
}

TEST(SteppingProgress, Percentages) {
  const struct {
    uint64_t curframe;
    uint32_t start, length;
    int percent;
  } cases[] = {
      {0, 0, 50, 0},   {1, 0, 50, 2},    {49, 0, 50, 98},  // the design's 50-frame example
      {0, 0, 1, 0},    {0, 0, 0, 0},     {5, 5, 0, 0},     // empty streams
      {10, 10, 20, 0}, {29, 10, 20, 95}, {9, 10, 20, 0},   // a start other than 0
      {uint64_t{1} << 31, 0, uint32_t{1} << 31, 99},       // an estimate overrun: below 100 until done
      {(uint64_t{1} << 31) - 1, 0, uint32_t{1} << 31, 99},
      {uint64_t{1} << 30, 0, uint32_t{1} << 31, 50},
      {UINT32_MAX, 0, UINT32_MAX, 99},
  };
  for (const auto& c : cases)
    EXPECT_EQ(progress_percent(c.curframe, c.start, c.length), c.percent)
        << c.curframe << " of " << c.start << "+" << c.length;
}

TEST(SteppingClip, StartAndDurationInPositions) {
  const struct {
    const char* name;
    SourceTiming timing;  // rate, scale, start, length
    int64_t start_ms, duration_ms;
    bool ok;
    uint32_t start, length;  // after clipping
  } cases[] = {
      {"whole movie", {10, 1, 0, 100}, 0, kNoDuration, true, 0, 100},
      {"two to five seconds", {10, 1, 0, 100}, 2000, 3000, true, 20, 30},
      {"start between frames shows the frame before", {10, 1, 0, 100}, 2099, 3000, true, 20, 30},
      {"start on the next frame", {10, 1, 0, 100}, 2100, 3000, true, 21, 30},
      {"end between frames takes the frame begun before it", {10, 1, 0, 100}, 2000, 3001, true, 20, 31},
      {"duration past the end", {10, 1, 0, 100}, 9000, 5000, true, 90, 10},
      {"start at the last frame", {10, 1, 0, 100}, 9999, kNoDuration, true, 99, 1},
      {"start at the end", {10, 1, 0, 100}, 10000, kNoDuration, false, 0, 100},
      {"start past the end", {10, 1, 0, 100}, 60000, 1000, false, 0, 100},
      {"a stream that starts at 5", {10, 1, 5, 100}, 2000, 1000, true, 25, 10},
      {"shortest duration", {10, 1, 0, 100}, 0, 1, true, 0, 1},
      {"25 frames a second", {25, 1, 0, 250}, 2000, 3000, true, 50, 75},
      {"NTSC rate", {30000, 1001, 0, 300}, 1000, 1000, true, 29, 30},
      {"empty movie, no trim", {10, 1, 0, 0}, 0, kNoDuration, true, 0, 0},
      {"empty movie, a start", {10, 1, 0, 0}, 1000, kNoDuration, false, 0, 0},
      {"start within the first frame", {10, 1, 0, 0}, 50, kNoDuration, true, 0, 0},
      {"hours in", {10, 1, 0, 100000}, 3723500, 2000, true, 37235, 20},
  };
  for (const auto& c : cases) {
    SourceTiming t = c.timing;
    EXPECT_EQ(clip_timing(t, c.start_ms, c.duration_ms), c.ok) << c.name;
    EXPECT_EQ(t.start, c.start) << c.name;
    EXPECT_EQ(t.length, c.length) << c.name;
  }
}

}  // namespace
