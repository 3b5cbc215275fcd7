// Failed conversions, end to end: the built movdith with a stand-in encoder
// put first on PATH (or with the real mencoder) against missing movies,
// failing and vanishing encoders, broken temporary movies and outputs that
// cannot be written. Each must end with one clear line and status 1, never
// "Success!", and leave the files the run promises to keep.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "raster.h"
#include "test_support.h"
#include "videofile/videofile.h"

namespace {

constexpr uint32_t kCutAfter = 12;  // frames left in the movie truncated in the middle
const std::string kSizes = size_lines(96, 64, 96, 64);

// A folder of broken temporary movies made from the good one, made once;
// the stand-ins copy them from "$BROKEN".
const std::string& broken_dir() {
  static const std::string dir = good_temp_movie() + ".d";
  static const bool made = [] {
    mkdir(dir.c_str(), 0755);
    const std::string good = read_file(good_temp_movie());
    const size_t cut = avi_frame_end(good, kCutAfter - 1);
    EXPECT_GT(cut, 0u);
    write_bytes(dir + "/header_only.avi", good.substr(0, good.find("movi")));
    write_bytes(dir + "/mid_movie.avi", good.substr(0, cut));
    write_bytes(dir + "/not_avi.avi", "RIFF? no, just some text\n");
    write_bytes(dir + "/longer_no_index.avi",
                patched_good_movie({{"avih", kAvihTotalFrames, 45}, {"strh", kStrhLength, 45}}, true));
    write_bytes(dir + "/zero_width.avi", patched_good_movie({{"avih", kAvihWidth, 0}, {"strf", kBihWidth, 0}}));
    write_bytes(dir + "/zero_height.avi", patched_good_movie({{"avih", kAvihHeight, 0}, {"strf", kBihHeight, 0}}));
    return make_movie(dir + "/too_wide.avi", "color=gray:size=1000x2:rate=10:duration=1",
                      {"-c:v", "rawvideo", "-pix_fmt", "bgr24"});
  }();
  EXPECT_TRUE(made);
  return dir;
}

std::string writes(const std::string& name) { return "cp \"$BROKEN/" + name + "\" movdithtemp.avi"; }

std::string standin(const TempDir& dir, const std::string& probe, const std::string& transcode) {
  return write_standin_encoder(dir / "bin", probe, transcode, "BROKEN='" + broken_dir() + "'");
}

// ---- Failing encoders and broken temporary movies ----

struct FaultCase {
  const char* name;
  std::string probe, transcode;  // stand-in steps
  std::string out;               // the whole console text
  bool temp_movie;               // movdithtemp.avi is left
  int records;                   // records in the partial output, -1 for no output file
  std::string err;               // what the terminal is told after the run
};

// The notes of the failures that leave a cause to tell.
const std::string kTempMovieNote =
    "movdith: the temporary movie mencoder wrote cannot be read (error.txt has what mencoder said); add "
    "--engine=builtin to convert without it\n";
const std::string kProbeFailedNote =
    "movdith: mencoder could not read the movie (error.txt has what it said); add --engine=builtin to convert it "
    "with FFmpeg's libraries instead\n";

// A file left after a failure claims exactly the whole records it holds.
void expect_consistent(const std::string& video, size_t record_size, int records) {
  ASSERT_GE(video.size(), size_t{kHeaderBytes});
  EXPECT_EQ((video.size() - kHeaderBytes) % record_size, 0u) << "a cut record is left";
  EXPECT_EQ(video.size(), kHeaderBytes + size_t(records) * record_size);
  EXPECT_EQ(header_count(video), uint32_t(records));
}

class FailureEncoderRun : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FailureEncoderRun, EndsWithOneLineAndKeepsItsFiles) {
  const FaultCase& c = GetParam();
  TempDir dir;
  // A movie that mencoder and libavformat can read, so that the fault is the
  // stand-in's alone.
  write_bytes(dir / "in.mp4", read_file(good_temp_movie()));
  const RunResult r = run_program({MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(), standin(dir, c.probe, c.transcode));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, c.out) << r.out;
  EXPECT_EQ(r.err, c.err);
  EXPECT_TRUE(file_exists(dir / "error.txt"));
  EXPECT_EQ(file_exists(dir / "movdithtemp.avi"), c.temp_movie);
  if (c.records < 0) {
    EXPECT_FALSE(file_exists(dir / "out.8xx"));
  } else {
    expect_consistent(read_file(dir / "out.8xx"), kPlaneBytes, c.records);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailureEncoderRun,
    ::testing::Values(
        // The probe writes nothing: the movie cannot be read by the encoder.
        FaultCase{"ProbeFails", "echo 'cannot read the movie' >&2; exit 1", kCopyGood, "Open error\n", false, -1,
                  kProbeFailedNote},
        FaultCase{"ProbeKilled", "kill -KILL $$", kCopyGood, "Open error\n", false, -1,
                  "movdith: mencoder was ended by signal 9 (Killed) while it read the movie; add --engine=builtin to "
                  "convert without it\n"},
        FaultCase{"ProbeWritesNoAvi", writes("not_avi.avi"), kCopyGood, "Open error\n", true, -1, kTempMovieNote},
        FaultCase{"ProbeZeroWidth", writes("zero_width.avi"), kCopyGood, "Info error\n", true, -1, kTempMovieNote},
        FaultCase{"ProbeZeroHeight", writes("zero_height.avi"), kCopyGood, "Info error\n", true, -1, kTempMovieNote},
        FaultCase{"ProbeTooWide", writes("too_wide.avi"), kCopyGood,
                  "In Width: 1000\nIn Height: 2\nSize error: the picture cannot be fitted to 96 x 64\n", true, -1, ""},
        FaultCase{"TranscodeExitsNonZero", kCopyGood, "echo 'mencoder: codec failed' >&2; exit 3",
                  kSizes + kWaitLine + "\nEncoder error: mencoder failed (see error.txt)\n", true, -1, ""},
        FaultCase{"TranscodeWritesThenFails", kCopyGood,
                  "printf 'Pos:   1.2s     12f ( 5%%)  0.00fps Trem:   0min   0mb  A-V:0.000 [0:0]\\r'; exit 1",
                  kSizes + kWaitLine + "Phase 1: 5%\r\nEncoder error: mencoder failed (see error.txt)\n", true, -1, ""},
        FaultCase{"TranscodeKilled", kCopyGood, "kill -KILL $$",
                  kSizes + kWaitLine + "\nEncoder error: mencoder was killed by a signal (see error.txt)\n", true, -1,
                  "movdith: mencoder was ended by signal 9 (Killed); add --engine=builtin to convert without it\n"},
        FaultCase{"TranscodeCrashes", kCopyGood, "kill -SEGV $$",
                  kSizes + kWaitLine + "\nEncoder error: mencoder was killed by a signal (see error.txt)\n", true, -1,
                  "movdith: mencoder was ended by signal 11 (Segmentation fault); add --engine=builtin to convert "
                  "without it\n"},
        FaultCase{"TranscodeLeavesEmptyFile", kCopyGood, ": > movdithtemp.avi", kSizes + kWaitLine + "\nOpen error\n",
                  true, -1, kTempMovieNote},
        FaultCase{"TranscodeLeavesHeaderOnly", kCopyGood, writes("header_only.avi"),
                  kSizes + kWaitLine + "\nOpen error\n", true, -1, kTempMovieNote},
        FaultCase{"TranscodeZeroWidth", kCopyGood, writes("zero_width.avi"),
                  kSizes + kWaitLine + "Phase 1: 100%\nInfo error\n", true, -1, kTempMovieNote},
        // Frames run out before the length the movie claims: the records
        // written so far stay, under a count of them.
        FaultCase{"TranscodeTruncatedMidMovie", kCopyGood, writes("mid_movie.avi"),
                  kSizes + kWaitLine + loop_text(kGoodMovieFrames, kCutAfter, "nomoreframes\n"), true, kCutAfter, ""},
        FaultCase{"HeaderClaimsMoreFramesNoIndex", kCopyGood, writes("longer_no_index.avi"),
                  kSizes + kWaitLine + loop_text(45, kGoodMovieFrames, "nomoreframes\n"), true, kGoodMovieFrames, ""}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// An encoder that cannot be started at all: the console keeps its terse
// line, error.txt and the terminal say why and what to do.
struct UnstartableCase {
  const char* name;
  const char* mencoder;  // the file named mencoder in the only folder on PATH, or nullptr for none
  std::string error_file, terminal;
};

class FailureEncoderStart : public ::testing::TestWithParam<UnstartableCase> {};

TEST_P(FailureEncoderStart, SaysErrorPipeAndTellsTheTerminalWhy) {
  const UnstartableCase& c = GetParam();
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "in.mp4", "testsrc2=size=320x240:rate=25:duration=1"));
  mkdir((dir / "bin").c_str(), 0755);
  if (c.mencoder) {
    write_bytes(dir / "bin/mencoder", c.mencoder);
    chmod((dir / "bin/mencoder").c_str(), 0644);
  }
  const Launch launch{{MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(), dir / "bin", true};
  const RunResult r = run_program(launch);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error pipe\n");
  EXPECT_EQ(r.err, c.terminal);
  EXPECT_EQ(read_file(dir / "error.txt"), c.error_file);
  EXPECT_FALSE(file_exists(dir / "movdithtemp.avi"));
  EXPECT_FALSE(file_exists(dir / "out.8xx"));
  // On one terminal the note comes after the line it explains.
  const Background both = start_program(launch, dir / "both.txt");
  int wstatus = 0;
  ASSERT_TRUE(finish(both, wstatus));
  EXPECT_EQ(read_file(dir / "both.txt"), "Error pipe\n" + c.terminal);
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, FailureEncoderStart,
    ::testing::Values(
        UnstartableCase{"MissingFromPath", nullptr,
                        "mencoder could not be started: is it installed (apt-get install mencoder) and on PATH?\n",
                        "movdith: mencoder is not installed (it is not on PATH): install it with apt-get install "
                        "mencoder, or add --engine=builtin to convert without it\n"},
        UnstartableCase{"NotExecutable", "#!/bin/sh\nexit 0\n",
                        "mencoder could not be started: it is on PATH, but it cannot be run, or no process or pipe is "
                        "left for it\n",
                        "movdith: mencoder could not be started (see error.txt); add --engine=builtin to convert "
                        "without it\n"}),
    [](const ::testing::TestParamInfo<UnstartableCase>& info) { return info.param.name; });

// The encoder's complaint is what error.txt is kept for.
TEST(FailureEncoder, FailingEncoderMessageStaysInErrorFile) {
  TempDir dir;
  const RunResult r = run_program({MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(),
                                  standin(dir, kCopyGood, "echo 'mencoder: codec failed' >&2; exit 3"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(dir / "error.txt"), "mencoder: codec failed\n");
}

// Movies the real mencoder cannot read: the console says "Open error" as it
// always did; the terminal is told what is wrong with the movie.
struct MovieCase {
  const char* name;
  void (*make)(const TempDir& dir);  // writes dir/in.mp4, or nothing for a missing movie
  std::string err;
};

class FailureMovieUnread : public ::testing::TestWithParam<MovieCase> {};

TEST_P(FailureMovieUnread, IsAnOpenErrorAndTheTerminalIsToldWhy) {
  const MovieCase& c = GetParam();
  TempDir dir;
  if (c.make) c.make(dir);
  const RunResult r = run_program({MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path());
  EXPECT_EQ(r.out, "Open error\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, c.err);
  EXPECT_TRUE(file_exists(dir / "error.txt"));  // the encoder's complaint is kept for the user
  EXPECT_FALSE(file_exists(dir / "out.8xx"));
}

INSTANTIATE_TEST_SUITE_P(
    Movies, FailureMovieUnread,
    ::testing::Values(
        MovieCase{"Missing", nullptr, "movdith: cannot open the movie: No such file or directory\n"},
        MovieCase{"Folder", [](const TempDir& d) { mkdir((d / "in.mp4").c_str(), 0755); },
                  "movdith: neither mencoder nor FFmpeg's libraries can read the movie (error.txt has what they "
                  "said)\n"},
        MovieCase{"NotAMovie", [](const TempDir& d) { write_bytes(d / "in.mp4", "This is not a movie.\n"); },
                  "movdith: neither mencoder nor FFmpeg's libraries can read the movie (error.txt has what they "
                  "said)\n"},
        MovieCase{"SoundOnly",
                  [](const TempDir& d) { ASSERT_TRUE(make_movie(d / "in.mp4", "sine=duration=1", {"-c:a", "aac"})); },
                  "movdith: the file has no video\n"}),
    [](const ::testing::TestParamInfo<MovieCase>& info) { return info.param.name; });

// The encoders write to error.txt alone: the terminal's standard error,
// kept for the notes, is never theirs (the stand-in lists what it holds).
TEST(FailureEncoder, EncoderNeverHoldsTheTerminal) {
  TempDir dir;
  write_bytes(dir / "in.mp4", read_file(good_temp_movie()));
  const RunResult r = run_program({MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(),
                                  write_standin_encoder(dir / "bin", "ls -l /proc/$$/fd > fds.txt; exit 1"));
  EXPECT_EQ(r.out, "Open error\n");
  const std::string fds = read_file(dir / "fds.txt");
  EXPECT_NE(fds.find(" 2 -> " + dir.path() + "/error.txt\n"), std::string::npos) << fds;
  // run_program captures the run's standard error in /tmp/movdith_err_*.
  EXPECT_EQ(fds.find("movdith_err_"), std::string::npos) << fds;
}

// No place for the working files: whatever fails after that, the folder is
// the cause (a folder where error.txt should go stands for a folder the user
// may not write in, which root, running the tests, always may).
TEST(FailureFolder, UnwritableWorkingFileIsTheCauseTold) {
  TempDir dir;
  write_bytes(dir / "in.mp4", read_file(good_temp_movie()));
  mkdir((dir / "error.txt").c_str(), 0755);
  const RunResult r = run_program({MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(),
                                  write_standin_encoder(dir / "bin", "exit 1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Open error\n");
  EXPECT_EQ(r.err,
            "movdith: the current folder cannot hold the working files (error.txt: Is a directory); run movdith in a "
            "folder you can write to, or add --engine=builtin, which needs no working files\n");
}

TEST(FailureMovie, StaleTemporaryMovieIsNeverConverted) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "movdithtemp.avi", "testsrc2=size=96x64:rate=10:duration=1", {"-c:v", "ffv1"}));
  const RunResult r = run_program({MOVDITH_BIN, "missing.mp4", "out.8xx"}, dir.path());
  EXPECT_EQ(r.out, "Open error\n");
  EXPECT_EQ(r.status, 1);
}

TEST(FailureMovie, MovieBelowOneFramePerSecondIsRefused) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "slow.avi", "color=gray:size=96x64:rate=1/2",
                         {"-frames:v", "3", "-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
  const RunResult r = run_program({MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(),
                                  write_standin_encoder(dir / "bin", "cp '" + (dir / "slow.avi") + "' movdithtemp.avi"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(last_line(r.out), "Frame Rate error: the movie has no usable frame rate") << r.out;
  EXPECT_FALSE(file_exists(dir / "out.8xx"));
}

// ---- Outputs that cannot be made or written ----

struct OutputFailure {
  const char* name;
  const char* engine;  // the --engine option, or nullptr for the default
  const char* outpath;
  const char* line;
  std::string err;  // what the terminal is told
};

class FailureOutput : public ::testing::TestWithParam<OutputFailure> {};

TEST_P(FailureOutput, EndsWithOneLineAndKeepsTemporaryFiles) {
  const OutputFailure& f = GetParam();
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "in.mp4", "testsrc2=size=320x240:rate=25:duration=1"));
  std::vector<std::string> argv = {MOVDITH_BIN, "in.mp4", f.outpath};
  if (f.engine) argv.push_back(f.engine);
  const RunResult r = run_program(argv, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("Success!"), std::string::npos);
  EXPECT_EQ(last_line(r.out), f.line) << r.out;
  EXPECT_EQ(r.err, f.err);
  // The working files are the mencoder engine's alone.
  EXPECT_EQ(file_exists(dir / "movdithtemp.avi"), !f.engine);
  EXPECT_EQ(file_exists(dir / "error.txt"), !f.engine);
}

const std::string kNoFolderNote = "movdith: cannot create the output file: No such file or directory\n";
constexpr const char* kDeviceLine =
    "Output error: the built-in engine writes the frame count last, so the output must be a file, not a pipe or a "
    "device";

INSTANTIATE_TEST_SUITE_P(
    Outputs, FailureOutput,
    ::testing::Values(
        OutputFailure{"MissingFolder", nullptr, "no/such/folder/out.8xx",
                      "Output error: the output file could not be created", kNoFolderNote},
        OutputFailure{"FullDisk", nullptr, "/dev/full", "Write error: the output file could not be written",
                      "movdith: cannot write the output file: No space left on device\n"},
        OutputFailure{"MissingFolderBuiltin", "--engine=builtin", "no/such/folder/out.8xx",
                      "Output error: the output file could not be created", kNoFolderNote},
        OutputFailure{"FolderBuiltin", "--engine=builtin", ".", "Output error: the output file could not be created",
                      "movdith: cannot create the output file: Is a directory\n"},
        OutputFailure{"FullDiskBuiltin", "--engine=builtin", "/dev/full", kDeviceLine, ""}),
    [](const ::testing::TestParamInfo<OutputFailure>& info) { return info.param.name; });

// A full disk in the frame loop: the file size limit stops the output (and
// only the output: the stand-in lifts it for itself) in the middle of a
// record. The file keeps its whole records under a count of them.
TEST(FailureOutput, FullDiskInTheLoopLeavesAConsistentFile) {
  TempDir dir;
  const std::string bin =
      write_standin_encoder(dir / "bin", "ulimit -S -f unlimited\n" + kCopyGood);
  // bash counts the limit in KiB: 10240 bytes hold the header and 13 records
  // and cut the 14th.
  const RunResult r = run_program(Launch{{"bash", "-c", "trap '' XFSZ; ulimit -S -f 10; exec \"$0\" in.mp4 out.8xx",
                                          MOVDITH_BIN},
                                         dir.path(), bin, false});
  EXPECT_EQ(r.status, 1);
  // Which record's write reports the failure depends on the output buffer;
  // the file itself must not.
  const std::string tail = "%\r\nWrite error: the output file could not be written\n";
  EXPECT_TRUE(r.out.size() > tail.size() && r.out.compare(r.out.size() - tail.size(), tail.size(), tail) == 0)
      << r.out;
  expect_consistent(read_file(dir / "out.8xx"), kPlaneBytes, 13);
  EXPECT_EQ(r.err, "movdith: cannot write the output file: File too large\n");
}

// ---- Outputs that would destroy data: refused before anything is touched ----

struct PathCase {
  const char* name;
  std::string outpath;
  std::string line;                     // the mencoder engine's refusal
  bool builtin_refuses;                 // the built-in engine refuses it too (it has no working files)
  void (*prepare)(const TempDir& dir);  // links and files the case needs
  std::string written;                  // where the built-in engine's output lands when it is not refused
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

const std::string kIsMovie = "Output error: the output file is the movie itself; choose another name";
std::string is_working(const std::string& name) {
  return "Output error: the output file would be this run's working file " + name + "; choose another name";
}

// Each case with each engine: an output that is the movie is refused by
// both; the working files' names are the mencoder engine's alone.
class FailureOutputPath : public ::testing::TestWithParam<std::tuple<PathCase, const char*>> {};

TEST_P(FailureOutputPath, IsRefusedAndNothingIsTouched) {
  const auto& [c, engine] = GetParam();
  const bool builtin = std::string(engine) == "--engine=builtin";
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "m.mp4", "testsrc2=size=96x64:rate=10:duration=1"));
  mkdir((dir / "sub").c_str(), 0755);
  write_bytes(dir / "error.txt", "an earlier run's log\n");
  if (c.prepare) c.prepare(dir);
  const std::string bin = write_standin_encoder(dir / "bin", kCopyGood);
  const std::string movie = read_file(dir / "m.mp4");
  const std::set<std::string> before = folder_names(dir.path());
  const RunResult r = run_program({MOVDITH_BIN, "m.mp4", c.outpath, engine}, dir.path(), bin);
  EXPECT_TRUE(read_file(dir / "m.mp4") == movie) << "the movie was changed";
  EXPECT_EQ(r.err, "");
  if (builtin && !c.builtin_refuses) {
    // A name like any other: the video goes there, and nothing else is made.
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(last_line(r.out), "Success!");
    const std::string video = read_file(dir / c.written);
    EXPECT_EQ(header_count(video), 10u);
    EXPECT_EQ(video.size(), kHeaderBytes + 10 * size_t{kPlaneBytes});
    std::set<std::string> after = before;
    after.insert(c.written);
    EXPECT_EQ(folder_names(dir.path()), after);
    return;
  }
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, c.line + "\n");
  EXPECT_EQ(read_file(dir / "error.txt"), "an earlier run's log\n");
  EXPECT_EQ(folder_names(dir.path()), before);
}

void hard_link_to_movie(const TempDir& d) { ASSERT_EQ(link((d / "m.mp4").c_str(), (d / "link.8xx").c_str()), 0); }
void symlink_to_movie(const TempDir& d) { ASSERT_EQ(symlink("m.mp4", (d / "sym.8xx").c_str()), 0); }
void link_to_temp_movie(const TempDir& d) { ASSERT_EQ(symlink("movdithtemp.avi", (d / "x.8xx").c_str()), 0); }

INSTANTIATE_TEST_SUITE_P(
    Paths, FailureOutputPath,
    ::testing::Combine(
        ::testing::Values(
            PathCase{"MovieItself", "m.mp4", kIsMovie, true, nullptr, ""},
            PathCase{"MovieByAnotherName", "./sub/../m.mp4", kIsMovie, true, nullptr, ""},
            PathCase{"HardLinkToMovie", "link.8xx", kIsMovie, true, hard_link_to_movie, ""},
            PathCase{"SymlinkToMovie", "sym.8xx", kIsMovie, true, symlink_to_movie, ""},
            PathCase{"ErrorFile", "error.txt", is_working("error.txt"), false, nullptr, "error.txt"},
            PathCase{"ErrorFileThroughAFolder", "sub/../error.txt", is_working("error.txt"), false, nullptr,
                     "error.txt"},
            PathCase{"TemporaryMovie", "movdithtemp.avi", is_working("movdithtemp.avi"), false, nullptr,
                     "movdithtemp.avi"},
            PathCase{"LinkToWhereTheTemporaryMovieGoes", "x.8xx", is_working("movdithtemp.avi"), false,
                     link_to_temp_movie, "movdithtemp.avi"}),
        ::testing::Values("--engine=mencoder", "--engine=builtin")),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::string(std::get<1>(info.param)) == "--engine=builtin" ? "Builtin" : "Mencoder");
    });

// The working files' names elsewhere are just names.
TEST(FailureOutputPath, WorkingFileNamesInAnotherFolderAreFine) {
  TempDir dir;
  mkdir((dir / "sub").c_str(), 0755);
  for (const char* name : {"sub/error.txt", "sub/movdithtemp.avi"}) {
    const RunResult r =
        run_program({MOVDITH_BIN, "in.mp4", name}, dir.path(), write_standin_encoder(dir / "bin", kCopyGood));
    EXPECT_EQ(r.status, 0) << name << "\n" << r.out;
    EXPECT_EQ(header_count(read_file(dir / name)), kGoodMovieFrames) << name;
  }
}

// ---- Hostile and unusual movies through the built-in engine ----

struct BuiltinCase {
  const char* name;
  void (*make)(const TempDir& dir);  // writes dir/in.mp4, or nothing for a missing movie
  std::vector<std::string> options;
  std::string line;
};

void write_text(const TempDir& d) { write_bytes(d / "in.mp4", "This is not a movie.\n"); }
void write_sound(const TempDir& d) { ASSERT_TRUE(make_movie(d / "in.mp4", "sine=duration=1", {"-c:a", "aac"})); }
void write_short(const TempDir& d) { ASSERT_TRUE(make_movie(d / "in.mp4", "testsrc2=size=160x120:rate=10:duration=2")); }
// A raw movie whose header claims 16000 x 16000 pictures: 384 MB each, which
// must be refused before anything is allocated for it.
void write_huge(const TempDir& d) {
  write_bytes(d / "in.mp4", "YUV4MPEG2 W16000 H16000 F10:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(100000, '\0'));
}

class FailureBuiltin : public ::testing::TestWithParam<BuiltinCase> {};

TEST_P(FailureBuiltin, OneLineAndNothingWritten) {
  const BuiltinCase& c = GetParam();
  TempDir dir;
  if (c.make) c.make(dir);
  const std::set<std::string> before = folder_names(dir.path());
  std::vector<std::string> argv = {MOVDITH_BIN, "in.mp4", "out.8xx", "--engine=builtin"};
  argv.insert(argv.end(), c.options.begin(), c.options.end());
  const RunResult r = run_program(argv, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, c.line + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(folder_names(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Movies, FailureBuiltin,
    ::testing::Values(
        BuiltinCase{"Missing", nullptr, {}, "Open error: cannot open the movie: No such file or directory"},
        BuiltinCase{"NotAMovie", write_text, {}, "Open error: cannot open the movie: Invalid data found when processing input"},
        BuiltinCase{"SoundOnly", write_sound, {}, "Stream error: the file has no video"},
        BuiltinCase{"HugePictures", write_huge, {},
                    "Size error: the picture, 16000 x 16000, is larger than allowed (8192 pixels a side, 40 million in all)"},
        BuiltinCase{"StartPastTheEnd", write_short, {"--start=5"}, "Start error: the clip starts after the movie's end"}),
    [](const ::testing::TestParamInfo<BuiltinCase>& info) { return info.param.name; });

// The count is written last, so the output must be a file it can go back to.
// The test holds the pipe's reading end itself, opened without waiting for a
// writer, so the run never waits for a reader and the test never waits for
// a writer, whether or not the run opens the pipe. The whole movie's records
// (15 KB) fit in the pipe, so even a run that wrongly wrote them would not
// block.
TEST(FailureBuiltin, PipeOutputIsRefused) {
  TempDir dir;
  write_short(dir);
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  const int reader = open((dir / "pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const RunResult r = run_program({MOVDITH_BIN, "in.mp4", "pipe", "--engine=builtin"}, dir.path());
  char byte;
  const ssize_t got = read(reader, &byte, 1);
  close(reader);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, size_lines(160, 120, 85, 64) +
                       "Output error: the built-in engine writes the frame count last, so the output must be a file, "
                       "not a pipe or a device\n");
  EXPECT_EQ(got, 0) << "something was written into the pipe";
}

// Damage in the middle: the engine goes on, says so on standard error, and the
// file has every frame.
TEST(FailureBuiltin, DamageMidMovieIsReportedAndPassedOver) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "in.ts", "testsrc2=size=320x240:rate=25:duration=4",
                         {"-c:v", "mpeg2video", "-q:v", "4"}));
  std::string ts = read_file(dir / "in.ts");
  for (size_t at = ts.size() / 2; at < ts.size() / 2 + 6000; ++at) ts[at] = static_cast<char>(at * 7);
  write_bytes(dir / "in.ts", ts);
  const RunResult r = run_program({MOVDITH_BIN, "in.ts", "out.8xx", "--engine=builtin"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(last_line(r.out), "Success!");
  EXPECT_EQ(r.err.rfind("Built-in decoder: ", 0), 0u) << r.err;
  const std::string video = read_file(dir / "out.8xx");
  EXPECT_GE(header_count(video), 39u);
  EXPECT_EQ(video.size(), kHeaderBytes + header_count(video) * size_t{kPlaneBytes});
}

}  // namespace
