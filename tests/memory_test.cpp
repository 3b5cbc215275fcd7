// Memory: whatever the movie, a run stays under the program's ceiling
// (measured as the run's peak resident memory), and a movie that would need
// more ends with one line and status 1. Also the decoded-picture budget at
// its edge, and the threads large pictures get.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "memory_watch.h"
#include "movie/builtin/builtin.h"
#include "movie/limits.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Threads for large pictures: cores + 1, as libav chooses, as long as the
// pictures in flight stay within kThreadedPictures.

TEST(MemoryThreads, LargePicturesGetFewerThreads) {
  struct Case {
    int64_t charge;
    int cores;
    int threads;
  };
  constexpr int64_t kLimit = kThreadedPictures;
  for (const Case c : {
           Case{0, 2, 3},                        // size unknown to the rule: as libav
           Case{kLimit / 3, 2, 3},               // three fit exactly
           Case{kLimit / 3 + 1, 2, 2},           // one byte more: two
           Case{kLimit / 2, 2, 2},               // two fit exactly
           Case{kLimit / 2 + 1, 2, 1},           // one byte more: one
           Case{kLimit + 1, 2, 1},               // beyond them all: still one
           Case{1, 1, 1},                        // one core: one thread
           Case{1, kMaxDecodingThreads - 1, kMaxDecodingThreads},  // cores + 1 up to the cap
           Case{1, kMaxDecodingThreads, kMaxDecodingThreads},      // ... and no more
       })
    EXPECT_EQ(decoding_threads(c.charge, c.cores), c.threads) << c.charge << " bytes, " << c.cores << " cores";
}

// ---------------------------------------------------------------------------
// The budget at its edge: a movie converts with exactly the pictures its
// decoder holds at once, and not with a byte less.

struct BudgetCase {
  const char* name;
  std::vector<std::string> options;
  int pictures;    // what the decoder holds at once, one thread
  bool predicted;  // pictures come with their tables, and the decoder with its own
};

void PrintTo(const BudgetCase& c, std::ostream* os) { *os << c.name; }

class MemoryBudget : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(MemoryBudget, MovieConvertsWithItsPicturesAndNotAByteLess) {
  const BudgetCase& c = GetParam();
  const std::string path = scratch() / c.name;
  if (!file_exists(path)) {
    ASSERT_TRUE(make_movie(path, "testsrc2=size=320x240:rate=10:duration=2", c.options));
  }
  constexpr int64_t kPixels = 320 * 240;
  constexpr int64_t kPicture = kPixels * 3 / 2;  // 4:2:0
  const int64_t edge = c.pictures * (kPicture + (c.predicted ? picture_tables(kPixels) : 0)) +
                       (c.predicted ? decoder_tables(kPixels) : 0);
  struct Run {
    SourceStatus status;
    int frames = 0;
    FrameStatus last = FrameStatus::failed;
  };
  const auto run = [&](int64_t budget) {
    BuiltinRequest request;
    request.path = path;
    request.threads = 1;
    request.picture_budget = budget;
    BuiltinSource source(request);
    Run r{source.open()};
    std::span<const uint8_t> dib;
    if (r.status == SourceStatus::ok)
      while ((r.last = source.frame(uint32_t(r.frames), dib)) == FrameStatus::ok) ++r.frames;
    return r;
  };
  const Run enough = run(edge);
  EXPECT_EQ(enough.status, SourceStatus::ok);
  EXPECT_EQ(enough.frames, 20);
  EXPECT_EQ(enough.last, FrameStatus::ended);
  const Run short_of_it = run(edge - 1);
  // Short of a picture the decoder needs: refused at the first one, or the
  // movie stops as a failure, never as an end.
  if (short_of_it.status == SourceStatus::ok) {
    EXPECT_LT(short_of_it.frames, 20);
    EXPECT_EQ(short_of_it.last, FrameStatus::failed);
  } else {
    EXPECT_EQ(short_of_it.status, SourceStatus::too_large);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Builtin, MemoryBudget,
    ::testing::Values(
        // Each picture refers to the one before: that one and the one decoded.
        BudgetCase{"one_reference.mp4", {"-c:v", "libx264", "-preset", "ultrafast"}, 2, true},
        // Three references and two B-pictures waiting to be shown.
        BudgetCase{"three_references.mp4", {"-c:v", "libx264", "-x264-params", "ref=3:bframes=2"}, 5, true},
        // Pictures that stand alone: one at a time, without tables.
        BudgetCase{"standalone.avi", {"-c:v", "mjpeg"}, 1, false}),
    [](const auto& info) {
      const std::string n = info.param.name;
      return n.substr(0, n.find('.'));
    });

// A decoder whose pictures the budget cannot count (AV1's) is held to
// 3840 x 2160, and refused a picture larger by so much as two rows.
TEST(MemoryUncounted, AV1PicturesUpToUltraHd) {
  struct Case {
    const char* size;
    SourceStatus status;
    const char* failure;
  };
  for (const Case c : {Case{"3840x2160", SourceStatus::ok, ""},
                       Case{"3840x2162", SourceStatus::too_large,
                            "the picture, 3840 x 2162, is larger than allowed (8192 pixels a side, 8.3 million in all "
                            "for av1)"}}) {
    const std::string path = scratch() / (std::string("av1_") + c.size + ".mp4");
    if (!file_exists(path)) {
      ASSERT_TRUE(make_movie(path, std::string("testsrc2=size=") + c.size + ":rate=10:duration=0.1",
                             {"-c:v", "libsvtav1", "-preset", "12"}));
    }
    BuiltinRequest request;
    request.path = path;
    BuiltinSource source(request);
    EXPECT_EQ(source.open(), c.status) << c.size;
    EXPECT_EQ(source.failure(), c.failure) << c.size;
  }
}

// ---------------------------------------------------------------------------
// Whole runs: the program's own peak memory. The mencoder engine's encoder is
// a stand-in that fails, so that only movdith's own process is measured.

// A run of movdith on `movie` with `engine`, in a scratch folder.
RunResult convert(const std::string& movie, const std::string& engine) {
  TempDir dir;
  const std::string encoder = write_standin_encoder(dir / "bin", "exit 1");
  return run_program(Launch{{MOVDITH_BIN, movie, dir / "out.8xx", "--engine=" + engine}, dir.path(), encoder});
}

// One line on standard output, and status 1, under the ceiling.
void expect_refused_within_ceiling(const RunResult& r, const std::string& what) {
  EXPECT_EQ(r.status, 1) << what;
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << what << ":\n" << r.out;
  if (rss_is_measurable()) {
    EXPECT_LT(r.peak_rss_kib * 1024, kMemoryCeiling) << what;
  }
}

// Inputs the fuzzers found asking for too much memory, kept among the
// regressions as memory-*: the reader's are movies as they are, the built-in
// engine's have the byte that picks a fit and clip first.
std::vector<std::string> memory_regressions() {
  std::vector<std::string> movies;
  for (const char* target : {"reader", "builtin"}) {
    for (const auto& e : fs::directory_iterator(std::string(FUZZ_REGRESSIONS_DIR) + "/" + target)) {
      const std::string name = e.path().filename().string();
      if (name.rfind("memory-", 0) != 0) continue;
      std::string bytes = read_file(e.path().string());
      if (std::string(target) == "builtin" && !bytes.empty()) bytes.erase(0, 1);
      const std::string movie = scratch() / (std::string(target) + "-" + name);
      write_bytes(movie, bytes);
      movies.push_back(movie);
    }
  }
  return movies;
}

TEST(MemoryHostile, EachInputEndsInOneLineUnderTheCeiling) {
  const std::vector<std::string> movies = memory_regressions();
  ASSERT_FALSE(movies.empty());
  for (const std::string& movie : movies)
    for (const char* engine : {"builtin", "mencoder"})
      expect_refused_within_ceiling(convert(movie, engine), movie + " " + engine);
}

// The default engine with the real mencoder: its demuxer allocates what a
// hostile header claims, so only the child's data limit keeps the run small.
// wait4's figure is the largest of movdith and every descendant it reaped
// (mencoder is one), so the whole run is under this figure.
constexpr int64_t kWholeRunCeiling = 300LL * 1000 * 1000;

TEST(MemoryHostile, RealMencoderChildStaysUnderTheWholeRunCeiling) {
  for (const char* name : {"memory-info-huge.avi", "memory-info-768m.avi", "memory-info-1880m.avi"}) {
    const std::string movie = std::string(FUZZ_REGRESSIONS_DIR) + "/reader/" + name;
    TempDir dir;
    const RunResult r = run_program(Launch{{MOVDITH_BIN, movie, dir / "out.8xx"}, dir.path(), ""});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.out, "Open error\n") << name;
    EXPECT_FALSE(file_exists(dir / "out.8xx")) << name;
    if (rss_is_measurable()) {
      EXPECT_LT(r.peak_rss_kib * 1024, kWholeRunCeiling) << name;
    }
  }
}

// ---------------------------------------------------------------------------
// The mencoder child's data limit follows the picture the container claims:
// the flat 256 MiB up to 4096 x 3072, then 64 MiB and 16 bytes a pixel, up to
// the largest picture allowed. The figures are written out here, not read
// from the header.

TEST(MemoryEncoderLimit, FollowsTheClaimedPictureAtItsThresholds) {
  struct Case {
    const char* name;
    int64_t width, height;
    int64_t limit;
  };
  constexpr int64_t kFlat = 268'435'456;  // 256 MiB
  for (const Case c : {
           Case{"unknown", 0, 0, kFlat},
           Case{"unknown width", 0, 4320, kFlat},
           Case{"unknown height", 7680, -1, kFlat},
           Case{"1080p", 1920, 1080, kFlat},
           Case{"4K", 3840, 2160, kFlat},
           Case{"a row under the crossing", 4096, 3071, kFlat},
           Case{"at the crossing", 4096, 3072, kFlat},
           Case{"a row over the crossing", 4096, 3073, kFlat + 16 * 4096},
           Case{"8K", 7680, 4320, 597'950'464},
           Case{"the largest picture", 8000, 5000, 707'108'864},
           Case{"above the largest", 8192, 8192, 707'108'864},
           Case{"a side beyond any", int64_t{1} << 40, 2, 707'108'864},
       })
    EXPECT_EQ(encoder_data_limit(c.width, c.height), c.limit) << c.name;
}

// The limit the child is given, as the shell's `ulimit -d` (KiB) reports it
// from inside a stand-in encoder, for movies claiming 1080p and 8K.
TEST(MemoryEncoderLimit, ChildGetsTheLimitOfTheMoviesPicture) {
  struct Case {
    const char* size;
    const char* kib;
  };
  for (const Case c : {Case{"1920x1080", "262144"}, Case{"7680x4320", "583936"}}) {
    TempDir dir;
    ASSERT_TRUE(make_movie(dir / "in.mp4", std::string("color=gray:size=") + c.size + ":rate=1:duration=1",
                           {"-c:v", "libx264", "-preset", "ultrafast", "-frames:v", "1"}));
    const std::string bin = write_standin_encoder(dir / "bin", "ulimit -d > limit.txt; exit 1", "exit 1");
    const RunResult r = run_program(Launch{{MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(), bin});
    EXPECT_EQ(r.status, 1) << c.size;
    EXPECT_EQ(r.out, "Open error\n") << c.size;
    EXPECT_EQ(read_file(dir / "limit.txt"), std::string(c.kib) + "\n") << c.size;
  }
}

// An 8K H.264 movie with 4 reference pictures and B-pictures needs more than
// the flat 256 MiB in mencoder's decoder (with it: `Open error`); with the
// limit its picture gets, it converts through the real mencoder.
TEST(MemoryEncoderLimit, EightKMovieWithReferencePicturesConverts) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "8k.mp4", "testsrc2=size=7680x4320:rate=25:duration=0.12",
                         {"-c:v", "libx264", "-preset", "ultrafast", "-refs", "4", "-bf", "3", "-pix_fmt", "yuv420p"}));
  const RunResult r = run_program(Launch{{MOVDITH_BIN, "8k.mp4", "out.8xx"}, dir.path(), ""});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::string sizes = "In Width: 7680\nIn Height: 4320\nOut Width: 96\nOut Height: 54\n";
  EXPECT_EQ(r.out.substr(0, sizes.size()), sizes) << r.out;
  EXPECT_EQ(last_line(r.out), "Success!");
  EXPECT_TRUE(file_exists(dir / "out.8xx"));
  EXPECT_FALSE(file_exists(dir / "movdithtemp.avi"));
}

TEST(MemoryLargest, FortyMillionPixelPhotographConverts) {
  const std::string photo = scratch() / "photo_8000x5000.jpg";
  if (!file_exists(photo)) {
    ASSERT_TRUE(make_movie(photo, "testsrc2=size=8000x5000:rate=1:duration=1", {"-frames:v", "1"}));
  }
  TempDir dir;
  const RunResult r = run_program(Launch{{MOVDITH_BIN, photo, dir / "out.8xx", "--engine=builtin"}, dir.path(), ""});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::string sizes = "In Width: 8000\nIn Height: 5000\nOut Width: 96\nOut Height: 60\n";
  EXPECT_EQ(r.out.substr(0, sizes.size()), sizes) << r.out;
  EXPECT_EQ(last_line(r.out), "Success!");
  if (rss_is_measurable()) {
    EXPECT_LT(r.peak_rss_kib * 1024, kMemoryCeiling);
  }
}

TEST(MemoryLargest, MovieNeedingMorePicturesThanTheBudgetStopsUnderTheCeiling) {
  // 3840 x 2160 with sixteen reference pictures: more than fit the budget.
  const std::string movie = scratch() / "uhd_sixteen_references.mp4";
  if (!file_exists(movie)) {
    ASSERT_TRUE(make_movie(movie, "testsrc2=size=3840x2160:rate=10:duration=2",
                           {"-c:v", "libx264", "-preset", "ultrafast", "-x264-params", "ref=16"}));
  }
  TempDir dir;
  const RunResult r = run_program(Launch{{MOVDITH_BIN, movie, dir / "out.8xx", "--engine=builtin"}, dir.path(), ""});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(last_line(r.out), "nomoreframes");
  EXPECT_NE(r.err.find("Built-in decoder: the movie's pictures need more memory at once than allowed; the movie "
                       "stops here"),
            std::string::npos)
      << r.err;
  if (rss_is_measurable()) {
    EXPECT_LT(r.peak_rss_kib * 1024, kMemoryCeiling);
  }
}

}  // namespace
