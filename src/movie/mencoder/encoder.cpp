// The two mencoder runs that make the temporary 96 x 64, 10 frames-per-second
// AVI, the reading of the transcoding run's progress reports, and the sizing
// rule between the runs. mencoder is started directly with an argument vector,
// never through a shell, so the movie path reaches it unchanged. While an
// encoder runs, the signals that ask us to stop are passed on to it, so that
// stopping movdith never leaves an encoder running on its own.
#include "movie/mencoder/encoder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "movie/limits.h"
#include "raster.h"
#include "util/numbers.h"
#include "util/stop_signals.h"
#include "videofile/videofile.h"

extern char** environ;

namespace {

constexpr const char* kEncoder = "mencoder";
// MS-MPEG4 v2 at a high bitrate with a keyframe every 5 frames: cheap for the
// reader to decode and to seek in. Debian's mencoder refuses the bare "mv0"
// sub-option and wants it spelled as a libavcodec flag.
constexpr const char* kLavcOpts =
    "vcodec=msmpeg4v2:mbd=2:keyint=5:subcmp=2:dia=2:o=mpv_flags=+mv0:last_pred=3:vbitrate=4000";

// The output is read as a bounded line read would: a piece ends at '\r' or
// '\n' (mencoder separates its progress reports with '\r' alone), or after
// this many characters.
constexpr size_t kPieceMax = 510;

// The program to run for `name`, as execvp would find it on PATH; ENOENT when
// no folder holds it, EACCES when one does but it cannot be run. Looked up
// before the fork, so that the child does nothing but what is safe there.
int find_on_path(const char* name, std::string& found) {
  const char* path = std::getenv("PATH");
  const std::string folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  int err = ENOENT;
  for (size_t at = 0;;) {
    const size_t colon = folders.find(':', at);
    const std::string folder = folders.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) {
      found = candidate;
      return 0;
    }
    if (errno == EACCES) err = EACCES;
    if (colon == std::string::npos) return err;
    at = colon + 1;
  }
}

// Opens /dev/null onto `target` in the child; false if it cannot.
bool null_onto(int target, int flags) {
  const int fd = open("/dev/null", flags);
  if (fd < 0) return false;
  const bool ok = fd == target || dup2(fd, target) == target;
  if (fd != target) close(fd);
  return ok;
}

// Starts mencoder with `options`, then "--" and the movie path, so that a path
// beginning with '-' is never taken for an option. Standard input is the null
// device; standard output is `outfd`, or the null device when it is -1;
// standard error is ours; its signal mask is `mask`, and its data segment is
// held to `data_limit` bytes. The child stays in our process group, so a
// Ctrl-C at the terminal reaches it as well. Returns 0 or the error number.
int spawn_encoder(const std::vector<std::string>& options, const char* moviepath, int outfd, int64_t data_limit,
                  const sigset_t& mask, pid_t& pid) {
  std::string program;
  if (const int err = find_on_path(kEncoder, program)) return err;
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

  // The child reports a failed exec through this pipe; a successful one
  // closes it (close-on-exec), so the parent reads nothing.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  const rlimit data{static_cast<rlim_t>(data_limit), static_cast<rlim_t>(data_limit)};
  pid = fork();
  if (pid < 0) {
    const int err = errno;
    close(report[0]);
    close(report[1]);
    return err;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to the exec.
    int err = 0;
    if (!null_onto(STDIN_FILENO, O_RDONLY)) err = errno;
    if (err == 0 && (outfd < 0 ? !null_onto(STDOUT_FILENO, O_WRONLY) : dup2(outfd, STDOUT_FILENO) < 0)) err = errno;
    if (err == 0 && setrlimit(RLIMIT_DATA, &data) != 0) err = errno;
    if (err == 0 && sigprocmask(SIG_SETMASK, &mask, nullptr) != 0) err = errno;
    if (err == 0) {
      execve(program.c_str(), argv.data(), environ);
      err = errno;
    }
    while (write(report[1], &err, sizeof err) < 0 && errno == EINTR) {
    }
    _exit(127);
  }
  close(report[1]);
  int err = 0;
  ssize_t n;
  while ((n = read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (n != static_cast<ssize_t>(sizeof err)) return 0;
  // The exec failed: the child has exited, and is reaped here.
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return err;
}

// What a failed start means: ENOENT when no folder on PATH holds the
// program.
EncoderStatus spawn_failure(int err) {
  return err == ENOENT ? EncoderStatus::NotFound : EncoderStatus::SpawnFailed;
}

// Waits for the encoder to end; `killed_by` is the signal that ended it, if one did.
EncoderStatus wait_encoder(pid_t pid, StopSignals& stop, int& killed_by) {
  // Waited for without reaping first: until it is reaped the pid cannot be
  // reused, so a signal passed on meanwhile cannot reach a stranger.
  siginfo_t info;
  while (waitid(P_PID, pid, &info, WEXITED | WNOWAIT) < 0) {
    // Anything but EINTR means the child is no longer ours to wait for (say,
    // SIGCHLD ignored), so its result is unknown: not a success.
    if (errno != EINTR) return EncoderStatus::Failed;
  }
  stop.child_ended();
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) return EncoderStatus::Failed;
  }
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus) == 0 ? EncoderStatus::Ok : EncoderStatus::Failed;
  killed_by = WTERMSIG(wstatus);
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

// How a run ended: a stop signal we were sent outranks whatever the encoder
// did after we passed it on.
EncoderStatus run_end(EncoderStatus status, int caught, int killed_by, int& signal) {
  signal = caught ? caught : status == EncoderStatus::Killed ? killed_by : 0;
  return caught ? EncoderStatus::Interrupted : status;
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
  const ScannedInt percent = scan_int(text + at);
  if (!percent.found || !percent.fits) return false;
  complete = percent.value;
  return true;
}

std::vector<std::string> probe_arguments(bool lavf) {
  std::vector<std::string> options = {"-o",       kTempMovie, "-ovc", "lavc",     "-lavcopts", kLavcOpts,
                                      "-nosound", "-ss",      "00:00:00", "-frames", "1"};
  if (lavf) options.insert(options.end(), {"-demuxer", "lavf"});
  return options;
}

namespace {

// Milliseconds as mencoder takes a time: seconds with three decimals.
std::string seconds_text(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
  return text;
}

}  // namespace

namespace {

// mencoder's own filters for a turn: rotate=1 turns a quarter clockwise,
// rotate=2 anticlockwise; mirror flips left to right, flip upside down.
std::string turn_filters(const Turn& turn) {
  std::string filters = turn.quarter == 1 ? "rotate=1," : turn.quarter == 3 ? "rotate=2," : "";
  if (turn.hflip) filters += "mirror,";
  if (turn.vflip) filters += "flip,";
  return filters;
}

}  // namespace

std::vector<std::string> transcode_arguments(const TranscodeRequest& request) {
  const std::string scale = "scale=" + std::to_string(request.size.outw) + ":" + std::to_string(request.size.outh);
  const std::string crop = request.crop ? ",crop=" + std::to_string(kWidth) + ":" + std::to_string(kHeight) : "";
  const std::string expand = "expand=" + std::to_string(kWidth) + ":" + std::to_string(kHeight);
  std::vector<std::string> options = {"-nosound", "-ovc", "lavc", "-lavcopts", kLavcOpts,
                                      "-ofps", std::to_string(kFramesPerSecond),
                                      // The padding is done in RGB: mencoder's expand fills the chroma of
                                      // left and right borders wrongly in YUV, which decodes as green
                                      // bars. The last scale converts back to what the codec takes.
                                      "-vf", turn_filters(request.turn) + scale + crop + ",format=bgr24," + expand + ",scale",
                                      "-o", kTempMovie};
  // No -ss: mencoder's seeking lands up to a second or more after the time
  // asked for, depending on the movie's keyframes, so a clip's start is
  // found by the frame loop in the complete temporary movie instead.
  if (request.end_ms != kNoDuration) options.insert(options.end(), {"-endpos", seconds_text(request.end_ms)});
  if (request.lavf) options.insert(options.end(), {"-demuxer", "lavf"});
  return options;
}

EncoderStatus probe_run(const char* moviepath, bool lavf, int64_t data_limit, int& signal) {
  // A temporary movie left by an earlier run would otherwise be read as this
  // movie's if the probe fails.
  unlink(kTempMovie);
  StopSignals stop;
  stop.hold();
  pid_t pid = 0;
  int killed_by = 0;
  const int err = spawn_encoder(probe_arguments(lavf), moviepath, -1, data_limit, stop.mask(), pid);
  EncoderStatus status = spawn_failure(err);
  if (err == 0) {
    stop.forward_to(pid);
    status = wait_encoder(pid, stop, killed_by);
  }
  return run_end(status, stop.caught(), killed_by, signal);
}

EncoderStatus transcode_run(const char* moviepath, const TranscodeRequest& request,
                            const std::function<void(int)>& progress, int& signal) {
  signal = 0;
  // Close-on-exec keeps the read end out of the encoder, so our closing it is
  // what the encoder sees as a broken pipe.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return EncoderStatus::SpawnFailed;
  StopSignals stop;
  stop.hold();
  pid_t pid = 0;
  int killed_by = 0;
  const int err = spawn_encoder(transcode_arguments(request), moviepath, fds[1], request.data_limit, stop.mask(), pid);
  close(fds[1]);
  EncoderStatus status = spawn_failure(err);
  if (err == 0) {
    stop.forward_to(pid);
    read_progress(fds[0], progress);
    status = wait_encoder(pid, stop, killed_by);
  }
  close(fds[0]);
  return run_end(status, stop.caught(), killed_by, signal);
}
