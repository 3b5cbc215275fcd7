// Tests for the encoder runs: the sizing rule, progress parsing, the reading
// of the encoder's output (through stand-in "mencoder" scripts put first on
// PATH) and real mencoder runs on generated movies.
#include "movie/mencoder/encoder.h"

#include <dirent.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

const std::string kFixture = TEST_DATA_DIR "/mencoder_progress.txt";

// A report in mencoder's own layout: 1.2 s, 12 frames, 5 per cent.
const std::string kReport =
    "Pos:   1.2s     12f ( 5%)  0.00fps Trem:   0min   0mb  A-V:0.000 [0:0]";

// Writes an executable shell script named mencoder into `dir`.
void write_stand_in(const std::string& dir, const std::string& body) { write_standin_encoder(dir, body); }

int open_fd_count() {
  int count = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (readdir(d)) ++count;
  closedir(d);
  return count;
}

// How an encoder run ended: its status, the signal that ended it (0 if
// none) and the progress it reported.
struct Transcoded {
  EncoderStatus status = EncoderStatus::Ok;
  int signal = -1;
  std::vector<int> reports;
};

Transcoded transcode(const char* moviepath, OutputSize size = {85, 64}) {
  Transcoded t;
  t.status = transcode_run(moviepath, {.size = size}, [&](int complete) { t.reports.push_back(complete); }, t.signal);
  return t;
}

Transcoded probe(const char* moviepath) {
  Transcoded t;
  t.status = probe_run(moviepath, false, kEncoderDataLimit, t.signal);
  return t;
}

EncoderStatus run_probe(const char* moviepath) {
  const Transcoded t = probe(moviepath);
  EXPECT_EQ(t.signal, 0);
  return t.status;
}

// The percentages of every report in recorded output up to the summary,
// found by a regular expression rather than by the code under test.
std::vector<int> reports_in(const std::string& text, size_t* report_count) {
  std::string head = text.substr(0, text.find("\n\nVideo stream:"));
  std::vector<int> found;
  std::regex report(R"(Pos:[^\r\n]*?\(\s*(\d+)%\))");
  for (std::sregex_iterator it(head.begin(), head.end(), report), end; it != end; ++it)
    found.push_back(std::stoi((*it)[1]));
  *report_count = 0;
  for (size_t at = head.find("Pos:"); at != std::string::npos; at = head.find("Pos:", at + 1))
    ++*report_count;
  return found;
}

// The arguments a stand-in received, one per NUL-terminated entry.
std::vector<std::string> split_args(const std::string& recorded) {
  std::vector<std::string> args;
  size_t start = 0;
  for (size_t end; (end = recorded.find('\0', start)) != std::string::npos; start = end + 1)
    args.push_back(recorded.substr(start, end - start));
  return args;
}

}  // namespace

// ---- Sizing ---------------------------------------------------------------

TEST(EncoderSize, FitsPictureInRaster) {
  struct Case {
    uint32_t w, h, outw, outh;
  };
  const Case cases[] = {
      {640, 480, 85, 64},   // 4:3 is taller than 3:2: full height
      {1280, 720, 96, 54},  // 16:9: full width
      {720, 480, 96, 64},   // exactly 3:2 belongs to the full-width case
      {480, 640, 48, 64},   // portrait
      {96, 64, 96, 64},
      {1, 1, 64, 64},
      {96, 1, 96, 1},   // the widest picture that keeps a row
      {1, 64, 1, 64},   // the tallest that keeps a column
      {1920, 1080, 96, 54},
      {427, 240, 96, 53},  // 53.96 rows: cut, never rounded up past the shape
      {426, 240, 96, 54},
  };
  for (const Case& c : cases) {
    OutputSize size;
    ASSERT_TRUE(output_size(c.w, c.h, size)) << c.w << "x" << c.h;
    EXPECT_EQ(size.outw, c.outw) << c.w << "x" << c.h;
    EXPECT_EQ(size.outh, c.outh) << c.w << "x" << c.h;
  }
}

// The width stretched by the pixel shape is rounded to the nearest pixel, a
// half upwards; the height is kept; a quarter turn swaps them.
TEST(EncoderSize, DisplayedSizeRoundsTheStretchedWidth) {
  struct Case {
    uint32_t w, h;
    int64_t sar_num, sar_den;
    int quarter;
    uint32_t shown_w, shown_h;
  };
  const Case cases[] = {
      {720, 480, 10, 11, 0, 655, 480},  // 654.55: up, not cut to 654
      {352, 240, 40, 33, 0, 427, 240},  // 426.67
      {720, 480, 32, 27, 0, 853, 480},  // 853.33: down, not up to 854
      {720, 480, 8, 9, 0, 640, 480},    // whole
      {3, 10, 1, 2, 0, 2, 10},          // 1.5: a half goes up
      {5, 10, 1, 2, 0, 3, 10},          // 2.5
      {7, 10, 1, 4, 0, 2, 10},          // 1.75
      {5, 10, 1, 4, 0, 1, 10},          // 1.25
      {1, 10, 1, 3, 0, 1, 10},          // 0.33 is still one pixel
      {720, 480, 10, 11, 1, 480, 655},  // turned: the stretched width stands up
      {720, 480, 0, 1, 0, 720, 480},    // unknown shape: square
      {720, 480, 1, 0, 0, 720, 480},
  };
  for (const Case& c : cases) {
    Turn turn;
    turn.quarter = c.quarter;
    const FrameSize shown = displayed_size(c.w, c.h, c.sar_num, c.sar_den, turn);
    EXPECT_EQ(shown.width, c.shown_w) << c.w << "x" << c.h << " at " << c.sar_num << ":" << c.sar_den;
    EXPECT_EQ(shown.height, c.shown_h) << c.w << "x" << c.h << " at " << c.sar_num << ":" << c.sar_den;
  }
}

TEST(EncoderSize, RejectsSizesWithAnEmptySide) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {0, 480}, {640, 0}, {0, 0},
      {97, 1},     // (1 * 96) / 97 = 0 rows
      {10000, 1},  // very wide
      {1, 65},     // (1 * 64) / 65 = 0 columns
      {1, 10000},  // very tall
  };
  for (auto [w, h] : cases) {
    OutputSize size{7, 9};
    EXPECT_FALSE(output_size(w, h, size)) << w << "x" << h;
    EXPECT_EQ(size.outw, 7u) << "left unchanged";
    EXPECT_EQ(size.outh, 9u) << "left unchanged";
  }
}

TEST(EncoderSize, HugeSizesNeverLeaveTheRaster) {
  // The products wrap in 32 bits; whatever comes out must still fit.
  const uint32_t sides[] = {1, 2, 3, 95, 96, 97, 44739242, 44739243, 44739244, 67108863,
                            67108864, 67108865, 0x7fffffff, 0x80000000, 0xfffffffe, 0xffffffff};
  for (uint32_t w : sides) {
    for (uint32_t h : sides) {
      OutputSize size;
      if (!output_size(w, h, size)) continue;
      EXPECT_GE(size.outw, 1u) << w << "x" << h;
      EXPECT_LE(size.outw, 96u) << w << "x" << h;
      EXPECT_GE(size.outh, 1u) << w << "x" << h;
      EXPECT_LE(size.outh, 64u) << w << "x" << h;
    }
  }
}

// ---- One progress report --------------------------------------------------

TEST(EncoderProgress, ParsesPercentage) {
  struct Case {
    std::string piece;
    int complete;
  };
  const Case cases[] = {
      {kReport, 5},
      {"Pos:   5.4s    135f (95%)  0.00fps Trem:   0min   0mb  A-V:0.000 [131:0]", 95},
      {"Pos:   6.0s    151f (100%)  0.00fps Trem:   0min   0mb  A-V:0.000 [132:0]", 100},
      {"Pos:1.2s 12f (5%)", 5},                     // spacing is free where scanf skips it
      {"Pos:   1.2s     12f ( 5", 5},               // the rest after the number need not match
      {"Pos:   1.2s     12f (+7%)", 7},
      {"Pos:   1.2s     12f (007%)", 7},
      {"Pos: 1e999999s 12f ( 5%)", 5},              // an out-of-range skipped field is harmless
      {"Pos:   1.2s     12f (2147483647%)", INT_MAX},
  };
  for (const Case& c : cases) {
    int complete = -1;
    ASSERT_TRUE(parse_progress(c.piece, complete)) << c.piece;
    EXPECT_EQ(complete, c.complete) << c.piece;
  }
}

TEST(EncoderProgress, RejectsPiecesThatAreNotReports) {
  const std::string cases[] = {
      "",
      "Po",
      "Pos",
      "Pos:",
      "Pos: garbage",
      "Pos:   1.2s     12f (",
      "Pos:   1.2s     12f (%)",
      "Pos:   1.2s     12f ( x%)",
      "Pos:   1.2s     12 ( 5%)",                  // frame count without its "f"
      "Pos:   1.2      12f ( 5%)",                 // seconds without their "s"
      "pos:   1.2s     12f ( 5%)",
      " " + kReport,                               // only the beginning is examined
      "Video stream:  132.500 kbit/s  (16562 B/s)  size: 99375 bytes  6.000 secs  151 frames",
      "Pos:   1.2s     12f (2147483648%)",         // one past INT_MAX
      "Pos:   1.2s     12f (99999999999999999999999999999999%)",
      "Pos:   1.2s     12f (" + std::string(600, '9') + "%)",
      "Pos:" + std::string(520, ' ') + "1.2s 12f ( 5%)",  // beyond the longest piece
  };
  for (const std::string& piece : cases) {
    int complete = -1;
    EXPECT_FALSE(parse_progress(piece, complete)) << piece;
    EXPECT_EQ(complete, -1) << piece;
  }
}

TEST(EncoderProgress, DoesNotReadPastThePiece) {
  // A view into a longer text: the digits after its end are not the piece's.
  std::string text = "Pos:   1.2s     12f ( 5" + std::string("99%)");
  int complete = -1;
  ASSERT_TRUE(parse_progress(std::string_view(text).substr(0, text.size() - 4), complete));
  EXPECT_EQ(complete, 5);
}

// ---- The arguments ---------------------------------------------------------

// The value after `option` in an argument list, or "(none)".
std::string value_of(const std::vector<std::string>& args, const std::string& option) {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == option) return args[i + 1];
  return "(none)";
}

TEST(EncoderArguments, FilterChainTrimAndDemuxer) {
  const struct {
    const char* name;
    TranscodeRequest request;
    std::string vf, ss, endpos, demuxer;
  } cases[] = {
      {"design run", {.size = {96, 54}}, "scale=96:54,format=bgr24,expand=96:64,scale", "(none)", "(none)",
       "(none)"},
      {"crop", {.size = {114, 64}, .crop = true}, "scale=114:64,crop=96:64,format=bgr24,expand=96:64,scale",
       "(none)", "(none)", "(none)"},
      {"stretch", {.size = {96, 64}}, "scale=96:64,format=bgr24,expand=96:64,scale", "(none)", "(none)", "(none)"},
      {"clip end", {.size = {96, 54}, .end_ms = 5000}, "scale=96:54,format=bgr24,expand=96:64,scale", "(none)",
       "5.000", "(none)"},
      {"late clip end", {.size = {96, 54}, .end_ms = 3723501}, "scale=96:54,format=bgr24,expand=96:64,scale",
       "(none)", "3723.501", "(none)"},
      {"transport stream", {.size = {96, 54}, .lavf = true}, "scale=96:54,format=bgr24,expand=96:64,scale",
       "(none)", "(none)", "lavf"},
      // Shown upright first: a quarter turn either way, mirrored, half a turn.
      {"turned clockwise", {.size = {36, 64}, .turn = {1, false, false}},
       "rotate=1,scale=36:64,format=bgr24,expand=96:64,scale", "(none)", "(none)", "(none)"},
      {"turned anticlockwise and mirrored", {.size = {36, 64}, .turn = {3, true, false}},
       "rotate=2,mirror,scale=36:64,format=bgr24,expand=96:64,scale", "(none)", "(none)", "(none)"},
      {"half a turn", {.size = {96, 54}, .turn = {0, true, true}},
       "mirror,flip,scale=96:54,format=bgr24,expand=96:64,scale", "(none)", "(none)", "(none)"},
  };
  for (const auto& c : cases) {
    const std::vector<std::string> args = transcode_arguments(c.request);
    EXPECT_EQ(value_of(args, "-vf"), c.vf) << c.name;
    EXPECT_EQ(value_of(args, "-ofps"), "10") << c.name;
    EXPECT_EQ(value_of(args, "-ss"), c.ss) << c.name;
    EXPECT_EQ(value_of(args, "-endpos"), c.endpos) << c.name;
    EXPECT_EQ(value_of(args, "-demuxer"), c.demuxer) << c.name;
    EXPECT_EQ(value_of(args, "-o"), kTempMovie) << c.name;
  }
  EXPECT_EQ(value_of(probe_arguments(false), "-demuxer"), "(none)");
  EXPECT_EQ(value_of(probe_arguments(true), "-demuxer"), "lavf");
  EXPECT_EQ(value_of(probe_arguments(true), "-frames"), "1");
}

// ---- Reading the transcoding run's output ---------------------------------

TEST(EncoderTranscode, ReportsEveryRecordedReportInOrder) {
  std::string recorded = read_file(kFixture);
  ASSERT_FALSE(recorded.empty()) << kFixture;
  size_t report_count = 0;
  std::vector<int> expected = reports_in(recorded, &report_count);
  ASSERT_EQ(expected.size(), report_count) << "the regex must see every report";
  ASSERT_GT(expected.size(), 100u);  // a 6-second 25 fps movie: one report per frame

  TempDir bin;
  write_stand_in(bin.path(), "cat '" + kFixture + "'");
  PathPrefix path(bin.path());
  Transcoded t = transcode("movie.mp4");
  EXPECT_EQ(t.status, EncoderStatus::Ok);
  EXPECT_EQ(t.reports, expected);
  EXPECT_EQ(t.reports.back(), 100);
}

TEST(EncoderTranscode, EncoderGetsItsArgumentsUnchanged) {
  TempDir bin;
  write_stand_in(bin.path(), "printf '%s\\0' \"$@\" > '" + (bin / "args") + "'");
  PathPrefix path(bin.path());
  const char* movie = "-x my movie;touch pwned$(x) it's \"q\".mp4";
  ASSERT_EQ(transcode(movie, {96, 54}).status, EncoderStatus::Ok);
  std::vector<std::string> expected = transcode_arguments({.size = {96, 54}});
  expected.insert(expected.end(), {"--", movie});
  EXPECT_EQ(split_args(read_file(bin / "args")), expected);
  EXPECT_EQ(folder_names(bin.path()), (std::set<std::string>{"mencoder", "args"}));
}

TEST(EncoderProbe, EncoderGetsItsArgumentsUnchanged) {
  TempDir bin;
  // Standard output must be the null device, standard input too.
  write_stand_in(bin.path(), "printf '%s\\0' \"$@\" > '" + (bin / "args") + "'\n" +
                                 "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1)\n" +
                                 "printf '%s\\n' \"$fds\" > '" + (bin / "fds") + "'");
  PathPrefix path(bin.path());
  TempDir work;
  WorkIn in(work.path());
  const char* movie = "-x my movie;touch pwned$(x) it's \"q\".mp4";
  ASSERT_EQ(run_probe(movie), EncoderStatus::Ok);
  std::vector<std::string> expected = probe_arguments();
  expected.insert(expected.end(), {"--", movie});
  EXPECT_EQ(split_args(read_file(bin / "args")), expected);
  EXPECT_EQ(read_file(bin / "fds"), "/dev/null\n/dev/null\n");
}

namespace {

// How a stand-in encoder behaves, and what the run must make of it.
struct StandIn {
  const char* name;
  std::string script;
  EncoderStatus status = EncoderStatus::Ok;
  std::vector<int> reports;
  int signal = 0;  // the signal that ended it
};

const std::string kR = "printf '%s\\r' '" + kReport + "'\n";
const std::string kSummary = "printf '\\n\\nVideo stream:  1.0 kbit/s  (1 B/s)  size: 1 bytes  1.2 secs  12 frames\\n'\n";

const StandIn kStandIns[] = {
    {"exits 1", kR + "exit 1", EncoderStatus::Failed, {5}},
    {"interrupted", kR + kSummary + "exit 2", EncoderStatus::Failed, {5}},
    {"killed", kR + "kill -TERM $$", EncoderStatus::Killed, {5}, SIGTERM},
    {"silent", "exit 0", EncoderStatus::Ok, {}},
    {"no final separator", "printf '%s' '" + kReport + "'", EncoderStatus::Ok, {5}},
    {"newline separated", "printf '%s\\n%s\\n' '" + kReport + "' 'Pos: 2.0s 20f ( 9%)'",
     EncoderStatus::Ok, {5, 9}},
    {"reports after the summary are ignored",
     kR + kSummary + "printf 'Pos: 2.0s 20f ( 9%%)\\r'\n", EncoderStatus::Ok, {5}},
    // A megabyte after the summary: more than a pipe holds, so the encoder
    // only finishes (and exits 0, not by SIGPIPE) if the output is drained.
    {"floods after the summary",
     kR + kSummary + "head -c 1048576 /dev/zero | tr '\\0' 'x'\n"
                     "i=0; while [ $i -lt 2000 ]; do printf 'Pos: 2.0s 20f ( 9%%)\\r'; i=$((i+1)); done",
     EncoderStatus::Ok, {5}},
    // 2000 pieces of 510 characters each, so the report begins a piece.
    {"floods without separators",
     "head -c 1020000 /dev/zero | tr '\\0' 'x'\n" + kR, EncoderStatus::Ok, {5}},
    // A piece holds at most 510 characters: a report starting right after
    // 510 others begins a piece, one starting after 509 does not.
    {"report after 510 characters", "head -c 510 /dev/zero | tr '\\0' 'x'\n" + kR,
     EncoderStatus::Ok, {5}},
    {"report after 509 characters", "head -c 509 /dev/zero | tr '\\0' 'x'\n" + kR,
     EncoderStatus::Ok, {}},
    {"summary after 510 characters",
     "head -c 510 /dev/zero | tr '\\0' 'x'\nprintf 'Video stream:\\r'\n" + kR, EncoderStatus::Ok, {}},
    {"short summary-like piece", "printf 'Video st\\r'\n" + kR, EncoderStatus::Ok, {5}},
};

}  // namespace

TEST(EncoderTranscode, StandInEncoders) {
  for (const StandIn& s : kStandIns) {
    SCOPED_TRACE(s.name);
    TempDir bin;
    write_stand_in(bin.path(), s.script);
    PathPrefix path(bin.path());
    int fds_before = open_fd_count();
    Transcoded t = transcode("movie.mp4");
    EXPECT_EQ(t.status, s.status);
    EXPECT_EQ(t.signal, s.signal);
    EXPECT_EQ(t.reports, s.reports);
    EXPECT_EQ(open_fd_count(), fds_before) << "file descriptors leaked";
  }
}

TEST(EncoderTranscode, MissingEncoderIsNotFound) {
  TempDir empty;
  WorkIn in(empty.path());
  int fds_before = 0, fds_after = 0;
  Transcoded t;
  EncoderStatus probe_status = EncoderStatus::Ok;
  {
    PathPrefix path(empty.path(), true);
    fds_before = open_fd_count();
    t = transcode("movie.mp4");
    probe_status = run_probe("movie.mp4");
    fds_after = open_fd_count();
  }
  EXPECT_EQ(t.status, EncoderStatus::NotFound);
  EXPECT_EQ(t.signal, 0);
  EXPECT_TRUE(t.reports.empty());
  EXPECT_EQ(probe_status, EncoderStatus::NotFound);
  EXPECT_EQ(fds_after, fds_before) << "file descriptors leaked";
}

TEST(EncoderProbe, StatusOfTheEncoder) {
  struct Case {
    const char* script;
    EncoderStatus status = EncoderStatus::Ok;
    int signal = 0;
  };
  const Case cases[] = {
      {"exit 0", EncoderStatus::Ok},
      {"exit 1", EncoderStatus::Failed},
      {"exit 137", EncoderStatus::Failed},  // a status that looks like a signal's is still a status
      {"kill -TERM $$", EncoderStatus::Killed, SIGTERM},
      {"kill -SEGV $$", EncoderStatus::Killed, SIGSEGV},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    TempDir bin;
    write_stand_in(bin.path(), c.script);
    PathPrefix path(bin.path());
    WorkIn in(bin.path());
    int fds_before = open_fd_count();
    const Transcoded t = probe("movie.mp4");
    EXPECT_EQ(t.status, c.status);
    EXPECT_EQ(t.signal, c.signal);
    EXPECT_EQ(open_fd_count(), fds_before) << "file descriptors leaked";
  }
}

// ---- Real mencoder --------------------------------------------------------

namespace {

// "width,height,rate" of a movie's first video stream, as ffprobe sees it.
std::string stream_shape(const std::string& path) {
  RunResult r = run_program({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                             "stream=width,height,r_frame_rate", "-of", "csv=p=0", path});
  return r.status == 0 ? r.out : "ffprobe failed: " + r.err;
}

void expect_plausible(const std::vector<int>& reports) {
  ASSERT_FALSE(reports.empty());
  for (size_t i = 0; i < reports.size(); ++i) {
    EXPECT_GE(reports[i], 0);
    EXPECT_LE(reports[i], 100);
    if (i > 0) {
      EXPECT_GE(reports[i], reports[i - 1]);
    }
  }
}

}  // namespace

TEST(EncoderRealRun, ProbeThenTranscode) {
  TempDir work;
  ASSERT_TRUE(make_movie(work / "movie.mp4", "testsrc2=size=160x120:rate=25:duration=2",
                         {"-pix_fmt", "yuv420p"}));
  WorkIn in(work.path());

  ASSERT_EQ(run_probe("movie.mp4"), EncoderStatus::Ok);
  ASSERT_TRUE(file_exists(work / kTempMovie));
  EXPECT_EQ(stream_shape(kTempMovie).substr(0, 8), "160,120,");

  OutputSize size;
  ASSERT_TRUE(output_size(160, 120, size));
  Transcoded t = transcode("movie.mp4", size);
  EXPECT_EQ(t.status, EncoderStatus::Ok);
  expect_plausible(t.reports);
  EXPECT_EQ(stream_shape(kTempMovie), "96,64,10/1\n");
}

TEST(EncoderRealRun, PathsReachTheEncoderUnchanged) {
  TempDir work;
  ASSERT_TRUE(make_movie(work / "movie.mp4", "testsrc2=size=160x120:rate=25:duration=1",
                         {"-pix_fmt", "yuv420p"}));
  WorkIn in(work.path());
  const std::string names[] = {
      "my movie.mp4",
      "a;touch pwned$(x).mp4",
      "it's \"quoted\" `touch pwned2`.mp4",
      "-dash.mp4",
      "-o elsewhere.avi",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::filesystem::copy_file("movie.mp4", name);
    ASSERT_EQ(run_probe(name.c_str()), EncoderStatus::Ok);
    EXPECT_EQ(stream_shape(kTempMovie).substr(0, 8), "160,120,");
    Transcoded t = transcode(name.c_str(), {85, 64});
    EXPECT_EQ(t.status, EncoderStatus::Ok);
    expect_plausible(t.reports);
    EXPECT_EQ(stream_shape(kTempMovie), "96,64,10/1\n");
    EXPECT_EQ(folder_names(work.path()), (std::set<std::string>{"movie.mp4", name, kTempMovie}));
    std::filesystem::remove(name);
  }
}

TEST(EncoderRealRun, FailedProbeLeavesNoStaleMovie) {
  TempDir work;
  WorkIn in(work.path());
  std::ofstream(kTempMovie) << "an earlier run's movie";
  EXPECT_EQ(run_probe("no such movie.mp4"), EncoderStatus::Failed);
  EXPECT_FALSE(file_exists(work / kTempMovie));
}

TEST(EncoderRealRun, MissingMovieFailsTheTranscode) {
  TempDir work;
  WorkIn in(work.path());
  Transcoded t = transcode("no such movie.mp4");
  EXPECT_EQ(t.status, EncoderStatus::Failed);
  EXPECT_TRUE(t.reports.empty());
}
