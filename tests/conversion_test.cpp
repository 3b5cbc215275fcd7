// Successful conversions, end to end: the built movdith with the real
// mencoder (or a stand-in placed first on PATH that hands over a prepared
// temporary movie) on movies made by ffmpeg. Each checks the exact console
// text or file bytes, and the files the run leaves behind.
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <bit>
#include <cstring>
#include <signal.h>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "frame/dib.h"
#include "frame/frame.h"
#include "raster.h"
#include "test_support.h"
#include "util/bytes.h"
#include "videofile/videofile.h"

namespace {

// What one run left behind in its working folder.
struct Conversion {
  RunResult run;
  std::string video;  // the output file's bytes
};

Conversion convert(const TempDir& dir, const std::string& movie, const std::vector<std::string>& options = {},
                   const std::string& path_prefix = "") {
  std::vector<std::string> argv = {MOVDITH_BIN, movie, "out.8xx"};
  argv.insert(argv.end(), options.begin(), options.end());
  Conversion c;
  c.run = run_program(argv, dir.path(), path_prefix);
  c.video = read_file(dir / "out.8xx");
  return c;
}

// Checks the whole console text of a successful run: the size report, the
// Phase 1 updates (never going back), then the exact rest for n frames.
void expect_success_output(const std::string& out, const std::string& sizes, uint32_t n) {
  ASSERT_EQ(out.substr(0, sizes.size() + kWaitLine.size()), sizes + kWaitLine) << out;
  const size_t phase1_end = out.find("Phase 1: 100%\n");
  ASSERT_NE(phase1_end, std::string::npos) << out;
  const size_t updates_at = sizes.size() + kWaitLine.size();
  const std::string updates = out.substr(updates_at, phase1_end - updates_at);
  EXPECT_TRUE(std::regex_match(updates, std::regex("(Phase 1: [0-9]+%\r)*"))) << updates;
  int last = -1;
  std::smatch m;
  for (std::string rest = updates; std::regex_search(rest, m, std::regex("Phase 1: ([0-9]+)%\r"));
       rest = m.suffix()) {
    const int pct = std::stoi(m[1]);
    EXPECT_GE(pct, last);
    last = pct;
  }
  EXPECT_EQ(out.substr(phase1_end), loop_text(n, n, "Phase 2: 100%\nSuccess!\n"));
}

// ---- Real movies through the real encoder ----

struct ShapeCase {
  int width, height, outw, outh;
};

class ConversionShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ConversionShape, ConvertsWithSizesFileAndConsoleAsDesigned) {
  const ShapeCase& c = GetParam();
  TempDir dir;
  char lavfi[128];
  std::snprintf(lavfi, sizeof lavfi, "testsrc2=size=%dx%d:rate=25:duration=2", c.width, c.height);
  ASSERT_TRUE(make_movie(dir / "in.mp4", lavfi));

  const Conversion mono = convert(dir, "in.mp4");
  ASSERT_EQ(mono.run.status, 0) << mono.run.out;
  const uint32_t n = header_count(mono.video);
  EXPECT_GE(n, 19u);  // two seconds at 10 frames per second, give or take the encoder's last frame
  EXPECT_LE(n, 21u);
  EXPECT_EQ(mono.video.substr(0, kHeaderBytes), header_string(0, n));
  EXPECT_EQ(mono.video.size(), kHeaderBytes + n * 768u);
  expect_success_output(mono.run.out, size_lines(c.width, c.height, c.outw, c.outh), n);
  EXPECT_EQ(folder_names(dir.path()), (std::set<std::string>{"in.mp4", "out.8xx"}));

  const Conversion grey = convert(dir, "in.mp4", {"-g"});
  ASSERT_EQ(grey.run.status, 0) << grey.run.out;
  EXPECT_EQ(grey.video.substr(0, kHeaderBytes), header_string(1, n));
  EXPECT_EQ(grey.video.size(), kHeaderBytes + n * 1536u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ConversionShape,
                         ::testing::Values(ShapeCase{640, 480, 85, 64}, ShapeCase{1280, 720, 96, 54},
                                           ShapeCase{480, 640, 48, 64}));

TEST(ConversionPicture, AllBlackMovieGivesAllDarkRecords) {
  TempDir dir;
  // 320 x 240 is padded left and right, 96 x 40 above and below: the padding
  // must be as black as the picture.
  for (const char* size : {"320x240", "96x40"}) {
    ASSERT_TRUE(make_movie(dir / "black.mp4", std::string("color=black:rate=25:duration=1:size=") + size));
    for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"-g"}}) {
      const Conversion c = convert(dir, "black.mp4", options);
      ASSERT_EQ(c.run.status, 0) << c.run.out;
      ASSERT_GT(c.video.size(), size_t{kHeaderBytes});
      EXPECT_EQ(c.video.find_first_not_of('\xFF', kHeaderBytes), std::string::npos) << size << " " << options.size();
    }
  }
}

TEST(ConversionConsole, KernelDisplayComesFirst) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "in.mp4", "testsrc2=size=96x64:rate=10:duration=1"));
  const Conversion c = convert(dir, "in.mp4", {"-m", "0,0,0,0,0,0.5,0,0.5,0"});
  ASSERT_EQ(c.run.status, 0) << c.run.out;
  const std::string start = kHalfKernelDisplay + "In Width: 96\n";
  EXPECT_EQ(c.run.out.substr(0, start.size()), start);
}

// ---- Hostile movie names, through the whole run with the real mencoder ----

struct NameCase {
  const char* label;
  const char* name;
};

class ConversionMovieName : public ::testing::TestWithParam<NameCase> {};

TEST_P(ConversionMovieName, ConvertsAndRunsNothing) {
  TempDir dir;
  const std::string name = GetParam().name;
  ASSERT_TRUE(make_movie(dir / "movie.mp4", "testsrc2=size=160x120:rate=10:duration=1"));
  ASSERT_EQ(std::rename((dir / "movie.mp4").c_str(), (dir / name).c_str()), 0);
  const RunResult r = run_program({MOVDITH_BIN, name, "out.8xx"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(last_line(r.out), "Success!") << r.out;
  EXPECT_EQ(header_count(read_file(dir / "out.8xx")), 10u);
  // Nothing but the movie and the video: no file made by a command hidden
  // in the name, no temporary file left.
  EXPECT_EQ(folder_names(dir.path()), (std::set<std::string>{name, "out.8xx"}));
}

INSTANTIATE_TEST_SUITE_P(
    Names, ConversionMovieName,
    ::testing::Values(NameCase{"Semicolons", "a;touch pwned;b.mp4"}, NameCase{"DollarParen", "$(touch pwned).mp4"},
                      NameCase{"Backquotes", "`touch pwned`.mp4"}, NameCase{"Quotes", "it's \"quoted\".mp4"},
                      NameCase{"LeadingDash", "-leading dash.mp4"}, NameCase{"Redirections", "a|b&c>d<e.mp4"},
                      NameCase{"SpacesAndTab", "two  spaces\tand tab.mp4"}, NameCase{"Glob", "*?[x].mp4"},
                      NameCase{"Newline", "new\nline.mp4"}, NameCase{"PrintfFormat", "%s%n%d.mp4"},
                      NameCase{"EncoderOption", "-o"}, NameCase{"DoubleDash", "--"}, NameCase{"Dash", "-"}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.label; });

// ---- Temporary movies at other rates, through a stand-in encoder ----

// Frame i of the movie is white when i % 3 == 0, else black; with plain
// thresholding each record is all 0x00 or all 0xFF, so the records tell which
// source frames the run fetched.
struct CadenceCase {
  const char* name;
  int fps, frames;
  std::vector<int> positions;  // the source frames the run must fetch
};

class ConversionCadence : public ::testing::TestWithParam<CadenceCase> {};

TEST_P(ConversionCadence, FetchesSourceFramesAtTenPerSecond) {
  const CadenceCase& c = GetParam();
  TempDir dir;
  char lavfi[160];
  std::snprintf(lavfi, sizeof lavfi, "color=black:size=96x64:rate=%d,format=gray,geq=lum='255*eq(mod(N\\,3)\\,0)'",
                c.fps);
  ASSERT_TRUE(make_movie(dir / "fixture.avi", lavfi,
                         {"-frames:v", std::to_string(c.frames), "-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
  const std::string bin = write_standin_encoder(dir / "bin", "cp '" + (dir / "fixture.avi") + "' movdithtemp.avi");
  const Conversion r = convert(dir, "in.mp4", {"-m", "0,0,0,0,0,0,0,0,0"}, bin);
  ASSERT_EQ(r.run.status, 0) << r.run.out;

  EXPECT_EQ(header_count(r.video), uint32_t(c.frames * 10 / c.fps));
  ASSERT_EQ(r.video.size(), kHeaderBytes + c.positions.size() * 768);
  for (size_t i = 0; i < c.positions.size(); ++i) {
    const char expected = c.positions[i] % 3 == 0 ? '\x00' : '\xFF';
    EXPECT_EQ(r.video.substr(kHeaderBytes + i * 768, 768), std::string(768, expected)) << "record " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, ConversionCadence,
                         ::testing::Values(CadenceCase{"Fifteen", 15, 12, {0, 1, 3, 4, 6, 7, 9, 10}},
                                           CadenceCase{"Five", 5, 4, {0, 0, 1, 1, 2, 2, 3, 3}},
                                           CadenceCase{"TwentyFive", 25, 11, {0, 2, 5, 7, 10}}),
                         [](const ::testing::TestParamInfo<CadenceCase>& info) { return info.param.name; });

// ---- Temporary movies that are odd but readable: no failure, and no hang ----

struct OddCase {
  const char* name;
  std::vector<AviPatch> patches;
  std::string tail_line;  // the frame-rate report
  uint32_t records, header;
  uint32_t held_from = 0;  // records from here on repeat the one before, if not 0
};

class ConversionOddMovie : public ::testing::TestWithParam<OddCase> {};

TEST_P(ConversionOddMovie, ConvertsWhatTheReaderReports) {
  const OddCase& c = GetParam();
  TempDir dir;
  write_bytes(dir / "odd.avi", patched_good_movie(c.patches));
  const std::string bin =
      write_standin_encoder(dir / "bin", kCopyGood, "cp '" + (dir / "odd.avi") + "' movdithtemp.avi");
  const RunResult r = run_program({MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(), bin);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(c.tail_line), std::string::npos) << r.out;
  EXPECT_EQ(last_line(r.out), "Success!");
  const std::string video = read_file(dir / "out.8xx");
  EXPECT_EQ(video.size(), kHeaderBytes + size_t(c.records) * kPlaneBytes);
  EXPECT_EQ(header_count(video), c.header);
  if (c.held_from > 0 && video.size() == kHeaderBytes + size_t(c.records) * kPlaneBytes) {
    const std::string last = video.substr(kHeaderBytes + (c.held_from - 1) * kPlaneBytes, kPlaneBytes);
    EXPECT_NE(last, video.substr(kHeaderBytes + (c.held_from - 2) * kPlaneBytes, kPlaneBytes));  // the picture moves
    for (uint32_t i = c.held_from; i < c.records; ++i)
      EXPECT_EQ(video.substr(kHeaderBytes + i * kPlaneBytes, kPlaneBytes), last) << "record " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Odd, ConversionOddMovie,
    ::testing::Values(
        // libavformat falls back on the main header's frame time...
        OddCase{"ZeroRateInStreamHeader", {{"strh", kStrhRate, 0}}, "Frame Rate = 10.00 hz\n", 30, 30},
        OddCase{"ZeroScaleInStreamHeader", {{"strh", kStrhScale, 0}}, "Frame Rate = 10.00 hz\n", 30, 30},
        // ... and on 25 frames per second when that is zero too: positions
        // 0, 2, 5, 7, ... at two and a half source frames per record.
        OddCase{"NoFrameRateAnywhere",
                {{"avih", kAvihMicroSecPerFrame, 0}, {"strh", kStrhRate, 0}},
                "Frame Rate = 25.00 hz\n",
                12,
                12},
        // A stream that says it is empty is converted as empty.
        OddCase{"ZeroLength",
                {{"avih", kAvihTotalFrames, 0}, {"strh", kStrhLength, 0}},
                "Length = 0 seconds\nPhase 2: 100%\n",
                0,
                0},
        // With an intact index the reader cannot tell a header that claims
        // too much from trailing zero-length chunks (repeats of the last
        // frame, which mencoder writes): the last frame stands for the rest.
        OddCase{"HeaderClaimsMoreFramesIndexed",
                {{"avih", kAvihTotalFrames, 45}, {"strh", kStrhLength, 45}},
                "Length = 4 seconds\n",
                45,
                45,
                kGoodMovieFrames}),
    [](const ::testing::TestParamInfo<OddCase>& info) { return info.param.name; });

// ---- Two runs in one folder at once ----

// The second waits for the first; each file holds its own movie's frames.
// The first run's encoder holds on until the test has seen the second wait
// (30 s at most), so a slow machine cannot let the first finish too early.
TEST(ConversionTwoRuns, TheSecondWaitsForTheFirst) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "black.avi", "color=black:size=96x64:rate=10:duration=2", {"-c:v", "msmpeg4v2"}));
  const std::string hold = "i=0; while [ ! -e go ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done; rm -f go\n";
  const std::string slow = write_standin_encoder(dir / "slow", kCopyGood, hold + kCopyGood);
  const std::string black = write_standin_encoder(dir / "black", "cp black.avi movdithtemp.avi");
  const Background first =
      start_program(Launch{{MOVDITH_BIN, "a.mp4", "a.8xx"}, dir.path(), slow, false}, dir / "a.txt");
  ASSERT_TRUE(wait_until([&] { return read_file(dir / "a.txt").find(kWaitLine) != std::string::npos; }, 30));
  const Background second =
      start_program(Launch{{MOVDITH_BIN, "b.mp4", "b.8xx"}, dir.path(), black, false}, dir / "b.txt");
  const std::string waiting = "Waiting for the other movdith run in this folder to finish...\n";
  EXPECT_TRUE(wait_until([&] { return read_file(dir / "b.txt") == waiting; }, 30)) << read_file(dir / "b.txt");
  write_bytes(dir / "go", "");
  int a = 0, b = 0;
  ASSERT_TRUE(finish(first, a));
  ASSERT_TRUE(finish(second, b));
  EXPECT_TRUE(WIFEXITED(a) && WEXITSTATUS(a) == 0) << read_file(dir / "a.txt");
  EXPECT_TRUE(WIFEXITED(b) && WEXITSTATUS(b) == 0) << read_file(dir / "b.txt");
  EXPECT_EQ(read_file(dir / "b.txt").substr(0, waiting.size()), waiting);
  EXPECT_EQ(read_file(dir / "a.txt").find("Waiting"), std::string::npos);

  const std::string video_a = read_file(dir / "a.8xx"), video_b = read_file(dir / "b.8xx");
  EXPECT_EQ(header_count(video_a), kGoodMovieFrames);
  EXPECT_NE(video_a.find_first_not_of('\xFF', kHeaderBytes), std::string::npos) << "a.8xx holds the black movie";
  EXPECT_EQ(header_count(video_b), 20u);
  EXPECT_EQ(video_b.find_first_not_of('\xFF', kHeaderBytes), std::string::npos) << "b.8xx holds the other movie";
  EXPECT_EQ(folder_names(dir.path()),
            (std::set<std::string>{"a.8xx", "a.txt", "b.8xx", "b.txt", "black", "black.avi", "slow"}));
}

// Two real conversions started together in one folder, as xargs -P2 starts
// them, write exactly what each writes alone.
TEST(ConversionTwoRuns, RealEncoderRunsMatchRunsAlone) {
  TempDir dir, alone;
  const std::string movies[] = {"a.mp4", "b.mp4"};
  ASSERT_TRUE(make_movie(dir / movies[0], "testsrc2=size=160x120:rate=25:duration=2"));
  ASSERT_TRUE(make_movie(dir / movies[1], "mandelbrot=size=320x240:rate=30,trim=duration=3"));
  std::string expected[2];
  for (int i = 0; i < 2; ++i) {
    const RunResult r = run_program({MOVDITH_BIN, dir / movies[i], "out.8xx"}, alone.path());
    ASSERT_EQ(r.status, 0) << r.out;
    expected[i] = read_file(alone / "out.8xx");
  }
  Background runs[2];
  for (int i = 0; i < 2; ++i)
    runs[i] = start_program(Launch{{MOVDITH_BIN, movies[i], movies[i] + ".8xx"}, dir.path(), "", false},
                            dir / (movies[i] + ".txt"));
  for (int i = 0; i < 2; ++i) {
    int wstatus = 0;
    ASSERT_TRUE(finish(runs[i], wstatus));
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << read_file(dir / (movies[i] + ".txt"));
    EXPECT_TRUE(read_file(dir / (movies[i] + ".8xx")) == expected[i]) << movies[i];
  }
}

// ---- Outputs that cannot be written last ----

// A pipe cannot take the frame count after the records, so it gets the count
// first, as the file has always had it: the bytes are those of a file.
TEST(ConversionOutput, PipeGetsTheCountFirst) {
  TempDir dir;
  const std::string bin = write_standin_encoder(dir / "bin", kCopyGood);
  ASSERT_EQ(run_program({MOVDITH_BIN, "in.mp4", "file.8xx"}, dir.path(), bin).status, 0);
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  const RunResult r = run_program(
      {"sh", "-c", "cat pipe > piped.8xx & \"$0\" in.mp4 pipe; status=$?; wait; exit $status", MOVDITH_BIN},
      dir.path(), bin);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(read_file(dir / "piped.8xx") == read_file(dir / "file.8xx"));
  EXPECT_EQ(header_count(read_file(dir / "piped.8xx")), kGoodMovieFrames);
}

// ---- Trim and fill ----

// A 10-second movie at 10 frames a second whose frame n shows n in binary
// as eight vertical bars (white for 1), stored losslessly with sparse
// keyframes, where an encoder's seeking is least exact.
const std::string& stamped_movie() {
  static TempDir dir;
  static const std::string path = dir / "stamp.mp4";
  static const bool made = make_movie(
      path, "color=black:size=96x64:rate=10:duration=10,format=gray,geq=lum='255*mod(floor(N/pow(2\\,7-floor(X/12)))\\,2)'",
      {"-c:v", "libx264", "-qp", "0", "-g", "25", "-pix_fmt", "yuv420p"});
  EXPECT_TRUE(made);
  return path;
}

// The frame numbers the records of a monochrome file show, read from the
// bars' middles in row 32 (plain thresholding keeps the bars whole).
std::vector<int> stamps(const std::string& video) {
  std::vector<int> shown;
  for (size_t at = kHeaderBytes; at + kPlaneBytes <= video.size(); at += kPlaneBytes) {
    const std::string row = video.substr(at + 32 * kRowBytes, kRowBytes);
    int n = 0;
    for (int bar = 0; bar < 8; ++bar) {
      const int x = 12 * bar + 6;
      const bool dark = uint8_t(row[x / 8]) >> (7 - x % 8) & 1;
      n = 2 * n + (dark ? 0 : 1);
    }
    shown.push_back(n);
  }
  return shown;
}

std::vector<int> frames_from(int first, int count) {
  std::vector<int> frames(count);
  for (int i = 0; i < count; ++i) frames[i] = first + i;
  return frames;
}

TEST(ConversionTrim, ClipHasTheFramesOfItsSeconds) {
  TempDir dir;
  const Conversion c = convert(dir, stamped_movie(), {"--start=2", "--duration=3", "-m", "0,0,0,0,0,0,0,0,0"});
  ASSERT_EQ(c.run.status, 0) << c.run.out;
  EXPECT_NE(c.run.out.find("Frame Rate = 10.00 hz\nLength = 3 seconds\nPhase 2: 0%\r"), std::string::npos) << c.run.out;
  EXPECT_EQ(header_count(c.video), 30u);
  EXPECT_EQ(stamps(c.video), frames_from(20, 30));
}

TEST(ConversionTrim, ClipToTheEndAndInMinutes) {
  TempDir dir;
  Conversion c = convert(dir, stamped_movie(), {"--start=0:08.5", "-m", "0,0,0,0,0,0,0,0,0"});
  ASSERT_EQ(c.run.status, 0) << c.run.out;
  EXPECT_EQ(stamps(c.video), frames_from(85, 15));
  c = convert(dir, stamped_movie(), {"--duration=0.25", "-m", "0,0,0,0,0,0,0,0,0"});
  ASSERT_EQ(c.run.status, 0) << c.run.out;
  EXPECT_EQ(stamps(c.video), frames_from(0, 3));
}

TEST(ConversionTrim, StartPastTheEndIsRefused) {
  TempDir dir;
  const Conversion c = convert(dir, stamped_movie(), {"--start=12"});
  EXPECT_EQ(c.run.status, 1);
  EXPECT_EQ(c.run.out, "Start error: the movie is 10.0 seconds long; the clip at 12.0 seconds starts after its end\n");
  EXPECT_FALSE(file_exists(dir / "out.8xx"));
}

// Rows of a monochrome record that are dark from edge to edge.
std::vector<int> dark_rows(const std::string& video, size_t record) {
  std::vector<int> rows;
  for (int y = 0; y < kHeight; ++y)
    if (video.substr(kHeaderBytes + record * kPlaneBytes + y * kRowBytes, kRowBytes) == std::string(kRowBytes, '\xFF'))
      rows.push_back(y);
  return rows;
}

TEST(ConversionFit, PadCropAndStretchAWidePicture) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "white.mp4", "color=white:size=640x360:rate=10:duration=1"));
  const struct {
    const char* fit;
    std::string sizes;
    std::vector<int> bars;
  } cases[] = {
      {"--fit=pad", size_lines(640, 360, 96, 54), {0, 1, 2, 3, 4, 59, 60, 61, 62, 63}},
      {"--fit=crop", size_lines(640, 360, 114, 64), {}},
      {"--fit=stretch", size_lines(640, 360, 96, 64), {}},
  };
  for (const auto& c : cases) {
    const Conversion r = convert(dir, "white.mp4", {c.fit});
    ASSERT_EQ(r.run.status, 0) << c.fit << "\n" << r.run.out;
    EXPECT_EQ(r.run.out.substr(0, c.sizes.size()), c.sizes) << c.fit;
    ASSERT_EQ(header_count(r.video), 10u) << c.fit;
    for (size_t record = 0; record < 10; ++record) EXPECT_EQ(dark_rows(r.video, record), c.bars) << c.fit;
  }
}

// ---- The built-in engine ----

// The frames ffmpeg decodes from a 96 x 64 `movie`, as the pipeline's bitmaps.
std::vector<std::vector<uint8_t>> decoded_bitmaps(const std::string& movie) {
  std::vector<std::vector<uint8_t>> frames;
  for (const std::string& picture : ffmpeg_frames(movie, kWidth, kHeight)) {
    std::vector<uint8_t> dib(dib_bytes(kWidth, kHeight));
    put_dib_header(dib, kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y)  // top row first in, bottom row first out
      std::memcpy(&dib[kDibHeaderBytes + size_t(kHeight - 1 - y) * dib_stride(kWidth)],
                  picture.data() + size_t(y) * kWidth * 3, size_t{kWidth} * 3);
    frames.push_back(std::move(dib));
  }
  return frames;
}

// A lossless 96 x 64 movie at 10 frames a second: the file is exactly the
// pipeline's records of its frames, and the console has no encoder phase.
TEST(ConversionBuiltin, LosslessDisplaySizedMovieGivesThePipelinesRecords) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "in.mkv", "testsrc2=size=96x64:rate=10:duration=2", {"-c:v", "ffv1"}));
  const std::vector<std::vector<uint8_t>> frames = decoded_bitmaps(dir / "in.mkv");
  ASSERT_EQ(frames.size(), 20u);
  for (const int32_t grey : {0, 1}) {
    std::string expected = header_string(grey, 20);
    GreyBuffer graybuf, ditherbuf;
    Plane final, final2;
    const Kernel floyd_steinberg = {0, 0, 0, 0, 0, 28672, 12288, 20480, 4096};
    for (const auto& dib : frames) {
      ASSERT_TRUE(sample(dib, graybuf));
      dither(graybuf, shades_for(grey), floyd_steinberg, ditherbuf);
      pack(ditherbuf, shades_for(grey), final, final2);
      expected.append(final.begin(), final.end());
      if (grey) expected.append(final2.begin(), final2.end());
    }
    const Conversion c = convert(dir, "in.mkv", grey ? std::vector<std::string>{"--engine=builtin", "-g"}
                                                     : std::vector<std::string>{"--engine=builtin"});
    ASSERT_EQ(c.run.status, 0) << c.run.out;
    EXPECT_EQ(c.run.out, size_lines(96, 64, 96, 64) + frame_loop_text(20, 20, "Phase 2: 100%\nSuccess!\n"));
    EXPECT_TRUE(c.video == expected) << "grey " << grey;
  }
  // The output file is the only file it writes.
  EXPECT_EQ(folder_names(dir.path()), (std::set<std::string>{"in.mkv", "in.mkv.bgr", "out.8xx"}));
}

// Where the container's length is only an estimate (Matroska keeps none per
// stream, so the longest stream's counts), the header counts the records
// written, and the records are those of the picture alone.
struct SoundCase {
  const char* name;
  int video_seconds, sound_seconds;
  uint32_t estimate, records;  // the length the console shows, in frames, and the records written
};

void PrintTo(const SoundCase& c, std::ostream* os) { *os << c.name; }

class ConversionBuiltinCount : public ::testing::TestWithParam<SoundCase> {};

TEST_P(ConversionBuiltinCount, HeaderCountsTheRecordsWritten) {
  const SoundCase& c = GetParam();
  TempDir dir;
  const std::string picture = "testsrc2=size=96x64:rate=10:duration=" + std::to_string(c.video_seconds);
  ASSERT_TRUE(make_movie(dir / "picture.mkv", picture, {"-c:v", "ffv1"}));
  ASSERT_TRUE(make_movie(dir / "in.mkv", picture + "[out0];sine=duration=" + std::to_string(c.sound_seconds) + "[out1]",
                         {"-c:v", "ffv1", "-c:a", "flac"}));
  const Conversion alone = convert(dir, "picture.mkv", {"--engine=builtin"});
  ASSERT_EQ(alone.run.status, 0) << alone.run.out;
  const Conversion mixed = convert(dir, "in.mkv", {"--engine=builtin"});
  ASSERT_EQ(mixed.run.status, 0) << mixed.run.out;
  EXPECT_EQ(mixed.run.out,
            size_lines(96, 64, 96, 64) + frame_loop_text(c.estimate, c.records, "Phase 2: 100%\nSuccess!\n"));
  EXPECT_EQ(header_count(mixed.video), c.records);
  ASSERT_EQ(mixed.video.size(), kHeaderBytes + c.records * size_t{kPlaneBytes});
  EXPECT_TRUE(mixed.video.substr(kHeaderBytes) == alone.video.substr(kHeaderBytes)) << "the records differ";
}

INSTANTIATE_TEST_SUITE_P(
    Sound, ConversionBuiltinCount,
    ::testing::Values(SoundCase{"SoundOutlastsThePicture", 1, 3, 30, 10},
                      SoundCase{"PictureOutlastsTheSound", 2, 1, 20, 20}),
    [](const ::testing::TestParamInfo<SoundCase>& info) { return info.param.name; });

// One picture repeated (MJPEG frames decode to the same bits): every record
// is the same, with --stable too.
TEST(ConversionBuiltin, IdenticalFramesGiveIdenticalRecords) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "still.avi", "smptebars=size=320x240:rate=25:duration=3",
                         {"-c:v", "mjpeg", "-q:v", "3"}));
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--engine=builtin"}, {"--engine=builtin", "--stable", "-g"}}) {
    const Conversion c = convert(dir, "still.avi", options);
    ASSERT_EQ(c.run.status, 0) << c.run.out;
    const size_t record = options.size() > 1 ? 2 * kPlaneBytes : kPlaneBytes;
    ASSERT_EQ(header_count(c.video), 30u);
    for (size_t i = 1; i < 30; ++i)
      EXPECT_EQ(c.video.substr(kHeaderBytes + i * record, record), c.video.substr(kHeaderBytes, record)) << i;
  }
}

// The engine needs no lock and no working files: it runs while another run
// holds the folder, and leaves a stale error.txt and temporary movie alone.
TEST(ConversionBuiltin, RunsBesideAnEncoderRunAndTouchesNoWorkingFile) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "in.mp4", "testsrc2=size=160x120:rate=10:duration=1"));
  write_bytes(dir / "error.txt", "another run's log\n");
  write_bytes(dir / "movdithtemp.avi", "another run's movie");
  const Background holder = start_program(Launch{{"flock", ".", "sleep", "20"}, dir.path(), "", false}, dir / "f.txt");
  ASSERT_TRUE(wait_until([&] { return run_program({"flock", "-n", dir.path(), "true"}).status != 0; }, 10));
  const RunResult r = run_program(Launch{{MOVDITH_BIN, "in.mp4", "out.8xx", "--engine=builtin"}, dir.path(), "", false}, 15);
  kill(-holder.pid, SIGKILL);
  int wstatus = 0;
  finish(holder, wstatus);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("Waiting"), std::string::npos);
  EXPECT_EQ(read_file(dir / "error.txt"), "another run's log\n");
  EXPECT_EQ(read_file(dir / "movdithtemp.avi"), "another run's movie");
  EXPECT_EQ(header_count(read_file(dir / "out.8xx")), 10u);
}

TEST(ConversionBuiltin, TrimHasTheFramesOfItsSeconds) {
  TempDir dir;
  const Conversion c =
      convert(dir, stamped_movie(), {"--engine=builtin", "--start=2", "--duration=3", "-m", "0,0,0,0,0,0,0,0,0"});
  ASSERT_EQ(c.run.status, 0) << c.run.out;
  EXPECT_NE(c.run.out.find("Frame Rate = 10.00 hz\nLength = 3 seconds\nPhase 2: 0%\r"), std::string::npos);
  EXPECT_EQ(header_count(c.video), 30u);
  EXPECT_EQ(stamps(c.video), frames_from(20, 30));
}

// ---- Both engines on the same movies ----

// Movies whose picture is not shown as stored, or whose timing misleads
// mencoder's own demuxer: both engines agree on the sizes shown and on the
// frames (mencoder may write one more at the end).
struct ShapeAndTime {
  const char* name;
  const char* file;
  std::string lavfi;
  std::vector<std::string> options;
  bool quarter_turn;  // a display matrix turning the picture a quarter clockwise
  std::string sizes;
  uint32_t frames;
};

void PrintTo(const ShapeAndTime& c, std::ostream* os) { *os << c.name; }

class ConversionEngines : public ::testing::TestWithParam<ShapeAndTime> {};

TEST_P(ConversionEngines, AgreeOnSizesAndFrames) {
  const ShapeAndTime& c = GetParam();
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / c.file, c.lavfi, c.options));
  if (c.quarter_turn) {
    ASSERT_TRUE(set_display_matrix(dir / c.file, kQuarterClockwise));
  }
  for (const char* engine : {"--engine=mencoder", "--engine=builtin"}) {
    const Conversion r = convert(dir, c.file, {engine});
    ASSERT_EQ(r.run.status, 0) << engine << "\n" << r.run.out;
    EXPECT_EQ(r.run.out.substr(0, c.sizes.size()), c.sizes) << engine;
    EXPECT_GE(header_count(r.video), c.frames) << engine;
    EXPECT_LE(header_count(r.video), c.frames + 1) << engine;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Movies, ConversionEngines,
    ::testing::Values(
        ShapeAndTime{"PhoneTurnedAQuarter", "phone.mov", "testsrc2=size=640x360:rate=30:duration=2",
                     {"-c:v", "libx264", "-pix_fmt", "yuv420p"}, true, size_lines(360, 640, 36, 64), 20},
        ShapeAndTime{"WidePixels", "dvd.mp4", "testsrc2=size=720x480:rate=25:duration=2,setsar=32/27",
                     {"-c:v", "libx264", "-pix_fmt", "yuv420p"}, false, size_lines(853, 480, 96, 54), 20},
        // Displayed widths that are not whole: 654.5 is shown 655 wide; 426.7
        // is 427, which fits 96 x 53 (426 would fit 96 x 54).
        ShapeAndTime{"TenEleventhsPixels", "ntsc.mp4", "testsrc2=size=720x480:rate=10:duration=1,setsar=10/11",
                     {"-c:v", "libx264", "-pix_fmt", "yuv420p"}, false, size_lines(655, 480, 87, 64), 10},
        ShapeAndTime{"FortyThirtyThirdsPixels", "sif.mp4", "testsrc2=size=352x240:rate=10:duration=1,setsar=40/33",
                     {"-c:v", "libx264", "-pix_fmt", "yuv420p"}, false, size_lines(427, 240, 96, 53), 10},
        ShapeAndTime{"TransportStream", "tv.ts", "testsrc2=size=640x360:rate=30:duration=3",
                     {"-c:v", "libx264", "-pix_fmt", "yuv420p"}, false, size_lines(640, 360, 96, 54), 30},
        ShapeAndTime{"Plain", "plain.mp4", "testsrc2=size=640x480:rate=25:duration=2", {}, false,
                     size_lines(640, 480, 85, 64), 20}),
    [](const ::testing::TestParamInfo<ShapeAndTime>& info) { return info.param.name; });

// The turn is the right way round: a picture stored dark on the left is
// shown dark at the top after a quarter turn clockwise, by both engines.
TEST(ConversionEngines, QuarterTurnPutsTheLeftOnTop) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "half.mov", "color=white:size=96x64:rate=10:duration=1,drawbox=x=0:y=0:w=48:h=64:color=black:t=fill",
                         {"-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv444p"}));
  ASSERT_TRUE(set_display_matrix(dir / "half.mov", kQuarterClockwise));
  for (const char* engine : {"--engine=mencoder", "--engine=builtin"}) {
    const Conversion r = convert(dir, "half.mov", {engine, "-m", "0,0,0,0,0,0,0,0,0"});
    ASSERT_EQ(r.run.status, 0) << engine << "\n" << r.run.out;
    EXPECT_NE(r.run.out.find(size_lines(64, 96, 42, 64)), std::string::npos) << engine << "\n" << r.run.out;
    // Shown 42 x 64, centred: columns 27 to 68. Row 10 is dark there, row 53 light.
    const std::string video = r.video;
    ASSERT_GT(video.size(), size_t{kHeaderBytes} + kPlaneBytes);
    const auto dark = [&](int x, int y) { return uint8_t(video[kHeaderBytes + y * kRowBytes + x / 8]) >> (7 - x % 8) & 1; };
    for (int x = 30; x < 65; ++x) {
      EXPECT_EQ(dark(x, 10), 1) << engine << " x " << x;
      EXPECT_EQ(dark(x, 53), 0) << engine << " x " << x;
    }
  }
}

// ---- Tone options, through both engines ----

// The share of light pixels in a monochrome video's records.
double light_share(const std::string& video) {
  size_t light = 0, pixels = 0;
  for (size_t at = kHeaderBytes; at + kPlaneBytes <= video.size(); at += kPlaneBytes)
    for (size_t i = at; i < at + kPlaneBytes; ++i, pixels += 8) light += 8 - std::popcount(uint8_t(video[i]));
  return pixels ? double(light) / double(pixels) : 0;
}

// A flat grey of 128 (127 once sampled) fills the screen with half its
// pixels light; the tone
// options change that share as their arithmetic says, whichever engine
// turns the movie into frames.
TEST(ConversionTone, OptionsReachThePipelineThroughBothEngines) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "grey.mkv", "color=c=0x808080:size=96x64:rate=10:duration=1", {"-c:v", "ffv1"}));
  const struct {
    std::vector<std::string> options;
    double share;  // of the pixels light
  } cases[] = {
      {{}, 0.50},
      {{"--gamma=2.2"}, 0.22},                     // (128 / 255)^2.2 of the light
      {{"--brightness=20"}, 0.70},                 // 128 + 51 levels
      {{"--contrast=100"}, 0.0},                   // a threshold at 127.5; sampling makes 128 127
      {{"--contrast=-100"}, 0.50},                 // everything mid grey
      {{"--levels=auto", "--sharpen=2"}, 0.50},    // nothing to stretch or sharpen on a flat grey
      {{"--brightness=20", "--gamma=2.2"}, 0.46},  // brightness first: (179 / 255)^2.2
  };
  for (const char* engine : {"--engine=mencoder", "--engine=builtin"})
    for (const auto& c : cases) {
      std::vector<std::string> options = c.options;
      options.insert(options.begin(), engine);
      const Conversion r = convert(dir, "grey.mkv", options);
      ASSERT_EQ(r.run.status, 0) << engine << "\n" << r.run.out;
      EXPECT_EQ(header_count(r.video), 10u) << engine;
      EXPECT_NEAR(light_share(r.video), c.share, 0.03) << engine << " " << options.back();
    }
}

TEST(ConversionTone, BadValueIsOneLineAndNothingIsWritten) {
  TempDir dir;
  const Conversion r = convert(dir, "missing.mp4", {"-g", "--gamma=0.5"});
  EXPECT_EQ(r.run.status, 1);
  EXPECT_EQ(r.run.out, "error argument for --gamma: a number from 1 to 4, at most two decimals (2.2 for most movies; 1: off)\n");
  EXPECT_TRUE(folder_names(dir.path()).empty());
}

// An HDR movie through mencoder converts as any other, and the terminal is
// told once, after the run, that the built-in engine would tone-map it; an
// SDR movie, or the built-in engine, says nothing.
TEST(ConversionHdr, MencoderEngineSaysSoInOneLine) {
  TempDir dir;
  const std::string picture = "testsrc2=size=96x64:rate=10:duration=1";
  ASSERT_TRUE(make_movie(dir / "pq.mp4", picture + ",format=yuv420p10le",
                         {"-c:v", "libx265", "-x265-params", "log-level=error:colorprim=bt2020:transfer=smpte2084",
                          "-color_primaries", "bt2020", "-color_trc", "smpte2084", "-colorspace", "bt2020nc"}));
  ASSERT_TRUE(make_movie(dir / "sdr.mp4", picture, {"-color_trc", "bt709"}));
  const struct {
    const char* movie;
    const char* engine;
    std::string err;
  } cases[] = {
      {"pq.mp4", "--engine=mencoder",
       "movdith: the movie is HDR (PQ or HLG), which mencoder shows dark and flat; add --engine=builtin to tone-map "
       "it\n"},
      {"sdr.mp4", "--engine=mencoder", ""},
      {"pq.mp4", "--engine=builtin", ""},
  };
  for (const auto& c : cases) {
    const RunResult r = run_program({MOVDITH_BIN, c.movie, "out.8xx", c.engine}, dir.path());
    EXPECT_EQ(r.status, 0) << c.movie << " " << c.engine << "\n" << r.out;
    EXPECT_EQ(last_line(r.out), "Success!") << c.movie << " " << c.engine;
    EXPECT_EQ(r.err, c.err) << c.movie << " " << c.engine;
    EXPECT_EQ(header_count(read_file(dir / "out.8xx")), 10u) << c.movie << " " << c.engine;
  }
}

}  // namespace
