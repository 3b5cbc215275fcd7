// Stop signals during a conversion, end to end: the built movdith started in
// a process group of its own, as a shell starts a foreground job, with a
// stand-in encoder that sleeps (or the real mencoder on a long movie), or in
// its frame loop. The run must pass the signal on to the encoder and wait for
// it, or finish the record in hand and make the file whole; then say
// "Interrupted", keep its working files and end by the signal itself. A
// closed pipe on standard output (`| head`) stops it the same way, with its
// reason on standard error.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "videofile/videofile.h"

namespace {

const std::string kBeforeTranscode = size_lines(96, 64, 96, 64) + kWaitLine;

// True when no process `pid` exists any more (not even as a zombie).
bool gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH && !file_exists("/proc/" + std::to_string(pid)); }

pid_t read_pid(const std::string& path) {
  const std::string text = read_file(path);
  return text.empty() || text.back() != '\n' ? 0 : static_cast<pid_t>(std::stol(text));
}

// A stand-in encoder step that writes its pid to "pid" and sleeps; exec, so
// the pid is the sleeping process's. `traps` are signals it ignores.
std::string sleeper(const std::string& traps = "") {
  return (traps.empty() ? "" : "trap '' " + traps + "\n") + "echo $$ > pid.tmp && mv pid.tmp pid\nexec sleep 30";
}

// Starts movdith on a stand-in encoder and waits until the encoder has
// started; `encoder` is then its pid.
Background start_run(const TempDir& dir, const std::string& probe, const std::string& transcode, pid_t& encoder,
                     int ignored_signal = 0) {
  const Launch launch{{MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(),
                      write_standin_encoder(dir / "bin", probe, transcode)};
  Background run = start_program(launch, dir / "stdout.txt", ignored_signal);
  encoder = 0;
  if (run.pid > 0) wait_until([&] { return (encoder = read_pid(dir / "pid")) > 0; }, 30);
  return run;
}

struct InterruptCase {
  const char* name;
  bool in_probe;  // the probe sleeps; otherwise the transcoding run does
  int sig;
};

class SignalToRun : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(SignalToRun, StopsTheEncoderAndEndsByTheSignal) {
  const InterruptCase& c = GetParam();
  TempDir dir;
  pid_t encoder = 0;
  const Background run =
      c.in_probe ? start_run(dir, sleeper(), kCopyGood, encoder) : start_run(dir, kCopyGood, sleeper(), encoder);
  ASSERT_GT(run.pid, 0);
  if (encoder) kill(run.pid, c.sig);  // movdith only, not its group
  int wstatus = 0;
  ASSERT_TRUE(finish(run, wstatus));
  ASSERT_GT(encoder, 0);

  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "exit status " << WEXITSTATUS(wstatus);
  EXPECT_EQ(WTERMSIG(wstatus), c.sig);
  EXPECT_TRUE(gone(encoder)) << "encoder " << encoder << " still there";
  EXPECT_EQ(read_file(run.out), (c.in_probe ? "" : kBeforeTranscode) + "\nInterrupted\n");
  EXPECT_TRUE(file_exists(dir / "error.txt"));
  EXPECT_EQ(file_exists(dir / "movdithtemp.avi"), !c.in_probe);
  EXPECT_FALSE(file_exists(dir / "out.8xx"));
}

INSTANTIATE_TEST_SUITE_P(Encoder, SignalToRun,
                         ::testing::Values(InterruptCase{"ProbeInt", true, SIGINT},
                                           InterruptCase{"TranscodeInt", false, SIGINT},
                                           InterruptCase{"TranscodeTerm", false, SIGTERM},
                                           InterruptCase{"TranscodeHup", false, SIGHUP}),
                         [](const ::testing::TestParamInfo<InterruptCase>& info) { return info.param.name; });

// An encoder that ignores the signal passed on is killed by the next one.
TEST(SignalStubbornEncoder, SecondSignalKillsIt) {
  TempDir dir;
  pid_t encoder = 0;
  const Background run = start_run(dir, kCopyGood, sleeper("INT TERM HUP"), encoder);
  ASSERT_GT(run.pid, 0);
  if (encoder) {
    kill(run.pid, SIGINT);
    kill(run.pid, SIGTERM);  // another signal, so the two are not merged into one
  }
  int wstatus = 0;
  ASSERT_TRUE(finish(run, wstatus));
  ASSERT_GT(encoder, 0);
  ASSERT_TRUE(WIFSIGNALED(wstatus));
  EXPECT_EQ(WTERMSIG(wstatus), SIGINT);  // the first one is the one that counts
  EXPECT_TRUE(gone(encoder));
  EXPECT_EQ(read_file(run.out), kBeforeTranscode + "\nInterrupted\n");
}

// A signal we were started ignoring (nohup's SIGHUP) stays ignored.
TEST(SignalIgnoredAtStart, StaysIgnored) {
  TempDir dir;
  pid_t encoder = 0;
  const Background run = start_run(dir, kCopyGood, sleeper(), encoder, SIGHUP);
  ASSERT_GT(run.pid, 0);
  if (encoder) {
    kill(run.pid, SIGHUP);  // discarded on the spot, being ignored
    kill(run.pid, SIGTERM);
  }
  int wstatus = 0;
  ASSERT_TRUE(finish(run, wstatus));
  ASSERT_GT(encoder, 0);
  ASSERT_TRUE(WIFSIGNALED(wstatus));
  EXPECT_EQ(WTERMSIG(wstatus), SIGTERM);
  EXPECT_TRUE(gone(encoder));
}

// A terminal's Ctrl-C: SIGINT to the whole foreground group, the real
// mencoder included, in the middle of a long transcoding run.
TEST(SignalRealEncoder, CtrlCStopsTheWholeRun) {
  TempDir dir;
  // Cheap to make, yet long for mencoder, which decodes every frame.
  ASSERT_TRUE(make_movie(dir / "long.mp4", "color=gray:size=320x240:rate=50:duration=400",
                         {"-c:v", "mpeg4", "-g", "600", "-q:v", "31"}));
  const Background run = start_program(Launch{{MOVDITH_BIN, "long.mp4", "out.8xx"}, dir.path(), "", false}, dir / "stdout.txt");
  ASSERT_GT(run.pid, 0);
  const bool transcoding =
      wait_until([&] { return read_file(run.out).find("Phase 1: ") != std::string::npos; }, 60);
  if (transcoding) kill(-run.pid, SIGINT);
  int wstatus = 0;
  ASSERT_TRUE(finish(run, wstatus));
  ASSERT_TRUE(transcoding) << read_file(run.out);

  ASSERT_TRUE(WIFSIGNALED(wstatus));
  EXPECT_EQ(WTERMSIG(wstatus), SIGINT);
  const std::string out = read_file(run.out);
  EXPECT_EQ(out.find("Phase 1: 100%"), std::string::npos) << "the run ended before the signal came";
  EXPECT_EQ(last_line(out), "Interrupted") << out;
  EXPECT_TRUE(out.size() > 13 && out.compare(out.size() - 13, 13, "\nInterrupted\n") == 0) << out;
  // Nothing of the group is left: movdith waited for mencoder.
  EXPECT_EQ(kill(-run.pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_TRUE(file_exists(dir / "error.txt"));
  EXPECT_TRUE(file_exists(dir / "movdithtemp.avi"));
}

// ---- Stop signals in the frame loop ----

// A temporary movie the frame loop needs a second or so for: large frames,
// each decoded and box-sampled.
constexpr uint32_t kSlowFrames = 400;
const std::string& slow_temp_movie() {
  static TempDir dir;
  static const std::string path = dir / "slow.avi";
  static const bool made =
      make_movie(path, "testsrc2=size=1280x720:rate=10:duration=" + std::to_string(kSlowFrames / 10),
                 {"-c:v", "mjpeg", "-q:v", "10"});
  EXPECT_TRUE(made);
  return path;
}

// Starts movdith on the slow temporary movie and waits until its frame loop
// is a tenth of the way through.
Background start_loop(const TempDir& dir, bool& in_loop) {
  const Launch launch{{MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(),
                      write_standin_encoder(dir / "bin", "cp '" + slow_temp_movie() + "' movdithtemp.avi"), false};
  Background run = start_program(launch, dir / "stdout.txt");
  in_loop = run.pid > 0 &&
            wait_until([&] { return read_file(run.out).find("Phase 2: 10%") != std::string::npos; }, 60);
  return run;
}

class SignalInLoop : public ::testing::TestWithParam<int> {};

// The stop signals finish the record in hand and end the run by themselves.
// SIGKILL cannot be caught: whatever moment it comes, the count on disk is
// never more than the whole records there (it is 0 until the end).
TEST_P(SignalInLoop, LeavesWholeRecordsUnderTheirCount) {
  const int sig = GetParam();
  TempDir dir;
  bool in_loop = false;
  const Background run = start_loop(dir, in_loop);
  if (in_loop) kill(run.pid, sig);
  int wstatus = 0;
  ASSERT_TRUE(finish(run, wstatus));
  ASSERT_TRUE(in_loop) << read_file(run.out);
  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "exit status " << WEXITSTATUS(wstatus);
  EXPECT_EQ(WTERMSIG(wstatus), sig);
  const std::string video = read_file(dir / "out.8xx");
  ASSERT_GE(video.size(), size_t{kHeaderBytes});
  const size_t records = (video.size() - kHeaderBytes) / kPlaneBytes;
  EXPECT_LE(header_count(video), records);
  if (sig == SIGKILL) return;

  const std::string out = read_file(run.out);
  const std::string tail = "%\r\nInterrupted\n";
  EXPECT_TRUE(out.size() > tail.size() && out.compare(out.size() - tail.size(), tail.size(), tail) == 0) << out;
  EXPECT_EQ(video.size(), kHeaderBytes + records * kPlaneBytes) << "a cut record is left";
  EXPECT_EQ(header_count(video), records);
  EXPECT_GE(records, size_t{kSlowFrames / 10});
  EXPECT_LT(records, size_t{kSlowFrames});
  EXPECT_TRUE(file_exists(dir / "error.txt"));
  EXPECT_TRUE(file_exists(dir / "movdithtemp.avi"));
}

INSTANTIATE_TEST_SUITE_P(Loop, SignalInLoop, ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGKILL),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

// ---- Standard output's reader going away ----

constexpr const char* kBrokenPipeLine = "movdith: Interrupted: standard output was closed (SIGPIPE)\n";

// 600 frames, cheap to decode: over 7 KB of "Phase 2" lines, more than the
// test's pipe holds.
const std::string& long_small_movie() {
  static TempDir dir;
  static const std::string path = dir / "long.mp4";
  static const bool made = make_movie(path, "testsrc2=size=160x120:rate=10:duration=60");
  EXPECT_TRUE(made);
  return path;
}

struct PipeCase {
  const char* name;
  bool builtin;  // the built-in engine; otherwise a stand-in encoder that copies a temporary movie
};

class SignalBrokenPipe : public ::testing::TestWithParam<PipeCase> {};

// `movdith ... | head -4`, with a reader that takes the four size lines and
// closes: the run cannot end before (the rest of its output does not fit in
// the pipe), so its next write finds the pipe closed, in the frame loop.
TEST_P(SignalBrokenPipe, InTheFrameLoopLeavesWholeRecordsAndSaysWhy) {
  const PipeCase& c = GetParam();
  TempDir dir;
  const Launch launch =
      c.builtin ? Launch{{MOVDITH_BIN, long_small_movie(), "out.8xx", "--engine=builtin"}, dir.path(), ""}
                : Launch{{MOVDITH_BIN, "in.mp4", "out.8xx"}, dir.path(),
                         write_standin_encoder(dir / "bin", "cp '" + slow_temp_movie() + "' movdithtemp.avi")};
  int reader = -1;
  const Background run = start_piped(launch, dir / "stderr.txt", reader);
  ASSERT_GT(run.pid, 0);
  const std::string head = read_lines(reader, 4);
  close(reader);
  int wstatus = 0;
  ASSERT_TRUE(finish(run, wstatus));

  EXPECT_EQ(head, c.builtin ? size_lines(160, 120, 85, 64) : size_lines(1280, 720, 96, 54));
  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "exit status " << WEXITSTATUS(wstatus);
  EXPECT_EQ(WTERMSIG(wstatus), SIGPIPE);
  EXPECT_EQ(read_file(run.out), kBrokenPipeLine);
  const std::string video = read_file(dir / "out.8xx");
  ASSERT_GE(video.size(), size_t{kHeaderBytes});
  const size_t records = (video.size() - kHeaderBytes) / kPlaneBytes;
  EXPECT_EQ(video.size(), kHeaderBytes + records * kPlaneBytes) << "a cut record is left";
  EXPECT_EQ(header_count(video), records);
  EXPECT_GE(records, size_t{1});
  EXPECT_LT(records, size_t{c.builtin ? 600 : kSlowFrames});
  EXPECT_EQ(file_exists(dir / "error.txt"), !c.builtin);
  EXPECT_EQ(file_exists(dir / "movdithtemp.avi"), !c.builtin);
}

INSTANTIATE_TEST_SUITE_P(Pipe, SignalBrokenPipe,
                         ::testing::Values(PipeCase{"Builtin", true}, PipeCase{"Encoder", false}),
                         [](const ::testing::TestParamInfo<PipeCase>& info) { return info.param.name; });

// The same with the real mencoder transcoding a long movie when the reader
// goes: the next "Phase 1" line finds the pipe closed, the signal is passed
// on to mencoder, and the run waits for it; no output file is begun.
TEST(SignalBrokenPipe, DuringTheRealTranscodeStopsMencoder) {
  TempDir dir;
  ASSERT_TRUE(make_movie(dir / "long.mp4", "color=gray:size=320x240:rate=50:duration=400",
                         {"-c:v", "mpeg4", "-g", "600", "-q:v", "31"}));
  int reader = -1;
  const Background run =
      start_piped(Launch{{MOVDITH_BIN, "long.mp4", "out.8xx"}, dir.path(), ""}, dir / "stderr.txt", reader);
  ASSERT_GT(run.pid, 0);
  const std::string head = read_lines(reader, 5);
  close(reader);
  int wstatus = 0;
  ASSERT_TRUE(finish(run, wstatus));

  EXPECT_EQ(head, size_lines(320, 240, 85, 64) + kWaitLine);
  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "exit status " << WEXITSTATUS(wstatus);
  EXPECT_EQ(WTERMSIG(wstatus), SIGPIPE);
  EXPECT_EQ(read_file(run.out), kBrokenPipeLine);
  // Nothing of the group is left: movdith waited for mencoder.
  EXPECT_EQ(kill(-run.pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_FALSE(file_exists(dir / "out.8xx"));
  EXPECT_TRUE(file_exists(dir / "error.txt"));
  EXPECT_TRUE(file_exists(dir / "movdithtemp.avi"));
}

// A reader gone before movdith writes anything (`movdith m.mp4 o.8xx | true`,
// the read end closed before the run starts): its first write finds the pipe
// closed. With the mencoder engine that is the "Please Wait" line, between
// the probe and the transcoding run, where no stretch of work catches the
// stop signals; the run stops there, before the transcode, as for a stop
// signal. With the built-in engine it is the first "Phase 2" line, after one
// record.
struct ClosedPipeCase {
  const char* name;
  enum { builtin, standin, mencoder } engine;
};

class SignalClosedPipe : public ::testing::TestWithParam<ClosedPipeCase> {};

TEST_P(SignalClosedPipe, BeforeTheFirstWriteStopsTheRunAndSaysWhy) {
  const ClosedPipeCase& c = GetParam();
  TempDir dir;
  if (c.engine == ClosedPipeCase::mencoder) {
    ASSERT_TRUE(make_movie(dir / "in.mp4", "testsrc2=size=160x120:rate=10:duration=2"));
  }
  const std::string movie = c.engine == ClosedPipeCase::builtin ? long_small_movie() : "in.mp4";
  const std::string copy = "cp '" + slow_temp_movie() + "' movdithtemp.avi";
  const Launch launch =
      c.engine == ClosedPipeCase::builtin ? Launch{{MOVDITH_BIN, movie, "out.8xx", "--engine=builtin"}, dir.path(), ""}
      : c.engine == ClosedPipeCase::standin
          ? Launch{{MOVDITH_BIN, movie, "out.8xx"}, dir.path(),
                   write_standin_encoder(dir / "bin", copy, "touch transcoded\n" + copy)}
          : Launch{{MOVDITH_BIN, movie, "out.8xx"}, dir.path(), ""};
  const Background run = start_on_closed_pipe(launch, dir / "stderr.txt");
  ASSERT_GT(run.pid, 0);
  int wstatus = 0;
  ASSERT_TRUE(finish(run, wstatus));

  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "exit status " << WEXITSTATUS(wstatus);
  EXPECT_EQ(WTERMSIG(wstatus), SIGPIPE);
  EXPECT_EQ(read_file(run.out), kBrokenPipeLine);
  EXPECT_FALSE(file_exists(dir / "transcoded"));
  if (c.engine == ClosedPipeCase::builtin) {
    const std::string video = read_file(dir / "out.8xx");
    EXPECT_EQ(video.size(), kHeaderBytes + kPlaneBytes) << "one whole record";
    EXPECT_EQ(header_count(video), 1u);
  } else {
    // Kept as a stop signal keeps them.
    EXPECT_FALSE(file_exists(dir / "out.8xx"));
    EXPECT_TRUE(file_exists(dir / "error.txt"));
    EXPECT_TRUE(file_exists(dir / "movdithtemp.avi"));
  }
}

INSTANTIATE_TEST_SUITE_P(Pipe, SignalClosedPipe,
                         ::testing::Values(ClosedPipeCase{"Builtin", ClosedPipeCase::builtin},
                                           ClosedPipeCase{"StandIn", ClosedPipeCase::standin},
                                           ClosedPipeCase{"Mencoder", ClosedPipeCase::mencoder}),
                         [](const ::testing::TestParamInfo<ClosedPipeCase>& info) { return info.param.name; });

}  // namespace
