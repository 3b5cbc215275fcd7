// The two mencoder runs that make the temporary 96 x 64, 10 frames-per-second
// AVI, the reading of the transcoding run's progress reports, and the sizing
// rule between the runs. mencoder is started directly with an argument vector,
// never through a shell, so the movie path reaches it unchanged. While an
// encoder runs, the signals that ask us to stop are passed on to it, so that
// stopping movdith never leaves an encoder running on its own.
#include "movie/encoder.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "raster.h"

extern char** environ;

namespace {

constexpr const char* kEncoder = "mencoder";
constexpr int kTempRate = 10;  // frames per second of the temporary movie

// MS-MPEG4 v2 at a high bitrate with a keyframe every 5 frames: cheap for the
// reader to decode and to seek in. Debian's mencoder refuses the bare "mv0"
// sub-option and wants it spelled as a libavcodec flag.
constexpr const char* kLavcOpts =
    "vcodec=msmpeg4v2:mbd=2:keyint=5:subcmp=2:dia=2:o=mpv_flags=+mv0:last_pred=3:vbitrate=4000";

// The output is read as a bounded line read would: a piece ends at '\r' or
// '\n' (mencoder separates its progress reports with '\r' alone), or after
// this many characters.
constexpr size_t kPieceMax = 510;

// The signals that ask a console program to stop: Ctrl-C, kill's default,
// and the terminal going away.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Shared with the handler, hence sig_atomic_t: the running encoder (0 when
// there is none or it has ended) and the first stop signal caught.
volatile sig_atomic_t encoder_pid = 0;
volatile sig_atomic_t caught_signal = 0;

// Passes the first stop signal on to the encoder; a second one, from a user
// whose encoder does not end, kills it outright. Only async-signal-safe calls.
extern "C" void forward_stop(int sig) {
  int saved = errno;
  pid_t pid = encoder_pid;
  if (pid > 0) kill(pid, caught_signal ? SIGKILL : sig);
  if (!caught_signal) caught_signal = sig;
  errno = saved;
}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kStopSignals) sigaddset(&set, sig);
  return set;
}

// Catches the stop signals for the life of one encoder run and restores the
// earlier handlers afterwards. Signals that were ignored when we started (a
// background job, nohup) stay ignored. The handlers are installed without
// SA_RESTART, so a blocked read or wait returns with EINTR.
class StopForwarding {
 public:
  StopForwarding() {
    caught_signal = 0;
    encoder_pid = 0;
    // Held back until the encoder's pid is known, so none is lost between
    // the spawn and the handler learning whom to pass it to.
    sigset_t set = stop_set();
    sigprocmask(SIG_BLOCK, &set, &mask_);
    struct sigaction action {};
    action.sa_handler = forward_stop;
    action.sa_mask = set;
    for (size_t i = 0; i < std::size(kStopSignals); ++i) {
      installed_[i] = sigaction(kStopSignals[i], nullptr, &old_[i]) == 0 && old_[i].sa_handler != SIG_IGN &&
                      sigaction(kStopSignals[i], &action, nullptr) == 0;
    }
  }
  ~StopForwarding() {
    sigset_t set = stop_set();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    encoder_pid = 0;
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
      if (installed_[i]) sigaction(kStopSignals[i], &old_[i], nullptr);
    sigprocmask(SIG_SETMASK, &mask_, nullptr);
  }
  StopForwarding(const StopForwarding&) = delete;
  StopForwarding& operator=(const StopForwarding&) = delete;

  // The signal mask the encoder starts with: ours from before.
  const sigset_t& mask() const { return mask_; }

  // Names the running encoder and lets the held-back signals through.
  void watch(pid_t pid) {
    encoder_pid = pid;
    sigprocmask(SIG_SETMASK, &mask_, nullptr);
  }

  // A caught stop signal outweighs whatever the encoder's end said.
  EncoderStatus result(EncoderStatus status) const {
    return caught_signal ? EncoderStatus::Interrupted : status;
  }

 private:
  sigset_t mask_;
  struct sigaction old_[std::size(kStopSignals)] = {};
  bool installed_[std::size(kStopSignals)] = {};
};

// Starts mencoder with `options`, then "--" and the movie path, so that a path
// beginning with '-' is never taken for an option. Standard input is the null
// device; standard output is `outfd`, or the null device when it is -1;
// standard error is ours; its signal mask is `mask`. The child stays in our
// process group, so a Ctrl-C at the terminal reaches it as well. Returns 0 or
// the error number.
int spawn_encoder(const std::vector<std::string>& options, const char* moviepath, int outfd,
                  const sigset_t& mask, pid_t& pid) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(kEncoder));
  for (const std::string& o : options) argv.push_back(const_cast<char*>(o.c_str()));
  // Even after "--", mencoder takes "-" for standard input and a second "--"
  // for nothing at all; "./" names the same file without the special meaning.
  const std::string_view path = moviepath;
  const std::string own = path == "-" || path == "--" ? "./" + std::string(path) : std::string();
  argv.push_back(const_cast<char*>("--"));
  argv.push_back(const_cast<char*>(own.empty() ? moviepath : own.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  int err = posix_spawnattr_init(&attr);
  if (err != 0) return err;
  err = posix_spawnattr_setsigmask(&attr, &mask);
  if (err == 0) err = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  posix_spawn_file_actions_t actions;
  if (err == 0) err = posix_spawn_file_actions_init(&actions);
  if (err != 0) {
    posix_spawnattr_destroy(&attr);
    return err;
  }
  err = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (err == 0) {
    err = outfd < 0
              ? posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0)
              : posix_spawn_file_actions_adddup2(&actions, outfd, STDOUT_FILENO);
  }
  // posix_spawnp reports a program missing from PATH as an error here, not
  // as a child that exits with 127.
  if (err == 0) err = posix_spawnp(&pid, kEncoder, &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return err;
}

EncoderStatus wait_encoder(pid_t pid) {
  // Waited for without reaping first: until it is reaped the pid cannot be
  // reused, so a signal passed on meanwhile cannot reach a stranger.
  siginfo_t info;
  while (waitid(P_PID, pid, &info, WEXITED | WNOWAIT) < 0) {
    // Anything but EINTR means the child is no longer ours to wait for (say,
    // SIGCHLD ignored), so its result is unknown: not a success.
    if (errno != EINTR) return EncoderStatus::Failed;
  }
  sigset_t set = stop_set(), mask;
  sigprocmask(SIG_BLOCK, &set, &mask);
  encoder_pid = 0;
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) return EncoderStatus::Failed;
  }
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus) == 0 ? EncoderStatus::Ok : EncoderStatus::Failed;
  return EncoderStatus::Killed;
}

// mencoder's closing line for the video stream, "Video stream: ...".
bool is_summary(std::string_view piece) {
  return piece.size() >= 9 && piece.substr(0, 3) == "Vid" && piece.substr(6, 3) == "str";
}

// Handles one piece of the encoder's output; false once the summary line has
// arrived and nothing after it matters.
bool take_piece(std::string_view piece, const std::function<void(int)>& progress) {
  if (is_summary(piece)) return false;
  int complete = 0;
  if (parse_progress(piece, complete)) progress(complete);
  return true;
}

// Reads `fd` to its end. Everything after the summary is read and dropped,
// so the encoder never blocks on a full pipe.
void read_progress(int fd, const std::function<void(int)>& progress) {
  char chunk[4096];
  char piece[kPieceMax];
  size_t len = 0;
  bool parsing = true;
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n && parsing; ++i) {
      char c = chunk[i];
      if (c == '\r' || c == '\n') {
        parsing = take_piece({piece, len}, progress);
        len = 0;
        continue;
      }
      piece[len++] = c;
      if (len == kPieceMax) {
        parsing = take_piece({piece, len}, progress);
        len = 0;
      }
    }
  }
  if (parsing && len > 0) take_piece({piece, len}, progress);
}

}  // namespace

int interrupting_signal() { return caught_signal; }

bool output_size(uint32_t width, uint32_t height, OutputSize& size) {
  if (width == 0 || height == 0) return false;
  constexpr uint32_t kW = kWidth;
  constexpr uint32_t kH = kHeight;
  // Wrap-around of the products for absurd sizes cannot push either side
  // past the raster: h <= kH keeps outh in range, and h > kH with W * kW
  // unwrapped means W < 1.5 H, so outw < kW.
  uint32_t h = (height * kW) / width;
  OutputSize out;
  if (h <= kH) {  // about 3:2 or wider: full width
    out.outw = kW;
    out.outh = h;
  } else {  // taller: full height
    out.outh = kH;
    out.outw = (width * kH) / height;
  }
  if (out.outw == 0 || out.outh == 0) return false;
  size = out;
  return true;
}

bool parse_progress(std::string_view piece, int& complete) {
  if (piece.substr(0, 3) != "Pos") return false;
  // A piece is never longer than kPieceMax; scanf wants it NUL-terminated.
  char text[kPieceMax + 1];
  size_t len = piece.size() < kPieceMax ? piece.size() : kPieceMax;
  std::memcpy(text, piece.data(), len);
  text[len] = '\0';

  // The layout is "Pos:%*fs%*df (%d%%)%*ffps Trem:..."; only the %d is used
  // and the rest after it need not match. scanf finds where it starts; the
  // number itself is read by hand, since scanf's %d on a number too big for
  // an int is undefined.
  int at = -1;
  std::sscanf(text, "Pos:%*fs%*df (%n", &at);
  if (at < 0) return false;
  const char* p = text + at;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  long long value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    value = value * 10 + (*p - '0');
    if (value > INT_MAX) return false;
  }
  complete = static_cast<int>(negative ? -value : value);
  return true;
}

EncoderStatus probe_run(const char* moviepath) {
  // A temporary movie left by an earlier run would otherwise be read as this
  // movie's if the probe fails.
  unlink(kTempMovie);
  const std::vector<std::string> options = {
      "-o", kTempMovie, "-ovc", "lavc", "-lavcopts", kLavcOpts, "-nosound",
      "-ss", "00:00:00", "-frames", "1"};
  StopForwarding stop;
  pid_t pid = 0;
  if (spawn_encoder(options, moviepath, -1, stop.mask(), pid) != 0) return stop.result(EncoderStatus::SpawnFailed);
  stop.watch(pid);
  return stop.result(wait_encoder(pid));
}

EncoderStatus transcode_run(const char* moviepath, OutputSize size,
                            const std::function<void(int)>& progress) {
  const std::vector<std::string> options = {
      "-nosound", "-ovc", "lavc", "-lavcopts", kLavcOpts,
      "-ofps", std::to_string(kTempRate),
      // The padding is done in RGB: mencoder's expand fills the chroma of
      // left and right borders wrongly in YUV, which decodes as green bars.
      // The last scale converts back to what the codec takes.
      "-vf", "scale=" + std::to_string(size.outw) + ":" + std::to_string(size.outh) +
                 ",format=bgr24,expand=" + std::to_string(kWidth) + ":" + std::to_string(kHeight) + ",scale",
      "-o", kTempMovie};
  // Close-on-exec keeps the read end out of the encoder, so our closing it is
  // what the encoder sees as a broken pipe.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return EncoderStatus::SpawnFailed;
  StopForwarding stop;
  pid_t pid = 0;
  int err = spawn_encoder(options, moviepath, fds[1], stop.mask(), pid);
  close(fds[1]);
  if (err != 0) {
    close(fds[0]);
    return stop.result(EncoderStatus::SpawnFailed);
  }
  stop.watch(pid);
  read_progress(fds[0], progress);
  close(fds[0]);
  return stop.result(wait_encoder(pid));
}
