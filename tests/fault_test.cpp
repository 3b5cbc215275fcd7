// Fault tests of the whole run: the real movdith with a stand-in encoder put
// first on PATH (or with the real mencoder), against broken temporary movies,
// failing and vanishing encoders, hostile movie names and stop signals. Each
// failure must end with one clear line and status 1 (or, for a stop signal,
// with the signal itself), and leave the files the run promises to keep.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "raster.h"
#include "test_support.h"
#include "videofile/videofile.h"

namespace {

constexpr uint32_t kFixtureFrames = 30;  // the good temporary movie: 3 s at 10 frames per second

// A temporary movie as the real encoder writes it (96 x 64, 10 frames per
// second, MS-MPEG4 v2), made once for the whole program.
const std::string& good_avi() {
  static TempDir dir;
  static std::string path = dir / "good.avi";
  static bool made = make_movie(path, "testsrc2=size=96x64:rate=10:duration=3", {"-c:v", "msmpeg4v2"});
  EXPECT_TRUE(made);
  return path;
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// One 32-bit field of an AVI header chunk, by its offset in the chunk's data.
struct Patch {
  const char* chunk;  // "avih", "strh" or "strf"
  size_t offset;
  uint32_t value;
};

// Field offsets in the chunks' data: the main header, the stream header and
// the stream's BITMAPINFOHEADER.
constexpr size_t kAvihMicroSecPerFrame = 0, kAvihTotalFrames = 16, kAvihWidth = 32, kAvihHeight = 36;
constexpr size_t kStrhScale = 20, kStrhRate = 24, kStrhLength = 32;
constexpr size_t kBihWidth = 4, kBihHeight = 8;

// The good movie with `patches` applied; cut before its index when asked.
std::string patched_avi(const std::vector<Patch>& patches, bool cut_index = false) {
  std::string avi = read_file(good_avi());
  for (const Patch& p : patches) {
    size_t at = avi.find(p.chunk);
    EXPECT_NE(at, std::string::npos) << p.chunk;
    if (at == std::string::npos) continue;
    for (int i = 0; i < 4; ++i) avi[at + 8 + p.offset + i] = static_cast<char>(p.value >> (8 * i));
  }
  if (cut_index) {
    size_t at = avi.find("idx1");
    EXPECT_NE(at, std::string::npos);
    avi.resize(at);
  }
  return avi;
}

// Writes `dir`/bin/mencoder: on the probe run (the one asked for a single
// frame) it runs `probe`, on the transcoding run `transcode`. Both run in
// movdith's working folder, with $GOOD naming the good temporary movie.
std::string standin(const TempDir& dir, const std::string& probe, const std::string& transcode) {
  std::string bin = dir / "bin";
  mkdir(bin.c_str(), 0755);
  std::string script = bin + "/mencoder";
  std::ofstream(script) << "#!/bin/sh\nGOOD='" << good_avi() << "'\n"
                        << "case \" $* \" in\n*\" -frames 1 \"*)\n" << probe << "\n;;\n*)\n" << transcode
                        << "\n;;\nesac\n";
  chmod(script.c_str(), 0755);
  return bin;
}

const std::string kCopyGood = "cp \"$GOOD\" movdithtemp.avi";

uint32_t header_count(const std::string& video) {
  if (video.size() < kHeaderBytes) return 0;
  auto byte = [&](int i) { return uint32_t{static_cast<uint8_t>(video[i])}; };
  return byte(15) | byte(16) << 8 | byte(17) << 16 | byte(18) << 24;
}

// The last line of `out`, after the last carriage return or newline before
// its closing newline; empty if `out` does not end with a newline.
std::string last_line(const std::string& out) {
  if (out.empty() || out.back() != '\n') return "";
  std::string body = out.substr(0, out.size() - 1);
  size_t start = body.find_last_of("\r\n");
  return start == std::string::npos ? body : body.substr(start + 1);
}

std::set<std::string> folder_names(const std::string& path) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) names.insert(entry.path().filename());
  return names;
}

// ---------------------------------------------------------------------------
// Failing encoders and broken temporary movies.

struct FaultCase {
  const char* name;
  std::string probe, transcode;  // stand-in bodies
  std::string out;               // the whole console text
  bool temp_movie;               // movdithtemp.avi is left
  int records;                   // records in the partial output, -1 for no output file
  uint32_t header;               // the partial output's frame count
};

const std::string kSizes = "In Width: 96\nIn Height: 64\nOut Width: 96\nOut Height: 64\n";
const std::string kWait = "Please Wait, this may take a few minutes...\n";
constexpr uint32_t kCutAfter = 12;  // frames left in the movie truncated in the middle

// The end of frame `n`'s chunk in the good movie, from its index: entries
// of 16 bytes (id, flags, offset from the "movi" list's type, size).
size_t frame_end(const std::string& avi, uint32_t n) {
  size_t movi = avi.find("movi");
  size_t idx = avi.find("idx1");
  if (movi == std::string::npos || idx == std::string::npos) return 0;
  auto u32 = [&](size_t at) {
    return uint32_t{uint8_t(avi[at])} | uint32_t{uint8_t(avi[at + 1])} << 8 | uint32_t{uint8_t(avi[at + 2])} << 16 |
           uint32_t{uint8_t(avi[at + 3])} << 24;
  };
  size_t entry = idx + 8 + 16 * size_t(n);
  if (entry + 16 > avi.size()) return 0;
  return movi + u32(entry + 8) + 8 + u32(entry + 12);
}

// A folder of broken temporary movies made from the good one, made once;
// the stand-ins copy them from "$GOOD.d".
const std::string& broken_dir() {
  static std::string dir = good_avi() + ".d";
  static bool made = [] {
    mkdir(dir.c_str(), 0755);
    const std::string good = read_file(good_avi());
    size_t cut = frame_end(good, kCutAfter - 1);
    EXPECT_GT(cut, 0u);
    write_bytes(dir + "/header_only.avi", good.substr(0, good.find("movi")));
    write_bytes(dir + "/mid_movie.avi", good.substr(0, cut));
    write_bytes(dir + "/not_avi.avi", "RIFF? no, just some text\n");
    write_bytes(dir + "/longer_no_index.avi",
                patched_avi({{"avih", kAvihTotalFrames, 45}, {"strh", kStrhLength, 45}}, true));
    write_bytes(dir + "/zero_width.avi", patched_avi({{"avih", kAvihWidth, 0}, {"strf", kBihWidth, 0}}));
    write_bytes(dir + "/zero_height.avi", patched_avi({{"avih", kAvihHeight, 0}, {"strf", kBihHeight, 0}}));
    return make_movie(dir + "/too_wide.avi", "color=gray:size=1000x2:rate=10:duration=1",
                      {"-c:v", "rawvideo", "-pix_fmt", "bgr24"});
  }();
  EXPECT_TRUE(made);
  return dir;
}

std::string writes(const std::string& name) { return "cp \"$GOOD.d/" + name + "\" movdithtemp.avi"; }

class FaultRun : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultRun, EndsWithOneLineAndKeepsItsFiles) {
  const FaultCase& c = GetParam();
  TempDir dir;
  broken_dir();
  std::string bin = standin(dir, c.probe, c.transcode);
  RunResult r = run_program({MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(), bin);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, c.out) << r.out;
  EXPECT_EQ(r.out.find("Success!"), std::string::npos);
  EXPECT_TRUE(file_exists(dir / "error.txt"));
  EXPECT_EQ(file_exists(dir / "movdithtemp.avi"), c.temp_movie);
  if (c.records < 0) {
    EXPECT_FALSE(file_exists(dir / "out.8xx"));
  } else {
    std::string video = read_file(dir / "out.8xx");
    EXPECT_EQ(video.size(), kHeaderBytes + size_t(c.records) * kPlaneBytes);
    EXPECT_EQ(header_count(video), c.header);
  }
}

// The console text of a run that fails in the frame loop after `n` records
// of a 10 frames-per-second movie `length` frames long.
std::string loop_tail(uint32_t length, uint32_t n, const std::string& line) {
  char text[96];
  std::snprintf(text, sizeof text, "Phase 1: 100%%\nFrame Rate = 10.00 hz\nLength = %0.0f seconds\n", length / 10.0);
  std::string out = kSizes + kWait + text;
  for (uint32_t i = 0; i < n; ++i) {
    std::snprintf(text, sizeof text, "Phase 2: %u%%\r", 100 * i / length);
    out += text;
  }
  return out + line + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Fault, FaultRun,
    ::testing::Values(
        // The probe writes nothing: the movie cannot be read by the encoder.
        FaultCase{"ProbeFails", "echo 'cannot read the movie' >&2; exit 1", kCopyGood, "Open error\n", false, -1, 0},
        FaultCase{"ProbeKilled", "kill -KILL $$", kCopyGood, "Open error\n", false, -1, 0},
        FaultCase{"ProbeWritesNoAvi", writes("not_avi.avi"), kCopyGood, "Open error\n", true, -1, 0},
        FaultCase{"ProbeZeroWidth", writes("zero_width.avi"), kCopyGood, "Info error\n", true, -1, 0},
        FaultCase{"ProbeZeroHeight", writes("zero_height.avi"), kCopyGood, "Info error\n", true, -1, 0},
        FaultCase{"ProbeTooWide", writes("too_wide.avi"), kCopyGood,
                  "In Width: 1000\nIn Height: 2\nSize error: the picture cannot be fitted to 96 x 64\n", true, -1, 0},
        FaultCase{"TranscodeExitsNonZero", kCopyGood, "echo 'mencoder: codec failed' >&2; exit 3",
                  kSizes + kWait + "\nEncoder error: mencoder failed (see error.txt)\n", true, -1, 0},
        FaultCase{"TranscodeWritesThenFails", kCopyGood,
                  "printf 'Pos:   1.2s     12f ( 5%%)  0.00fps Trem:   0min   0mb  A-V:0.000 [0:0]\\r'; exit 1",
                  kSizes + kWait + "Phase 1: 5%\r\nEncoder error: mencoder failed (see error.txt)\n", true, -1, 0},
        FaultCase{"TranscodeKilled", kCopyGood, "kill -KILL $$",
                  kSizes + kWait + "\nEncoder error: mencoder was killed by a signal (see error.txt)\n", true, -1, 0},
        FaultCase{"TranscodeLeavesEmptyFile", kCopyGood, ": > movdithtemp.avi", kSizes + kWait + "\nOpen error\n", true,
                  -1, 0},
        FaultCase{"TranscodeLeavesHeaderOnly", kCopyGood, writes("header_only.avi"), kSizes + kWait + "\nOpen error\n",
                  true, -1, 0},
        FaultCase{"TranscodeZeroWidth", kCopyGood, writes("zero_width.avi"),
                  kSizes + kWait + "Phase 1: 100%\nInfo error\n", true, -1, 0},
        // Frames run out before the length the header claims: the records
        // written so far stay, under the header's count.
        FaultCase{"TranscodeTruncatedMidMovie", kCopyGood, writes("mid_movie.avi"),
                  loop_tail(kFixtureFrames, kCutAfter, "nomoreframes"), true, kCutAfter, kFixtureFrames},
        FaultCase{"HeaderClaimsMoreFramesNoIndex", kCopyGood, writes("longer_no_index.avi"),
                  loop_tail(45, kFixtureFrames, "nomoreframes"), true, kFixtureFrames, 45}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// No mencoder anywhere on PATH: the encoder cannot be started at all.
TEST(FaultEncoder, MissingFromPathIsErrorPipe) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "in.mp4", "testsrc2=size=320x240:rate=25:duration=1"));
  mkdir((dir / "empty").c_str(), 0755);
  RunResult r = run_program({"/usr/bin/env", "PATH=" + (dir / "empty"), MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error pipe\n");
  EXPECT_EQ(read_file(dir / "error.txt"),
            "mencoder could not be started: is it installed (apt-get install mencoder) and on PATH?\n");
  EXPECT_FALSE(file_exists(dir / "movdithtemp.avi"));
  EXPECT_FALSE(file_exists(dir / "out.8xx"));
}

// The encoder's complaint is what error.txt is kept for.
TEST(FaultEncoder, FailingEncoderMessageStaysInErrorFile) {
  TempDir dir;
  std::string bin = standin(dir, kCopyGood, "echo 'mencoder: codec failed' >&2; exit 3");
  RunResult r = run_program({MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(), bin);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(dir / "error.txt"), "mencoder: codec failed\n");
}

// ---------------------------------------------------------------------------
// Temporary movies that are odd but readable: no failure, and no hang.

struct OddCase {
  const char* name;
  std::vector<Patch> patches;
  std::string tail_line;  // the frame-rate report
  uint32_t records, header;
  uint32_t held_from = 0;  // records from here on repeat the one before, if not 0
};

class FaultOddMovie : public ::testing::TestWithParam<OddCase> {};

TEST_P(FaultOddMovie, ConvertsWhatTheReaderReports) {
  const OddCase& c = GetParam();
  TempDir dir;
  write_bytes(dir / "odd.avi", patched_avi(c.patches));
  std::string bin = standin(dir, kCopyGood, "cp '" + (dir / "odd.avi") + "' movdithtemp.avi");
  RunResult r = run_program({MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(), bin);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(c.tail_line), std::string::npos) << r.out;
  EXPECT_EQ(last_line(r.out), "Success!");
  std::string video = read_file(dir / "out.8xx");
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
    Fault, FaultOddMovie,
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
                kFixtureFrames}),
    [](const ::testing::TestParamInfo<OddCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Hostile movie names, through the whole run with the real mencoder.

struct NameCase {
  const char* label;
  const char* name;
};

class FaultMovieName : public ::testing::TestWithParam<NameCase> {};

TEST_P(FaultMovieName, ConvertsAndRunsNothing) {
  TempDir dir;
  const std::string name = GetParam().name;
  ASSERT_TRUE(make_movie(dir / "movie.mp4", "testsrc2=size=160x120:rate=10:duration=1"));
  ASSERT_EQ(std::rename((dir / "movie.mp4").c_str(), (dir / name).c_str()), 0);
  RunResult r = run_program({MOVDITH_BIN, name, "out.8xx"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(last_line(r.out), "Success!") << r.out;
  EXPECT_EQ(header_count(read_file(dir / "out.8xx")), 10u);
  // Nothing but the movie and the video: no file made by a command hidden
  // in the name, no temporary file left.
  EXPECT_EQ(folder_names(dir.path()), (std::set<std::string>{name, "out.8xx"}));
}

INSTANTIATE_TEST_SUITE_P(
    Fault, FaultMovieName,
    ::testing::Values(NameCase{"Semicolons", "a;touch pwned;b.mp4"}, NameCase{"DollarParen", "$(touch pwned).mp4"},
                      NameCase{"Backquotes", "`touch pwned`.mp4"}, NameCase{"Quotes", "it's \"quoted\".mp4"},
                      NameCase{"LeadingDash", "-leading dash.mp4"}, NameCase{"Redirections", "a|b&c>d<e.mp4"},
                      NameCase{"SpacesAndTab", "two  spaces\tand tab.mp4"}, NameCase{"Glob", "*?[x].mp4"},
                      NameCase{"Newline", "new\nline.mp4"}, NameCase{"PrintfFormat", "%s%n%d.mp4"},
                      NameCase{"EncoderOption", "-o"}, NameCase{"DoubleDash", "--"},
                      NameCase{"Dash", "-"}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.label; });

// ---------------------------------------------------------------------------
// Stop signals while an encoder runs.

// movdith started in the background in its own process group, as a shell
// with job control starts a foreground job; standard output goes to a file.
struct Background {
  pid_t pid = -1;
  std::string out;  // path of its standard output
};

Background start(const TempDir& dir, const std::vector<std::string>& argv, const std::string& path_prefix,
                 int ignored_signal = 0) {
  Background b;
  b.out = dir / "stdout.txt";
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    // Whatever the test runner was started with, the run starts as from a
    // terminal: the stop signals do their default, none is blocked.
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, sig == ignored_signal ? SIG_IGN : SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int in = open("/dev/null", O_RDONLY);
    int out = open(b.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || chdir(dir.path().c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    if (!path_prefix.empty()) {
      const char* old = getenv("PATH");
      setenv("PATH", (path_prefix + ":" + (old ? old : "/usr/bin:/bin")).c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid > 0) setpgid(pid, pid);  // so that the group exists before we signal it
  b.pid = pid;
  return b;
}

// Polls for `ready` every 20 ms for up to `seconds`.
template <typename F>
bool wait_until(F ready, int seconds) {
  for (int i = 0; i < seconds * 50; ++i) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ready();
}

// Waits for the background run to end; a run that will not end within the
// limit is killed with its whole group, so the test fails rather than hangs.
bool finish(const Background& b, int& wstatus) {
  bool ended = wait_until([&] { return waitpid(b.pid, &wstatus, WNOHANG) == b.pid; }, 60);
  if (!ended) {
    kill(-b.pid, SIGKILL);
    waitpid(b.pid, &wstatus, 0);
  }
  return ended;
}

// True when no process `pid` exists any more (not even as a zombie).
bool gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH && !file_exists("/proc/" + std::to_string(pid)); }

pid_t read_pid(const std::string& path) {
  std::string text = read_file(path);
  return text.empty() || text.back() != '\n' ? 0 : static_cast<pid_t>(std::stol(text));
}

// A stand-in encoder step that writes its pid to "pid" and sleeps; exec, so
// the pid is the sleeping process's. `traps` are signals it ignores.
std::string sleeper(const std::string& traps = "") {
  return (traps.empty() ? "" : "trap '' " + traps + "\n") + "echo $$ > pid.tmp && mv pid.tmp pid\nexec sleep 30";
}

struct InterruptCase {
  const char* name;
  bool in_probe;  // the probe sleeps; otherwise the transcoding run does
  int sig;
};

class FaultInterrupt : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(FaultInterrupt, SignalToMovdithAloneStopsTheEncoder) {
  const InterruptCase& c = GetParam();
  TempDir dir;
  std::string bin = c.in_probe ? standin(dir, sleeper(), kCopyGood) : standin(dir, kCopyGood, sleeper());
  Background b = start(dir, {MOVDITH_BIN, "in.mp4", "out.8xx"}, bin);
  ASSERT_GT(b.pid, 0);
  pid_t encoder = 0;
  bool started = wait_until([&] { return (encoder = read_pid(dir / "pid")) > 0; }, 30);
  if (started) kill(b.pid, c.sig);  // movdith only, not its group
  int wstatus = 0;
  ASSERT_TRUE(finish(b, wstatus));
  ASSERT_TRUE(started);

  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "exit status " << WEXITSTATUS(wstatus);
  EXPECT_EQ(WTERMSIG(wstatus), c.sig);
  EXPECT_TRUE(gone(encoder)) << "encoder " << encoder << " still there";
  const std::string before = c.in_probe ? "" : kSizes + kWait;
  EXPECT_EQ(read_file(b.out), before + "\nInterrupted\n");
  EXPECT_TRUE(file_exists(dir / "error.txt"));
  EXPECT_EQ(file_exists(dir / "movdithtemp.avi"), !c.in_probe);
  EXPECT_FALSE(file_exists(dir / "out.8xx"));
}

INSTANTIATE_TEST_SUITE_P(Fault, FaultInterrupt,
                         ::testing::Values(InterruptCase{"ProbeInt", true, SIGINT},
                                           InterruptCase{"TranscodeInt", false, SIGINT},
                                           InterruptCase{"TranscodeTerm", false, SIGTERM},
                                           InterruptCase{"TranscodeHup", false, SIGHUP}),
                         [](const ::testing::TestParamInfo<InterruptCase>& info) { return info.param.name; });

// An encoder that ignores the signal passed on is killed by the next one.
TEST(FaultInterruptStubborn, SecondSignalKillsTheEncoder) {
  TempDir dir;
  std::string bin = standin(dir, kCopyGood, sleeper("INT TERM HUP"));
  Background b = start(dir, {MOVDITH_BIN, "in.mp4", "out.8xx"}, bin);
  ASSERT_GT(b.pid, 0);
  pid_t encoder = 0;
  bool started = wait_until([&] { return (encoder = read_pid(dir / "pid")) > 0; }, 30);
  if (started) {
    kill(b.pid, SIGINT);
    kill(b.pid, SIGTERM);  // another signal, so the two are not merged into one
  }
  int wstatus = 0;
  ASSERT_TRUE(finish(b, wstatus));
  ASSERT_TRUE(started);
  ASSERT_TRUE(WIFSIGNALED(wstatus));
  EXPECT_EQ(WTERMSIG(wstatus), SIGINT);  // the first one is the one that counts
  EXPECT_TRUE(gone(encoder));
  EXPECT_EQ(read_file(b.out), kSizes + kWait + "\nInterrupted\n");
}

// A signal we were started ignoring (nohup's SIGHUP) stays ignored.
TEST(FaultInterruptIgnored, SignalIgnoredAtStartStaysIgnored) {
  TempDir dir;
  std::string bin = standin(dir, kCopyGood, sleeper());
  Background b = start(dir, {MOVDITH_BIN, "in.mp4", "out.8xx"}, bin, SIGHUP);
  ASSERT_GT(b.pid, 0);
  pid_t encoder = 0;
  bool started = wait_until([&] { return (encoder = read_pid(dir / "pid")) > 0; }, 30);
  if (started) {
    kill(b.pid, SIGHUP);  // discarded on the spot, being ignored
    kill(b.pid, SIGTERM);
  }
  int wstatus = 0;
  ASSERT_TRUE(finish(b, wstatus));
  ASSERT_TRUE(started);
  ASSERT_TRUE(WIFSIGNALED(wstatus));
  EXPECT_EQ(WTERMSIG(wstatus), SIGTERM);
  EXPECT_TRUE(gone(encoder));
}

// A terminal's Ctrl-C: SIGINT to the whole foreground group, the real
// mencoder included, in the middle of a long transcoding run.
TEST(FaultInterruptRealEncoder, CtrlCStopsTheWholeRun) {
  TempDir dir;
  // Cheap to make, yet long for mencoder, which decodes every frame.
  ASSERT_TRUE(make_movie(dir / "long.mp4", "color=gray:size=320x240:rate=50:duration=400",
                         {"-c:v", "mpeg4", "-g", "600", "-q:v", "31"}));
  Background b = start(dir, {MOVDITH_BIN, "long.mp4", "out.8xx"}, "");
  ASSERT_GT(b.pid, 0);
  bool transcoding = wait_until([&] { return read_file(b.out).find("Phase 1: ") != std::string::npos; }, 60);
  if (transcoding) kill(-b.pid, SIGINT);
  int wstatus = 0;
  ASSERT_TRUE(finish(b, wstatus));
  ASSERT_TRUE(transcoding) << read_file(b.out);

  ASSERT_TRUE(WIFSIGNALED(wstatus));
  EXPECT_EQ(WTERMSIG(wstatus), SIGINT);
  std::string out = read_file(b.out);
  EXPECT_EQ(out.find("Phase 1: 100%"), std::string::npos) << "the run ended before the signal came";
  EXPECT_EQ(last_line(out), "Interrupted") << out;
  EXPECT_TRUE(out.size() > 13 && out.compare(out.size() - 13, 13, "\nInterrupted\n") == 0) << out;
  // Nothing of the group is left: movdith waited for mencoder.
  EXPECT_EQ(kill(-b.pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_TRUE(file_exists(dir / "error.txt"));
  EXPECT_TRUE(file_exists(dir / "movdithtemp.avi"));
}

}  // namespace
