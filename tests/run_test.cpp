// End-to-end tests of the conversion run: the real movdith with the real
// mencoder (or a stand-in placed first on PATH) on movies made by ffmpeg.
#include <sys/stat.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
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

uint32_t header_count(const std::string& video) {
  if (video.size() < kHeaderBytes) return 0;
  auto byte = [&](int i) { return uint32_t{static_cast<uint8_t>(video[i])}; };
  return byte(15) | byte(16) << 8 | byte(17) << 16 | byte(18) << 24;
}

std::string header_string(int32_t grey, uint32_t count) {
  Header h = make_header(grey, count);
  return std::string(h.begin(), h.end());
}

// The console text of a successful run from the frame-rate report on, for a
// 10 frames-per-second temporary movie of n frames.
std::string expected_tail(uint32_t n) {
  char line[64];
  std::snprintf(line, sizeof line, "Frame Rate = 10.00 hz\nLength = %0.0f seconds\n", n / 10.0);
  std::string text = line;
  for (uint32_t i = 0; i < n; ++i) {
    std::snprintf(line, sizeof line, "Phase 2: %u%%\r", 100 * i / n);
    text += line;
  }
  return text + "Phase 2: 100%\nSuccess!\n";
}

// Checks the whole console text of a successful run: the size report, the
// Phase 1 updates (never going back), then the exact tail.
void expect_success_output(const std::string& out, const std::string& sizes, uint32_t n) {
  const std::string wait = "Please Wait, this may take a few minutes...\n";
  ASSERT_EQ(out.substr(0, sizes.size() + wait.size()), sizes + wait) << out;
  const std::string done = "Phase 1: 100%\n";
  size_t phase1_end = out.find(done);
  ASSERT_NE(phase1_end, std::string::npos) << out;
  std::string updates = out.substr(sizes.size() + wait.size(), phase1_end - sizes.size() - wait.size());
  EXPECT_TRUE(std::regex_match(updates, std::regex("(Phase 1: [0-9]+%\r)*"))) << updates;
  int last = -1;
  std::smatch m;
  for (std::string rest = updates; std::regex_search(rest, m, std::regex("Phase 1: ([0-9]+)%\r"));
       rest = m.suffix()) {
    int pct = std::stoi(m[1]);
    EXPECT_GE(pct, last);
    last = pct;
  }
  EXPECT_EQ(out.substr(phase1_end + done.size()), expected_tail(n));
}

// True when `out` ends with `line` and its newline.
bool ends_with_line(const std::string& out, const std::string& line) {
  return out.size() > line.size() && out.compare(out.size() - line.size() - 1, std::string::npos, line + "\n") == 0;
}

std::string size_lines(int inw, int inh, int outw, int outh) {
  char text[128];
  std::snprintf(text, sizeof text, "In Width: %d\nIn Height: %d\nOut Width: %d\nOut Height: %d\n", inw, inh, outw,
                outh);
  return text;
}

// A folder holding a stand-in `mencoder` that writes `avi` as the temporary
// movie for both runs, for movies the real encoder would never write.
std::string standin_copying(const TempDir& dir, const std::string& avi) {
  std::string bin = dir / "bin";
  mkdir(bin.c_str(), 0755);
  std::string script = bin + "/mencoder";
  FILE* f = std::fopen(script.c_str(), "w");
  std::fprintf(f, "#!/bin/sh\ncp '%s' movdithtemp.avi\n", avi.c_str());
  std::fclose(f);
  chmod(script.c_str(), 0755);
  return bin;
}

struct ShapeCase {
  int width, height, outw, outh;
};

class RunShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(RunShape, ConvertsWithSizesFileAndConsoleAsDesigned) {
  const ShapeCase& c = GetParam();
  TempDir dir;
  char lavfi[128];
  std::snprintf(lavfi, sizeof lavfi, "testsrc2=size=%dx%d:rate=25:duration=2", c.width, c.height);
  ASSERT_TRUE(make_movie(dir / "in.mp4", lavfi));

  Conversion mono = convert(dir, "in.mp4");
  ASSERT_EQ(mono.run.status, 0) << mono.run.out;
  uint32_t n = header_count(mono.video);
  EXPECT_GE(n, 19u);  // two seconds at 10 frames per second, give or take the encoder's last frame
  EXPECT_LE(n, 21u);
  EXPECT_EQ(mono.video.substr(0, kHeaderBytes), header_string(0, n));
  EXPECT_EQ(mono.video.size(), kHeaderBytes + n * 768u);
  expect_success_output(mono.run.out, size_lines(c.width, c.height, c.outw, c.outh), n);
  EXPECT_FALSE(file_exists(dir / "movdithtemp.avi"));
  EXPECT_FALSE(file_exists(dir / "error.txt"));

  Conversion grey = convert(dir, "in.mp4", {"-g"});
  ASSERT_EQ(grey.run.status, 0) << grey.run.out;
  EXPECT_EQ(grey.video.substr(0, kHeaderBytes), header_string(1, n));
  EXPECT_EQ(grey.video.size(), kHeaderBytes + n * 1536u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, RunShape,
                         ::testing::Values(ShapeCase{640, 480, 85, 64}, ShapeCase{1280, 720, 96, 54},
                                           ShapeCase{480, 640, 48, 64}));

TEST(Run, AllBlackMovieGivesAllDarkRecords) {
  TempDir dir;
  // 320 x 240 is padded left and right, 96 x 40 above and below: the padding
  // must be as black as the picture.
  for (const char* size : {"320x240", "96x40"}) {
    ASSERT_TRUE(make_movie(dir / "black.mp4", std::string("color=black:rate=25:duration=1:size=") + size));
    for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"-g"}}) {
      Conversion c = convert(dir, "black.mp4", options);
      ASSERT_EQ(c.run.status, 0) << c.run.out;
      ASSERT_GT(c.video.size(), size_t{kHeaderBytes});
      EXPECT_EQ(c.video.find_first_not_of('\xFF', kHeaderBytes), std::string::npos) << size << " " << options.size();
    }
  }
}

TEST(Run, KernelDisplayComesFirst) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "in.mp4", "testsrc2=size=96x64:rate=10:duration=1"));
  Conversion c = convert(dir, "in.mp4", {"-m", "0,0,0,0,0,0.5,0,0.5,0"});
  ASSERT_EQ(c.run.status, 0) << c.run.out;
  const std::string start = kHalfKernelDisplay + "In Width: 96\n";
  EXPECT_EQ(c.run.out.substr(0, start.size()), start);
}

TEST(Run, MissingMovieIsAnOpenError) {
  TempDir dir;
  Conversion c = convert(dir, "no such movie.mp4");
  EXPECT_EQ(c.run.out, "Open error\n");
  EXPECT_EQ(c.run.status, 1);
  EXPECT_TRUE(file_exists(dir / "error.txt"));  // the encoder's complaint is kept for the user
  EXPECT_FALSE(file_exists(dir / "out.8xx"));
}

TEST(Run, StaleTemporaryMovieIsNeverConverted) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "movdithtemp.avi", "testsrc2=size=96x64:rate=10:duration=1", {"-c:v", "ffv1"}));
  Conversion c = convert(dir, "missing.mp4");
  EXPECT_EQ(c.run.out, "Open error\n");
  EXPECT_EQ(c.run.status, 1);
}

// Failures after the encoder ran: one clear line, status 1, never "Success!",
// and the temporary files stay for the user to look at.
struct OutputFailure {
  const char* name;
  const char* outpath;
  const char* line;
};

class RunOutputFailure : public ::testing::TestWithParam<OutputFailure> {};

TEST_P(RunOutputFailure, EndsWithOneLineAndKeepsTemporaryFiles) {
  const OutputFailure& f = GetParam();
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "in.mp4", "testsrc2=size=320x240:rate=25:duration=1"));
  RunResult r = run_program({MOVDITH_BIN, "in.mp4", f.outpath}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("Success!"), std::string::npos);
  EXPECT_TRUE(ends_with_line(r.out, f.line)) << r.out;
  EXPECT_TRUE(file_exists(dir / "movdithtemp.avi"));
  EXPECT_TRUE(file_exists(dir / "error.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, RunOutputFailure,
    ::testing::Values(
        OutputFailure{"MissingFolder", "no/such/folder/out.8xx", "Output error: the output file could not be created"},
        OutputFailure{"FullDisk", "/dev/full", "Write error: the output file could not be written"}),
    [](const ::testing::TestParamInfo<OutputFailure>& info) { return info.param.name; });

// The frame cadence over temporary movies at other rates than 10, written by
// a stand-in encoder. Frame i of the movie is white when i % 3 == 0, else
// black; with plain thresholding each record is all 0x00 or all 0xFF.
struct CadenceCase {
  const char* name;
  int fps, frames;
  std::vector<int> positions;  // the source frames the run must fetch
};

class RunCadence : public ::testing::TestWithParam<CadenceCase> {};

TEST_P(RunCadence, FetchesSourceFramesAtTenPerSecond) {
  const CadenceCase& c = GetParam();
  TempDir dir;
  char lavfi[160];
  std::snprintf(lavfi, sizeof lavfi, "color=black:size=96x64:rate=%d,format=gray,geq=lum='255*eq(mod(N\\,3)\\,0)'",
                c.fps);
  ASSERT_TRUE(make_movie(dir / "fixture.avi", lavfi,
                         {"-frames:v", std::to_string(c.frames), "-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
  std::string bin = standin_copying(dir, dir / "fixture.avi");
  Conversion r = convert(dir, "in.mp4", {"-m", "0,0,0,0,0,0,0,0,0"}, bin);
  ASSERT_EQ(r.run.status, 0) << r.run.out;

  EXPECT_EQ(header_count(r.video), uint32_t(c.frames * 10 / c.fps));
  ASSERT_EQ(r.video.size(), kHeaderBytes + c.positions.size() * 768);
  for (size_t i = 0; i < c.positions.size(); ++i) {
    char expected = c.positions[i] % 3 == 0 ? '\x00' : '\xFF';
    EXPECT_EQ(r.video.substr(kHeaderBytes + i * 768, 768), std::string(768, expected)) << "record " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, RunCadence,
                         ::testing::Values(CadenceCase{"Fifteen", 15, 12, {0, 1, 3, 4, 6, 7, 9, 10}},
                                           CadenceCase{"Five", 5, 4, {0, 0, 1, 1, 2, 2, 3, 3}},
                                           CadenceCase{"TwentyFive", 25, 11, {0, 2, 5, 7, 10}}),
                         [](const ::testing::TestParamInfo<CadenceCase>& info) { return info.param.name; });

TEST(Run, MovieBelowOneFramePerSecondIsRefused) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "slow.avi", "color=gray:size=96x64:rate=1/2",
                         {"-frames:v", "3", "-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
  std::string bin = standin_copying(dir, dir / "slow.avi");
  Conversion r = convert(dir, "in.mp4", {}, bin);
  EXPECT_EQ(r.run.status, 1);
  EXPECT_TRUE(ends_with_line(r.run.out, "Frame Rate error: the movie has no usable frame rate")) << r.run.out;
  EXPECT_FALSE(file_exists(dir / "out.8xx"));
}

}  // namespace
