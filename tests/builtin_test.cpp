// Tests for the built-in engine: movies made by ffmpeg during the run, frames
// compared byte for byte with ffmpeg's own decode where the pictures are
// lossless, frame choice checked against ffprobe's timestamps, and hostile
// files (not movies, truncated, damaged, claiming huge pictures).
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/mem.h>
}

#include <array>
#include <climits>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "movie/builtin/builtin.h"
#include "movie/libav_movie.h"
#include "movie/builtin/frame_choice.h"
#include "test_support.h"
#include "util/bytes.h"

namespace {

constexpr int kDibHeader = 40;
constexpr int kStride = 96 * 3;
constexpr size_t kPictureBytes = size_t{kStride} * 64;
constexpr int32_t kOne = kMatrixOne;
constexpr int32_t kW = kMatrixCorner;
// Far below any picture the refused headers claim, far above a test movie's.
constexpr size_t kAllocLimit = size_t{32} << 20;

using Matrix = DisplayMatrix;

uint32_t get32(const std::string& s, size_t at) { return get_le32(bytes_of(s), at); }

// Each decoded frame's time in milliseconds, in output order, per ffprobe.
std::vector<int64_t> frame_times_ms(const std::string& path) {
  std::vector<int64_t> times;
  for (double t : ffprobe_frame_times(path, "best_effort_timestamp_time"))
    times.push_back(int64_t(t * 1000 + (t >= 0 ? 0.5 : -0.5)));
  return times;
}

// The picture of an engine DIB, top row first, after checking every header
// field; empty if the DIB is not the promised 96 x 64 24-bit bottom-up one.
std::string picture(std::span<const uint8_t> dib) {
  const std::string s(dib.begin(), dib.end());
  EXPECT_EQ(s.size(), kDibHeader + kPictureBytes);
  if (s.size() != kDibHeader + kPictureBytes) return {};
  EXPECT_EQ(get32(s, 0), uint32_t(kDibHeader));  // biSize
  EXPECT_EQ(get32(s, 4), 96u);
  EXPECT_EQ(get32(s, 8), 64u);                   // positive: bottom-up
  EXPECT_EQ(get32(s, 12), 1u | 24u << 16);        // biPlanes, biBitCount
  EXPECT_EQ(get32(s, 16), 0u);                    // biCompression
  EXPECT_EQ(get32(s, 20), uint32_t(kPictureBytes));
  EXPECT_EQ(get32(s, 32), 0u);                    // biClrUsed
  std::string top_down;
  for (int y = 0; y < 64; ++y) top_down += s.substr(kDibHeader + size_t(63 - y) * kStride, kStride);
  return top_down;
}

// Everything one engine run hands over.
struct Pulled {
  SourceStatus status = SourceStatus::open_failed;
  FrameSize size, scaled;
  SourceTiming timing;
  std::vector<std::string> pictures;  // top row first
  std::vector<GreyBuffer> greys;      // as the frame pipeline samples them
  FrameStatus last = FrameStatus::failed;
  uint64_t errors = 0;
};

Pulled pull(const BuiltinRequest& request) {
  Pulled p;
  BuiltinSource source(request);
  p.status = source.open();
  p.size = source.size();
  p.scaled = source.scaled();
  if (p.status != SourceStatus::ok) return p;
  p.timing = source.timing();
  std::span<const uint8_t> dib;
  for (uint32_t pos = 0; pos < 100000 && (p.last = source.frame(pos, dib)) == FrameStatus::ok; ++pos) {
    p.pictures.push_back(picture(dib));
    GreyBuffer grey;
    EXPECT_TRUE(sample(dib, grey));
    p.greys.push_back(grey);
  }
  p.errors = source.decode_errors();
  return p;
}

Pulled pull(const std::string& path) {
  BuiltinRequest request;
  request.path = path;
  return pull(request);
}

// Makes a movie once per name in the scratch folder; the test fails if
// ffmpeg cannot.
std::string made(const std::string& name, const std::string& lavfi, const std::vector<std::string>& options) {
  const std::string path = scratch() / name;
  if (!file_exists(path)) {
    EXPECT_TRUE(make_movie(path, lavfi, options)) << "could not make " << name;
  }
  return path;
}

// 96 x 64, 10 frames a second, 2 seconds: the display's own size and rate.
const char* const kDisplaySource = "testsrc2=size=96x64:rate=10:duration=2";
const std::vector<std::string> kLosslessRgb = {"-c:v", "ffv1", "-pix_fmt", "gbrp"};

// A frame that shows its number n in binary: eight 12-pixel columns, bit b
// of n white in column b.
const std::string kNumberedFrames =
    "color=c=black:size=96x64:rate=10:duration=10,format=gray,"
    "geq=lum='255*mod(trunc(N/pow(2\\,trunc(X/12)))\\,2)',format=yuv420p";

int frame_number(const GreyBuffer& grey) {
  int n = 0;
  for (int b = 0; b < 8; ++b)
    if (grey[32 * 96 + b * 12 + 6] > 127) n |= 1 << b;
  return n;
}

// ---------------------------------------------------------------------------
// Lossless movies at the display's size: the frames come out unchanged.

struct LosslessCase {
  const char* name;
  std::vector<std::string> options;
};

void PrintTo(const LosslessCase& c, std::ostream* os) { *os << c.name; }

class BuiltinLossless : public ::testing::TestWithParam<LosslessCase> {};

TEST_P(BuiltinLossless, GivesExactlyTheMoviesFrames) {
  const std::string path = made(GetParam().name, kDisplaySource, GetParam().options);
  const std::vector<std::string> ref = ffmpeg_frames(path, 96, 64);
  ASSERT_EQ(ref.size(), 20u);
  const Pulled p = pull(path);
  ASSERT_EQ(p.status, SourceStatus::ok);
  EXPECT_EQ(p.size.width, 96u);
  EXPECT_EQ(p.size.height, 64u);
  EXPECT_EQ(p.scaled.width, 96u);
  EXPECT_EQ(p.scaled.height, 64u);
  EXPECT_EQ(p.timing.rate, 10u);
  EXPECT_EQ(p.timing.scale, 1u);
  EXPECT_EQ(p.timing.start, 0u);
  EXPECT_NEAR(double(p.timing.length), 20.0, 1.0);  // an estimate
  EXPECT_FALSE(p.timing.exact_length);
  ASSERT_EQ(p.pictures.size(), 20u);
  for (size_t i = 0; i < ref.size(); ++i) EXPECT_TRUE(p.pictures[i] == ref[i]) << "frame " << i;
  EXPECT_EQ(p.last, FrameStatus::ended);
  EXPECT_EQ(p.errors, 0u);
}

INSTANTIATE_TEST_SUITE_P(Builtin, BuiltinLossless,
                         ::testing::Values(LosslessCase{"ffv1.mkv", kLosslessRgb},
                                           LosslessCase{"raw.nut", {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}},
                                           LosslessCase{"png.mov", {"-c:v", "png", "-pix_fmt", "rgb24"}}),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           return n.substr(0, n.find('.')) + "_" + n.substr(n.find('.') + 1);
                         });

TEST(BuiltinLossless, KnownPatternSamplesToItsGreys) {
  // Left half pure red, right half pure green: the sampling weights give 76
  // and 149 exactly when the engine hands the colours over untouched.
  const std::string path =
      made("red_green.mkv",
           "color=c=red:size=48x64:rate=10:duration=1,format=gbrp[a];"
           "color=c=lime:size=48x64:rate=10:duration=1,format=gbrp[b];[a][b]hstack",
           kLosslessRgb);
  const Pulled p = pull(path);
  ASSERT_EQ(p.status, SourceStatus::ok);
  ASSERT_EQ(p.greys.size(), 10u);
  for (const GreyBuffer& g : p.greys) {
    for (int y = 0; y < 64; ++y) {
      for (int x = 0; x < 96; ++x) ASSERT_EQ(g[y * 96 + x], x < 48 ? 76 : 149) << x << "," << y;
    }
  }
}

// ---------------------------------------------------------------------------
// Display matrices: the pictures come out turned and mirrored as a player
// shows them; ffmpeg's own filters make the expected pictures.

struct TurnCase {
  const char* name;
  int width, height;  // as stored
  Matrix matrix;
  const char* filters;  // what ffmpeg applies to the stored frames to show them
};

void PrintTo(const TurnCase& c, std::ostream* os) { *os << c.name; }

class BuiltinTurn : public ::testing::TestWithParam<TurnCase> {};

TEST_P(BuiltinTurn, PicturesAreShownTurned) {
  const TurnCase& c = GetParam();
  const std::string path = scratch() / (std::string("turn_") + c.name + ".mov");
  ASSERT_TRUE(make_movie(path,
                         "testsrc2=size=" + std::to_string(c.width) + "x" + std::to_string(c.height) +
                             ":rate=10:duration=1",
                         kLosslessRgb));
  const std::vector<std::string> ref = ffmpeg_frames(path, 96, 64, c.filters);
  ASSERT_EQ(ref.size(), 10u);
  ASSERT_TRUE(set_display_matrix(path, c.matrix));
  const Pulled p = pull(path);
  ASSERT_EQ(p.status, SourceStatus::ok);
  EXPECT_EQ(p.size.width, 96u);
  EXPECT_EQ(p.size.height, 64u);
  ASSERT_EQ(p.pictures.size(), 10u);
  for (size_t i = 0; i < ref.size(); ++i) EXPECT_TRUE(p.pictures[i] == ref[i]) << "frame " << i;
  // Not a picture that looks the same whichever way it is turned.
  const std::vector<std::string> stored = ffmpeg_frames(path, c.width, c.height);
  ASSERT_FALSE(stored.empty());
  if (c.width == 96) {
    EXPECT_NE(stored[0], ref[0]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Builtin, BuiltinTurn,
    ::testing::Values(TurnCase{"quarter_clockwise", 64, 96, {0, kOne, 0, -kOne, 0, 0, 0, 0, kW}, "transpose=clock"},
                      TurnCase{"quarter_anticlockwise", 64, 96, {0, -kOne, 0, kOne, 0, 0, 0, 0, kW},
                               "transpose=cclock"},
                      TurnCase{"half", 96, 64, {-kOne, 0, 0, 0, -kOne, 0, 0, 0, kW}, "hflip,vflip"},
                      TurnCase{"mirrored", 96, 64, {-kOne, 0, 0, 0, kOne, 0, 0, 0, kW}, "hflip"},
                      TurnCase{"upside_down_mirror", 96, 64, {kOne, 0, 0, 0, -kOne, 0, 0, 0, kW}, "vflip"},
                      TurnCase{"quarter_mirrored", 64, 96, {0, kOne, 0, kOne, 0, 0, 0, 0, kW},
                               "transpose=cclock_flip"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Sizes: as displayed (rotation, pixel shape) and as scaled for each fit.

struct SizeCase {
  const char* name;
  int width, height;
  const char* sar;  // stored pixel shape
  bool quarter_turn;
  Fit fit;
  FrameSize shown, scaled;
  SourceStatus status = SourceStatus::ok;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class BuiltinSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(BuiltinSize, DisplayedAndScaledSizes) {
  const SizeCase& c = GetParam();
  const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
  const std::string path = scratch() / ("size_" + size + "_" + c.sar + (c.quarter_turn ? "_turned" : "") + ".mov");
  std::string sar = c.sar;
  sar[sar.find(':')] = '/';
  if (!file_exists(path)) {
    // The test picture comes in even sizes only; odd ones are cut from it.
    const std::string even = std::to_string(c.width + c.width % 2) + "x" + std::to_string(c.height + c.height % 2);
    ASSERT_TRUE(make_movie(path,
                           "testsrc2=size=" + even + ":rate=10:duration=0.3,format=yuv444p,crop=" +
                               std::to_string(c.width) + ":" + std::to_string(c.height) + ":0:0,setsar=" + sar,
                           {"-c:v", "ffv1", "-pix_fmt", "yuv444p"}));
    if (c.quarter_turn) {
      ASSERT_TRUE(set_display_matrix(path, {0, kOne, 0, -kOne, 0, 0, 0, 0, kW}));
    }
  }
  BuiltinRequest request;
  request.path = path;
  request.fit = c.fit;
  const Pulled p = pull(request);
  ASSERT_EQ(p.status, c.status);
  EXPECT_EQ(p.size.width, c.shown.width);
  EXPECT_EQ(p.size.height, c.shown.height);
  if (c.status != SourceStatus::ok) return;
  EXPECT_EQ(p.scaled.width, c.scaled.width);
  EXPECT_EQ(p.scaled.height, c.scaled.height);
  EXPECT_EQ(p.pictures.size(), 3u);
  EXPECT_EQ(p.last, FrameStatus::ended);
}

INSTANTIATE_TEST_SUITE_P(
    Builtin, BuiltinSize,
    ::testing::Values(SizeCase{"phone_portrait", 640, 360, "1:1", true, Fit::pad, {360, 640}, {36, 64}},
                      SizeCase{"anamorphic_ntsc", 720, 480, "32:27", false, Fit::pad, {853, 480}, {96, 54}},
                      SizeCase{"ntsc_square", 720, 480, "1:1", false, Fit::pad, {720, 480}, {96, 64}},
                      SizeCase{"hd_pad", 1280, 720, "1:1", false, Fit::pad, {1280, 720}, {96, 54}},
                      SizeCase{"hd_crop", 1280, 720, "1:1", false, Fit::crop, {1280, 720}, {114, 64}},
                      SizeCase{"hd_stretch", 1280, 720, "1:1", false, Fit::stretch, {1280, 720}, {96, 64}},
                      SizeCase{"sd_pad", 640, 480, "1:1", false, Fit::pad, {640, 480}, {85, 64}},
                      SizeCase{"portrait_pad", 480, 640, "1:1", false, Fit::pad, {480, 640}, {48, 64}},
                      SizeCase{"portrait_crop", 480, 640, "1:1", false, Fit::crop, {480, 640}, {96, 128}},
                      SizeCase{"odd", 97, 65, "1:1", false, Fit::pad, {97, 65}, {96, 64}},
                      // So wide that the sizing rule's height is 0: refused as the
                      // encoder's run refuses it, not divided by.
                      SizeCase{"sliver_pad", 2000, 16, "1:1", false, Fit::pad, {2000, 16}, {}, SourceStatus::cannot_fit},
                      SizeCase{"sliver_crop", 2000, 16, "1:1", false, Fit::crop, {2000, 16}, {8000, 64}},
                      SizeCase{"tiny", 2, 2, "1:1", false, Fit::pad, {2, 2}, {64, 64}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Fits: black bars where padding goes, none when cropping or stretching.

struct FitCase {
  const char* size;
  Fit fit;
  int top, bottom, left, right;  // black rows and columns at each edge
};

std::string fit_name(Fit fit) { return fit == Fit::pad ? "pad" : fit == Fit::crop ? "crop" : "stretch"; }

void PrintTo(const FitCase& c, std::ostream* os) { *os << c.size << " " << fit_name(c.fit); }

class BuiltinFit : public ::testing::TestWithParam<FitCase> {};

TEST_P(BuiltinFit, WhitePictureFillsWhatTheFitPromises) {
  const FitCase& c = GetParam();
  const std::string path =
      made(std::string("white_") + c.size + ".mkv",
           std::string("color=c=white:rate=10:duration=0.3:size=") + c.size + ",format=gbrp", kLosslessRgb);
  BuiltinRequest request;
  request.path = path;
  request.fit = c.fit;
  const Pulled p = pull(request);
  ASSERT_EQ(p.status, SourceStatus::ok);
  ASSERT_EQ(p.greys.size(), 3u);
  for (const GreyBuffer& g : p.greys) {
    for (int y = 0; y < 64; ++y) {
      for (int x = 0; x < 96; ++x) {
        const bool bar = y < c.top || y >= 64 - c.bottom || x < c.left || x >= 96 - c.right;
        ASSERT_EQ(g[y * 96 + x], bar ? 0 : 254) << "at " << x << "," << y;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Builtin, BuiltinFit,
                         ::testing::Values(FitCase{"640x360", Fit::pad, 5, 5, 0, 0},
                                           FitCase{"640x360", Fit::crop, 0, 0, 0, 0},
                                           FitCase{"640x360", Fit::stretch, 0, 0, 0, 0},
                                           FitCase{"160x120", Fit::pad, 0, 0, 5, 6},
                                           FitCase{"160x120", Fit::crop, 0, 0, 0, 0},
                                           FitCase{"160x120", Fit::stretch, 0, 0, 0, 0},
                                           FitCase{"120x160", Fit::pad, 0, 0, 24, 24}),
                         [](const auto& info) { return std::string("size") + info.param.size + "_" + fit_name(info.param.fit); });

TEST(BuiltinFit, CropKeepsTheMiddleAndStretchKeepsItAll) {
  // Black, white, black thirds across a 16:9 picture: cropping cuts the
  // sides evenly, stretching keeps all three thirds at full height.
  const std::string path = made("thirds.mkv",
                                "color=c=black:size=160x360:rate=10:duration=0.1,format=gbrp[a];"
                                "color=c=white:size=320x360:rate=10:duration=0.1,format=gbrp[b];"
                                "color=c=black:size=160x360:rate=10:duration=0.1,format=gbrp[c];[a][b][c]hstack=3",
                                kLosslessRgb);
  for (Fit fit : {Fit::crop, Fit::stretch}) {
    BuiltinRequest request;
    request.path = path;
    request.fit = fit;
    const Pulled p = pull(request);
    ASSERT_EQ(p.status, SourceStatus::ok);
    ASSERT_EQ(p.greys.size(), 1u);
    const GreyBuffer& g = p.greys[0];
    // Cropped: 114 wide, 9 columns cut each side, so 19.5 black columns remain
    // each side of the picture as scaled; stretched: 24 each side.
    const int black = fit == Fit::crop ? 19 : 24;
    for (int y = 0; y < 64; ++y) {
      EXPECT_EQ(g[y * 96 + black - 1], 0) << int(fit);
      EXPECT_EQ(g[y * 96 + 96 - black], 0) << int(fit);
      EXPECT_EQ(g[y * 96 + black + 1], 254) << int(fit);
      EXPECT_EQ(g[y * 96 + 94 - black], 254) << int(fit);
    }
  }
}

// ---------------------------------------------------------------------------
// Frame choice by presentation time.

TEST(BuiltinTiming, TransportStreamAtThirtyFramesASecond) {
  const std::string path =
      made("ts30.ts", "testsrc2=size=320x240:rate=30:duration=3", {"-c:v", "libx264", "-bf", "2", "-g", "15"});
  const Pulled p = pull(path);
  ASSERT_EQ(p.status, SourceStatus::ok);
  EXPECT_NEAR(double(p.pictures.size()), 30.0, 1.0);
  EXPECT_NEAR(double(p.timing.length), 30.0, 1.0);
  EXPECT_EQ(p.last, FrameStatus::ended);
  EXPECT_EQ(p.errors, 0u);
}

// The frame shown at each output time: the last one at or before it.
std::vector<size_t> expected_choice(const std::vector<int64_t>& times_ms, int64_t start_ms, size_t count) {
  std::vector<size_t> choice;
  for (size_t k = 0; k < count; ++k) {
    const int64_t t = times_ms.front() + start_ms + 100 * int64_t(k);
    size_t i = 0;
    while (i + 1 < times_ms.size() && times_ms[i + 1] <= t) ++i;
    choice.push_back(i);
  }
  return choice;
}

struct ChoiceCase {
  const char* name;
  const char* lavfi;
  std::vector<std::string> options;
  size_t frames;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.name; }

class BuiltinChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(BuiltinChoice, EachOutputFrameIsTheLastSourceFrameDue) {
  const ChoiceCase& c = GetParam();
  const std::string path = made(c.name, c.lavfi, c.options);
  const std::vector<std::string> ref = ffmpeg_frames(path, 96, 64);
  const std::vector<int64_t> times = frame_times_ms(path);
  ASSERT_EQ(ref.size(), times.size());
  ASSERT_FALSE(times.empty());
  const Pulled p = pull(path);
  ASSERT_EQ(p.status, SourceStatus::ok);
  ASSERT_EQ(p.pictures.size(), c.frames);
  const std::vector<size_t> choice = expected_choice(times, 0, c.frames);
  for (size_t k = 0; k < c.frames; ++k) EXPECT_TRUE(p.pictures[k] == ref[choice[k]]) << "output frame " << k;
  EXPECT_EQ(p.last, FrameStatus::ended);
}

INSTANTIATE_TEST_SUITE_P(
    Builtin, BuiltinChoice,
    ::testing::Values(
        // 30 frames a second for a second, then 10: the container stores one
        // nominal duration for all of them.
        ChoiceCase{"vfr.mkv",
                   "testsrc2=size=96x64:rate=30:duration=1[a];testsrc2=size=96x64:rate=10:duration=1[b];[a][b]concat",
                   {"-fps_mode", "passthrough", "-c:v", "ffv1", "-pix_fmt", "gbrp"},
                   20},
        // 25 frames a second: output times fall between source frames.
        ChoiceCase{"rate25.nut", "testsrc2=size=96x64:rate=25:duration=2", {"-c:v", "ffv1", "-pix_fmt", "gbrp"}, 20},
        // Uneven gaps: every third frame lingers.
        ChoiceCase{"uneven.mkv",
                   "testsrc2=size=96x64:rate=30:duration=2,setpts='(N+2*trunc(N/3))/30/TB'",
                   {"-fps_mode", "passthrough", "-c:v", "ffv1", "-pix_fmt", "gbrp"},
                   33},
        // The video starts 2 s into the file.
        ChoiceCase{"late.mkv", "testsrc2=size=96x64:rate=10:duration=1", {"-c:v", "ffv1", "-pix_fmt", "gbrp",
                   "-output_ts_offset", "2"}, 10},
        // The video starts 1.5 s after the sound.
        ChoiceCase{"after_audio.mkv",
                   "testsrc2=size=96x64:rate=10:duration=1,setpts=PTS+1.5/TB[out0];sine=duration=3[out1]",
                   {"-c:v", "ffv1", "-pix_fmt", "gbrp", "-c:a", "flac"},
                   10}),
    [](const auto& info) {
      std::string n = info.param.name;
      return n.substr(0, n.find('.'));
    });

// The two roundings of the choice, in time bases that are not whole
// milliseconds: an output time takes the last tick at or before it (down),
// a picture's tick the first millisecond at or after it (up). Each case sits
// at or one unit beside a boundary, so rounding the other way, to the
// nearest, or converting by the wrong side of the time base fails it.
struct TickCase {
  TimeBase tb;
  int64_t ms, last_tick;      // last_tick_at(ms)
  int64_t ticks, first_ms;    // first_ms_from(ticks)
};

TEST(BuiltinTime, OutputTimesRoundDownToTicksAndTicksUpToMilliseconds) {
  const TickCase cases[] = {
      // 1/24: 100 ms is 2.4 ticks; tick 1 is 41.7 ms; 125 ms is tick 3 exactly.
      {{1, 24}, 100, 2, 1, 42},
      {{1, 24}, 125, 3, 3, 125},
      {{1, 24}, 124, 2, 2, 84},
      // 1/25: 100 ms is 2.5 ticks (a half: nearest would say 3).
      {{1, 25}, 100, 2, 1, 40},
      {{1, 25}, 119, 2, 3, 120},
      // 1/90000: whole ticks per millisecond; tick 9001 is 100.011 ms.
      {{1, 90000}, 100, 9000, 9001, 101},
      {{1, 90000}, 1, 90, 8999, 100},
      {{1, 90000}, 0, 0, 9000, 100},
      // 1/30000 with 1001-tick frames (29.97 a second): frame 3 at 100.1 ms.
      {{1, 30000}, 100, 3000, 3003, 101},
      {{1, 30000}, 33, 990, 1001, 34},
      {{1, 30000}, 34, 1020, 2999, 100},
      // 1001/30000, one tick a frame: 100 ms is 2.997 ticks.
      {{1001, 30000}, 100, 2, 3, 101},
      {{1001, 30000}, 34, 1, 1, 34},
      {{1001, 30000}, 33, 0, 30, 1001},
      // Before the first picture (B-pictures may come earlier): up is towards zero.
      {{1, 24}, 0, 0, -1, -41},
  };
  for (const TickCase& c : cases) {
    const std::string tb = std::to_string(c.tb.num) + "/" + std::to_string(c.tb.den);
    EXPECT_EQ(last_tick_at(c.ms, c.tb), c.last_tick) << c.ms << " ms at " << tb;
    EXPECT_EQ(first_ms_from(c.ticks, c.tb), c.first_ms) << "tick " << c.ticks << " at " << tb;
  }
}

// End to end in those time bases: each output frame shows the last picture
// whose exact time is not after its own, counted in ticks, never in rounded
// milliseconds. The pictures show their number, so the check needs no
// decoder of its own.
struct TimeBaseCase {
  const char* name;  // and the container, by the extension
  const char* rate;  // frames a second
  std::vector<std::string> options;
  TimeBase tb;
  size_t records;
};

void PrintTo(const TimeBaseCase& c, std::ostream* os) { *os << c.name; }

class BuiltinTimeBase : public ::testing::TestWithParam<TimeBaseCase> {};

TEST_P(BuiltinTimeBase, EachOutputFrameIsTheLastPictureDueInTicks) {
  const TimeBaseCase& c = GetParam();
  std::vector<std::string> options = {"-c:v", "ffv1"};
  options.insert(options.end(), c.options.begin(), c.options.end());
  const std::string path =
      made(std::string("numbered_") + c.name,
           std::string("color=c=black:size=96x64:duration=3:rate=") + c.rate +
               ",format=gray,geq=lum='255*mod(trunc(N/pow(2\\,trunc(X/12)))\\,2)'",
           options);
  const RunResult tb = run_program({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                    "stream=time_base", "-of", "csv=p=0", path});
  ASSERT_EQ(tb.out, std::to_string(c.tb.num) + "/" + std::to_string(c.tb.den) + "\n");
  const std::vector<double> ticks = ffprobe_frame_times(path, "best_effort_timestamp");
  ASSERT_GE(ticks.size(), 72u);
  const Pulled p = pull(path);
  ASSERT_EQ(p.status, SourceStatus::ok);
  ASSERT_EQ(p.greys.size(), c.records);
  for (size_t k = 0; k < c.records; ++k) {
    // Picture i is due at output time 100 k ms when
    // (tick_i - tick_0) * num / den <= k / 10, in whole numbers.
    size_t due = 0;
    while (due + 1 < ticks.size() &&
           (int64_t(ticks[due + 1]) - int64_t(ticks[0])) * c.tb.num * 10 <= int64_t(k) * c.tb.den)
      ++due;
    EXPECT_EQ(frame_number(p.greys[k]), int(due)) << "output frame " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Builtin, BuiltinTimeBase,
    // 90 pictures of 1001/30000 s last 3.003 s: the output frame at 3 s is theirs too.
    ::testing::Values(TimeBaseCase{"ntsc_90k.mov", "30000/1001", {"-video_track_timescale", "90000"}, {1, 90000}, 31},
                      TimeBaseCase{"ntsc_30k.mov", "30000/1001", {"-video_track_timescale", "30000"}, {1, 30000}, 31},
                      // AVI counts whole frames: a tick of 1001/30000 s.
                      TimeBaseCase{"ntsc.avi", "30000/1001", {}, {1001, 30000}, 31},
                      TimeBaseCase{"film_24.mov", "24", {"-video_track_timescale", "24"}, {1, 24}, 30},
                      TimeBaseCase{"pal_25.mov", "25", {"-video_track_timescale", "25"}, {1, 25}, 30}),
    [](const auto& info) {
      std::string n = info.param.name;
      return n.substr(0, n.find('.')) + "_" + n.substr(n.find('.') + 1);
    });

// Pictures that no output frame shows are not decoded when nothing refers
// to them; the pictures shown must be those of a full decode, bit for bit.
// MPEG-4 part 2 has no deblocking, so the fast path is exact there.
struct SkipCase {
  const char* name;
  const char* lavfi;
  std::vector<std::string> options;
  int64_t start_ms;
};

void PrintTo(const SkipCase& c, std::ostream* os) { *os << c.name << " from " << c.start_ms << " ms"; }

class BuiltinSkip : public ::testing::TestWithParam<SkipCase> {};

TEST_P(BuiltinSkip, FastPathShowsTheSamePicturesAsAFullDecode) {
  const SkipCase& c = GetParam();
  const std::string path = made(c.name, c.lavfi, c.options);
  BuiltinRequest request;
  request.path = path;
  request.start_ms = c.start_ms;
  const Pulled fast = pull(request);
  request.exact = true;
  const Pulled full = pull(request);
  ASSERT_EQ(fast.status, SourceStatus::ok);
  ASSERT_EQ(full.status, SourceStatus::ok);
  ASSERT_GE(full.pictures.size(), 15u);
  ASSERT_EQ(fast.pictures.size(), full.pictures.size());
  for (size_t k = 0; k < full.pictures.size(); ++k)
    EXPECT_TRUE(fast.pictures[k] == full.pictures[k]) << "output frame " << k;
  // Not all the same picture, or the comparison would prove little.
  EXPECT_NE(full.pictures.front(), full.pictures.back());
}

INSTANTIATE_TEST_SUITE_P(
    Builtin, BuiltinSkip,
    ::testing::Values(SkipCase{"bframes30.mp4", "testsrc2=size=320x240:rate=30:duration=3",
                               {"-c:v", "mpeg4", "-bf", "2", "-g", "12"}, 0},
                      SkipCase{"bframes30.mp4", "testsrc2=size=320x240:rate=30:duration=3",
                               {"-c:v", "mpeg4", "-bf", "2", "-g", "12"}, 1250},
                      SkipCase{"bframes_vfr.mkv",
                               "testsrc2=size=320x240:rate=30:duration=1[a];testsrc2=size=320x240:rate=20:duration=1[b];"
                               "[a][b]concat",
                               {"-fps_mode", "passthrough", "-c:v", "mpeg4", "-bf", "3", "-g", "20"}, 0},
                      SkipCase{"bframes24.avi", "testsrc2=size=320x240:rate=24:duration=3",
                               {"-c:v", "mpeg4", "-bf", "2"}, 0},
                      // H.264 with a B-pyramid (some B-pictures are references) and
                      // HEVC: the decoder must keep every picture others refer to.
                      SkipCase{"pyramid.mp4", "testsrc2=size=320x240:rate=30:duration=3",
                               {"-c:v", "libx264", "-bf", "3", "-b_strategy", "0"}, 0},
                      SkipCase{"pyramid.mp4", "testsrc2=size=320x240:rate=30:duration=3",
                               {"-c:v", "libx264", "-bf", "3", "-b_strategy", "0"}, 1230},
                      SkipCase{"pyramid.ts", "testsrc2=size=320x240:rate=30:duration=3",
                               {"-c:v", "libx264", "-bf", "3", "-b_strategy", "0"}, 0},
                      SkipCase{"hevc.mkv", "testsrc2=size=320x240:rate=30:duration=3",
                               {"-c:v", "libx265", "-x265-params", "log-level=error:bframes=4"}, 0},
                      SkipCase{"pyramid_vfr.mkv",
                               "testsrc2=size=320x240:rate=30:duration=1[a];testsrc2=size=320x240:rate=12:duration=1[b];"
                               "[a][b]concat",
                               {"-fps_mode", "passthrough", "-c:v", "libx264", "-bf", "3"}, 0}),
    [](const auto& info) {
      std::string n = info.param.name;
      return n.substr(0, n.find('.')) + "_" + n.substr(n.find('.') + 1) + "_from" + std::to_string(info.param.start_ms);
    });

TEST(BuiltinStill, PictureFileGivesOneFrame) {
  const std::string path = scratch() / "still.png";
  ASSERT_TRUE(make_movie(path, kDisplaySource, {"-frames:v", "1"}));
  const std::vector<std::string> ref = ffmpeg_frames(path, 96, 64);
  ASSERT_EQ(ref.size(), 1u);
  const Pulled p = pull(path);
  ASSERT_EQ(p.status, SourceStatus::ok);
  ASSERT_EQ(p.pictures.size(), 1u);
  EXPECT_TRUE(p.pictures[0] == ref[0]);
  EXPECT_EQ(p.last, FrameStatus::ended);
  EXPECT_EQ(p.timing.length, 1u);
}

// ---------------------------------------------------------------------------
// Trimming: a 10-second movie whose frames show their own number.

struct TrimCase {
  const char* container;
  std::vector<std::string> options;
  int64_t start_ms, duration_ms;
  int first;     // number shown by output frame 0
  size_t count;  // output frames
  const char* tag = "";  // tells movies of one container apart
};

void PrintTo(const TrimCase& c, std::ostream* os) {
  *os << c.container << " from " << c.start_ms << " ms for " << c.duration_ms << " ms";
}

class BuiltinTrim : public ::testing::TestWithParam<TrimCase> {};

TEST_P(BuiltinTrim, ClipShowsTheRightFrames) {
  const TrimCase& c = GetParam();
  const std::string path = made(std::string("numbered") + c.tag + "." + c.container, kNumberedFrames, c.options);
  BuiltinRequest request;
  request.path = path;
  request.start_ms = c.start_ms;
  request.duration_ms = c.duration_ms;
  const Pulled p = pull(request);
  ASSERT_EQ(p.status, SourceStatus::ok);
  ASSERT_EQ(p.greys.size(), c.count);
  for (size_t k = 0; k < c.count; ++k) EXPECT_EQ(frame_number(p.greys[k]), c.first + int(k)) << "output frame " << k;
  EXPECT_EQ(p.last, FrameStatus::ended);
  EXPECT_NEAR(double(p.timing.length), double(c.count), 1.0);
}

const std::vector<std::string> kH264 = {"-c:v", "libx264", "-g", "25", "-bf", "2"};
const std::vector<std::string> kMpeg4 = {"-c:v", "mpeg4", "-g", "25", "-bf", "1", "-q:v", "3"};
// A keyframe at the start only: a transport stream's timestamp search lands
// past it, so a clip must be decoded from the first byte.
const std::vector<std::string> kH264OneKeyframe = {"-c:v", "libx264", "-g", "1000", "-bf", "2"};

INSTANTIATE_TEST_SUITE_P(Builtin, BuiltinTrim,
                         ::testing::Values(TrimCase{"mp4", kH264, 0, -1, 0, 100},
                                           TrimCase{"mp4", kH264, 2000, 3000, 20, 30},
                                           TrimCase{"mkv", kH264, 2000, 3000, 20, 30},
                                           TrimCase{"ts", kH264, 2000, 3000, 20, 30},
                                           TrimCase{"ts", kH264OneKeyframe, 2000, 3000, 20, 30, "_onekey"},
                                           TrimCase{"ts", kH264OneKeyframe, 100, 500, 1, 5, "_onekey"},
                                           TrimCase{"avi", kMpeg4, 2000, 3000, 20, 30},
                                           // Between frames, and just after a keyframe.
                                           TrimCase{"mp4", kH264, 2550, 1000, 25, 10},
                                           TrimCase{"mkv", kH264, 5090, -1, 50, 50},
                                           // Within the last frame.
                                           TrimCase{"mp4", kH264, 9950, -1, 99, 1},
                                           TrimCase{"mp4", kH264, 0, 0, 0, 0},
                                           TrimCase{"mp4", kH264, 7000, 60000, 70, 30}),
                         [](const auto& info) {
                           return std::string(info.param.container) + info.param.tag + "_" +
                                  std::to_string(info.param.start_ms) + "_" +
                                  (info.param.duration_ms < 0 ? std::string("end")
                                                              : std::to_string(info.param.duration_ms));
                         });

TEST(BuiltinTrim, StartAtOrPastTheEndIsItsOwnStatus) {
  const std::string path = made("numbered.mp4", kNumberedFrames, kH264);
  for (int64_t start : {10000, 10001, 60000}) {
    BuiltinRequest request;
    request.path = path;
    request.start_ms = start;
    EXPECT_EQ(pull(request).status, SourceStatus::start_past_end) << start;
  }
}

// ---------------------------------------------------------------------------
// Hostile and broken files.

TEST(BuiltinHostile, FilesThatAreNotMoviesDoNotOpen) {
  const std::string text = scratch() / "notes.txt";
  write_bytes(text, "This is not a movie.\nJust some text.\n");
  const std::string empty = scratch() / "empty.mp4";
  write_bytes(empty, "");
  for (const std::string& path : {scratch() / "no_such_movie.mp4", text, empty})
    EXPECT_EQ(pull(path).status, SourceStatus::open_failed) << path;
}

TEST(BuiltinHostile, SoundWithoutVideoHasNoStream) {
  const std::string wav = made("sound.wav", "sine=frequency=440:duration=1", {});
  EXPECT_EQ(pull(wav).status, SourceStatus::stream_failed);
  // Cover art is a picture stream, but not a movie.
  const std::string cover = scratch() / "cover.flac";
  RunResult r = run_program({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=duration=1", "-f",
                             "lavfi", "-i", "testsrc2=size=64x64:duration=0.1", "-map", "0", "-map", "1", "-c:a",
                             "flac", "-c:v", "png", "-disposition:v", "attached_pic", "-frames:v", "1", cover});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(pull(cover).status, SourceStatus::stream_failed);
}

TEST(BuiltinHostile, TruncatedMovieEndsWhereItsDataDoes) {
  const std::string path = made("ffv1.mkv", kDisplaySource, kLosslessRgb);
  const std::vector<std::string> ref = ffmpeg_frames(path, 96, 64);
  ASSERT_EQ(ref.size(), 20u);
  const std::string whole = read_file(path);
  const std::string cut = scratch() / "cut.mkv";
  write_bytes(cut, whole.substr(0, whole.size() * 3 / 5));
  const Pulled p = pull(cut);
  ASSERT_EQ(p.status, SourceStatus::ok);
  EXPECT_GT(p.pictures.size(), 5u);
  EXPECT_LT(p.pictures.size(), 20u);
  EXPECT_EQ(p.last, FrameStatus::ended);
  for (size_t k = 0; k < p.pictures.size(); ++k) EXPECT_TRUE(p.pictures[k] == ref[k]) << "frame " << k;
  // An MP4 whose index is at the end has nothing left to play when cut.
  const std::string mp4 = made("numbered.mp4", kNumberedFrames, kH264);
  const std::string mp4_whole = read_file(mp4);
  const std::string mp4_cut = scratch() / "cut.mp4";
  write_bytes(mp4_cut, mp4_whole.substr(0, mp4_whole.size() / 2));
  EXPECT_EQ(pull(mp4_cut).status, SourceStatus::open_failed);
}

// Garbles the middle fifth of a file with pseudo-random bytes.
std::string garbled(std::string bytes) {
  uint32_t seed = 12345;
  for (size_t i = bytes.size() * 2 / 5; i < bytes.size() * 3 / 5; ++i) {
    seed = seed * 1103515245 + 12345;
    bytes[i] = char(seed >> 16);
  }
  return bytes;
}

// Takes one packet of the video (ffmpeg's PID 0x100) out of the middle of a
// transport stream, as a lossy broadcast does: a break in its continuity.
std::string packet_lost(const std::string& ts) {
  constexpr size_t kTsPacket = 188;
  constexpr int kVideoPid = 0x100;
  const size_t packets = ts.size() / kTsPacket;
  for (size_t i = packets / 2; i < packets; ++i) {
    const size_t at = i * kTsPacket;
    if (((uint8_t(ts[at + 1]) & 0x1F) << 8 | uint8_t(ts[at + 2])) == kVideoPid)
      return ts.substr(0, at) + ts.substr(at + kTsPacket);
  }
  return ts;
}

class BuiltinDamaged : public ::testing::TestWithParam<const char*> {};

TEST_P(BuiltinDamaged, DamagedMiddleIsCountedAndReportedOncePerKind) {
  const std::string container = GetParam();
  const std::string path = made("h264." + container, "testsrc2=size=320x240:rate=10:duration=2", kH264);
  const std::string whole = read_file(path);
  const std::string bytes = container == "ts" ? packet_lost(whole) : garbled(whole);
  ASSERT_NE(bytes, whole);
  const std::string damaged = scratch() / ("damaged." + container);
  write_bytes(damaged, bytes);
  ::testing::internal::CaptureStderr();
  const Pulled p = pull(damaged);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(p.status, SourceStatus::ok);
  EXPECT_EQ(p.last, FrameStatus::ended);
  EXPECT_GE(p.pictures.size(), 15u);
  EXPECT_GT(p.errors, 0u);
  std::istringstream lines(err);
  std::set<std::string> seen;
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_EQ(line.rfind("Built-in decoder: ", 0), 0u) << line;
    EXPECT_TRUE(seen.insert(line.substr(0, line.find(':', 18))).second) << "repeated: " << line;
  }
  EXPECT_GE(count, 1);
  EXPECT_LE(uint64_t(count), p.errors);
}

// Garbage in an MP4's pictures; a transport stream that lost a packet.
INSTANTIATE_TEST_SUITE_P(Builtin, BuiltinDamaged, ::testing::Values("mp4", "ts"),
                         [](const auto& info) { return std::string(info.param); });

// Caps every single libav allocation for the life of a test: a picture
// buffer for a header's claimed size would fail instead of being made.
class AllocationCap {
 public:
  AllocationCap() {
    limit_allocations();  // the program's own cap, set first so that it does not undo this one
    av_max_alloc(kAllocLimit);
  }
  ~AllocationCap() { av_max_alloc(size_t(kMaxAllocation)); }
};

struct HugeCase {
  int width, height;
};

void PrintTo(const HugeCase& c, std::ostream* os) { *os << c.width << " x " << c.height; }

class BuiltinHuge : public ::testing::TestWithParam<HugeCase> {};

TEST_P(BuiltinHuge, HeaderClaimingAHugePictureIsRefusedBeforeAllocating) {
  const HugeCase& c = GetParam();
  const std::string path = scratch() / ("huge_" + std::to_string(c.width) + "x" + std::to_string(c.height) + ".y4m");
  write_bytes(path, "YUV4MPEG2 W" + std::to_string(c.width) + " H" + std::to_string(c.height) +
                       " F10:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(4096, '\x80'));
  AllocationCap cap;
  EXPECT_EQ(pull(path).status, SourceStatus::too_large);
}

INSTANTIATE_TEST_SUITE_P(Builtin, BuiltinHuge,
                         ::testing::Values(HugeCase{16000, 16000}, HugeCase{9000, 64}, HugeCase{64, 9000},
                                           HugeCase{7000, 7000}, HugeCase{8192, 5000}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST(BuiltinHuge, PictureLimitRefusesOnlyLargerPictures) {
  // H.264 decodes 100 x 60 into a padded 112 x 64 or more: the limit is the
  // picture's, not the decoder's padded one.
  const std::string path =
      made("h264_100x60.mp4", "testsrc2=size=100x60:rate=10:duration=1", {"-c:v", "libx264", "-pix_fmt", "yuv420p"});
  constexpr int64_t kPixels = 100 * 60;
  struct Case {
    int64_t limit;
    SourceStatus status;
  };
  for (const Case c : {Case{kPixels - 1, SourceStatus::too_large}, Case{kPixels, SourceStatus::ok},
                       Case{kPixels + 1, SourceStatus::ok}}) {
    BuiltinRequest request;
    request.path = path;
    request.max_pixels = c.limit;
    const Pulled p = pull(request);
    EXPECT_EQ(p.status, c.status) << "limit " << c.limit;
    if (c.status == SourceStatus::ok) {
      EXPECT_EQ(p.pictures.size(), 10u) << "limit " << c.limit;
      EXPECT_EQ(p.errors, 0u) << "limit " << c.limit;
    }
  }
}

TEST(BuiltinHuge, ZeroSizedHeaderDoesNotOpen) {
  const std::string path = scratch() / "zero.y4m";
  write_bytes(path, "YUV4MPEG2 W0 H0 F10:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(64, '\x80'));
  AllocationCap cap;
  EXPECT_NE(pull(path).status, SourceStatus::ok);
}

TEST(BuiltinHuge, PictureGrowingMidStreamIsSkippedAndCounted) {
  // Motion JPEG: each picture carries its own size. The sixth one is made to
  // claim 16000 x 16000; it must be refused, and the fifth shown in its place.
  const std::string path = made("mjpeg.avi", kDisplaySource, {"-c:v", "mjpeg", "-q:v", "3"});
  std::string avi = read_file(path);
  size_t sof = 0;
  for (int picture = 0, at = 0; picture < 6; ++picture, at = int(sof) + 1) {
    sof = avi.find("\xFF\xC0", size_t(at));
    ASSERT_NE(sof, std::string::npos);
  }
  avi[sof + 5] = char(16000 >> 8), avi[sof + 6] = char(16000 & 0xFF);  // height
  avi[sof + 7] = char(16000 >> 8), avi[sof + 8] = char(16000 & 0xFF);  // width
  const std::string grown = scratch() / "grown.avi";
  write_bytes(grown, avi);
  AllocationCap cap;
  const Pulled p = pull(grown);
  ASSERT_EQ(p.status, SourceStatus::ok);
  ASSERT_EQ(p.pictures.size(), 20u);
  EXPECT_GE(p.errors, 1u);
  EXPECT_TRUE(p.pictures[5] == p.pictures[4]);
  EXPECT_FALSE(p.pictures[6] == p.pictures[4]);
}

// ---------------------------------------------------------------------------
// Determinism and the source's life.

TEST(BuiltinRepeat, IdenticalPicturesGiveIdenticalFrames) {
  // One picture repeated in Motion JPEG: every decoded frame is bit-identical,
  // and so must every frame handed over be, scaling and padding included.
  const std::string path = made("repeated.avi", "testsrc2=size=160x120:rate=10:duration=0.1,loop=loop=19:size=1",
                                {"-c:v", "mjpeg", "-q:v", "3"});
  const Pulled p = pull(path);
  ASSERT_EQ(p.status, SourceStatus::ok);
  ASSERT_EQ(p.pictures.size(), 20u);
  for (size_t k = 1; k < p.pictures.size(); ++k) EXPECT_TRUE(p.pictures[k] == p.pictures[0]) << "frame " << k;
}

TEST(BuiltinLifetime, PositionsRepeatNeverGoBackAndStayEnded) {
  const std::string path = made("ffv1.mkv", kDisplaySource, kLosslessRgb);
  const std::vector<std::string> ref = ffmpeg_frames(path, 96, 64);
  ASSERT_EQ(ref.size(), 20u);
  BuiltinRequest request;
  request.path = path;
  BuiltinSource source(request);
  std::span<const uint8_t> dib;
  EXPECT_EQ(source.frame(0, dib), FrameStatus::failed);  // not open yet
  ASSERT_EQ(source.open(), SourceStatus::ok);
  ASSERT_EQ(source.frame(3, dib), FrameStatus::ok);
  const uint8_t* first = dib.data();
  EXPECT_TRUE(picture(dib) == ref[3]);
  ASSERT_EQ(source.frame(3, dib), FrameStatus::ok);
  EXPECT_EQ(dib.data(), first);
  EXPECT_TRUE(picture(dib) == ref[3]);
  ASSERT_EQ(source.frame(12, dib), FrameStatus::ok);
  EXPECT_TRUE(picture(dib) == ref[12]);
  EXPECT_EQ(source.frame(2, dib), FrameStatus::failed);
  EXPECT_TRUE(dib.empty());
  ASSERT_EQ(source.frame(19, dib), FrameStatus::ok);
  EXPECT_EQ(source.frame(20, dib), FrameStatus::ended);
  EXPECT_EQ(source.frame(21, dib), FrameStatus::ended);
  EXPECT_EQ(source.frame(5000, dib), FrameStatus::ended);
  // Opening again starts over.
  ASSERT_EQ(source.open(), SourceStatus::ok);
  ASSERT_EQ(source.frame(0, dib), FrameStatus::ok);
  EXPECT_TRUE(picture(dib) == ref[0]);
}

TEST(BuiltinLifetime, SourcesLeftAtEveryStageReleaseEverything) {
  // Run under AddressSanitizer this finds any decoder, thread or buffer left
  // behind; here it checks that no stage refuses to be left.
  const std::string path = made("numbered.mp4", kNumberedFrames, kH264);
  for (int frames : {-1, 0, 1, 7, 1000}) {
    BuiltinRequest request;
    request.path = path;
    request.start_ms = 1000;
    BuiltinSource source(request);
    if (frames < 0) continue;  // never opened
    ASSERT_EQ(source.open(), SourceStatus::ok);
    std::span<const uint8_t> dib;
    for (int pos = 0; pos < frames && source.frame(uint32_t(pos), dib) == FrameStatus::ok; ++pos) {
    }
  }
  BuiltinRequest past;
  past.path = path;
  past.start_ms = 99000;
  BuiltinSource failed(past);
  EXPECT_EQ(failed.open(), SourceStatus::start_past_end);
  std::span<const uint8_t> dib;
  EXPECT_EQ(failed.frame(0, dib), FrameStatus::failed);
}

}  // namespace

// ---------------------------------------------------------------------------
// HDR: a PQ or HLG movie is tone-mapped to what its SDR master shows. The
// HDR versions are made from the master's picture with zscale, SDR white at
// 100 cd/m2, as grading tools make them; without tone mapping their greys
// come out some 20 to 40 levels too dark.

namespace {

// A grey ramp with a white bar: every tone, and highlights.
const std::string kRamp =
    "color=c=black:size=160x120:rate=10:duration=1,format=gray,geq=lum='if(lt(Y\\,100)\\,255*X/159\\,255)',"
    "format=yuv420p,setparams=color_primaries=bt709:color_trc=bt709:colorspace=bt709:range=tv";

std::vector<std::string> hevc_options(const std::string& transfer) {
  return {"-c:v", "libx265", "-x265-params", "log-level=error:colorprim=bt2020:transfer=" + transfer +
          ":colormatrix=bt2020nc", "-color_primaries", "bt2020", "-color_trc", transfer, "-colorspace", "bt2020nc"};
}

std::string hdr_movie(const std::string& transfer) {
  return made("ramp_" + transfer + ".mp4",
              kRamp + ",zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt2020:t=" + transfer +
                  ":m=bt2020nc:r=tv:npl=100,format=yuv420p10le",
              hevc_options(transfer));
}

double mean_grey(const Pulled& p) {
  double sum = 0;
  for (const GreyBuffer& g : p.greys)
    for (uint8_t v : g) sum += v;
  return sum / (double(p.greys.size()) * kPixels);
}

}  // namespace

TEST(BuiltinHdr, PqAndHlgShowTheirMastersGreys) {
  const Pulled master = pull(made("ramp_sdr.mp4", kRamp,
                                  {"-c:v", "libx264", "-color_primaries", "bt709", "-color_trc", "bt709",
                                   "-colorspace", "bt709"}));
  ASSERT_EQ(master.status, SourceStatus::ok);
  ASSERT_EQ(master.greys.size(), 10u);
  for (const std::string transfer : {"smpte2084", "arib-std-b67"}) {
    const Pulled hdr = pull(hdr_movie(transfer));
    ASSERT_EQ(hdr.status, SourceStatus::ok) << transfer;
    ASSERT_EQ(hdr.greys.size(), master.greys.size()) << transfer;
    EXPECT_NEAR(mean_grey(hdr), mean_grey(master), 8.0) << transfer;
    // Pixel by pixel on the ramp's middle row, below the highlights the tone
    // mapping rolls off: within a few levels of the master.
    const GreyBuffer& h = hdr.greys[5];
    const GreyBuffer& m = master.greys[5];
    for (int x = 4; x < kWidth - 4; x += 8) EXPECT_NEAR(h[20 * kWidth + x], m[20 * kWidth + x], 6) << transfer << " x " << x;
  }
}

TEST(BuiltinHdr, SdrMovieWithHdrPrimariesIsLeftAsItIs) {
  // BT.2020 primaries alone do not make a movie HDR: its frames are the
  // same movie's tagged BT.709, byte for byte.
  const auto tagged = [](const std::string& primaries) {
    return pull(made("ramp_" + primaries + "_sdr.mkv", kRamp,
                     {"-c:v", "ffv1", "-color_primaries", primaries, "-color_trc", "bt709", "-colorspace", "bt709"}));
  };
  const Pulled wide = tagged("bt2020"), usual = tagged("bt709");
  ASSERT_EQ(wide.status, SourceStatus::ok);
  ASSERT_EQ(wide.pictures.size(), 10u);
  EXPECT_TRUE(wide.pictures == usual.pictures);
}
