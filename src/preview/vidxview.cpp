// vidxview: shows a video file made by movdith without a calculator, as an
// animated GIF, a PNG contact sheet or a playback in the terminal.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "preview/render.h"
#include "util/numbers.h"
#include "util/paths.h"
#include "util/stop_signals.h"
#include "version.h"
#include "videofile/videofile.h"

namespace {

constexpr const char* kUsage =
    "Usage: vidxview FILE.8xx ACTION [options]\n"
    "Shows a video made by movdith (96 x 64 pixels, 10 frames per second).\n"
    "Actions (give one):\n"
    "  --gif OUT.gif   write an animated GIF\n"
    "  --png OUT.png   write a contact sheet: every Nth frame in a grid, numbered\n"
    "  --play          play it in this terminal (Ctrl-C stops)\n"
    "  --info          print the number of shades, frames and seconds\n"
    "Options:\n"
    "  --scale N       pixel size in the picture, 1 to 16\n"
    "                  (default 4 for --gif, 2 for --png)\n"
    "  --every N       sheet frame step (default 10: one frame a second,\n"
    "                  more for videos longer than 100 seconds)\n"
    "vidxview " MOVDITH_VERSION ", part of movdith - more in man vidxview\n";

enum class Action { none, gif, png, play, info };

struct Options {
  const char* input = nullptr;
  Action action = Action::none;
  const char* output = nullptr;
  int scale = 0;  // 0: the action's default
  int every = 0;
};

int usage_error(const std::string& problem) {
  std::fprintf(stderr, "vidxview: %s\n%s", problem.c_str(), kUsage);
  return 1;
}

// A whole decimal number in [lo, hi] and nothing else, or 0.
int parse_count(const char* text, int lo, int hi) {
  const ScannedInt n = scan_int(text);
  if (!n.found || !n.fits || *n.end != '\0' || n.value < lo || n.value > hi) return 0;
  return n.value;
}

// Fills `opt`; returns -1 to go on, or the exit status.
int parse_args(int argc, char** argv, Options& opt) {
  if (argc < 2) return usage_error("no video file given");
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    auto set_action = [&](Action act) {
      if (opt.action != Action::none) return false;
      opt.action = act;
      return true;
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--gif" || a == "--png") {
      if (!set_action(a == "--gif" ? Action::gif : Action::png))
        return usage_error("give only one action");
      if (!has_value) return usage_error(a + " needs an output file name");
      opt.output = argv[++i];
    } else if (a == "--play" || a == "--info") {
      if (!set_action(a == "--play" ? Action::play : Action::info))
        return usage_error("give only one action");
    } else if (a == "--scale") {
      if (!has_value || !(opt.scale = parse_count(argv[++i], 1, kMaxScale)))
        return usage_error("--scale needs a whole number from 1 to " + std::to_string(kMaxScale));
    } else if (a == "--every") {
      if (!has_value || !(opt.every = parse_count(argv[++i], 1, 1000000)))
        return usage_error("--every needs a whole number from 1 to 1000000");
    } else if (a.size() > 1 && a[0] == '-') {
      return usage_error("unknown option " + a);
    } else if (opt.input) {
      return usage_error("unexpected argument " + a + " (one video file at a time)");
    } else {
      opt.input = argv[i];
    }
  }
  if (!opt.input) return usage_error("no video file given");
  if (opt.action == Action::none) return usage_error("no action given");
  if (opt.scale && opt.action != Action::gif && opt.action != Action::png)
    return usage_error("--scale goes with --gif or --png");
  if (opt.every && opt.action != Action::png) return usage_error("--every goes with --png");
  if (!opt.scale) opt.scale = opt.action == Action::gif ? 4 : 2;
  return -1;
}

// The one line that says what is wrong with the input file.
std::string open_error(VidxStatus status, const VidxFile& v, const char* path) {
  const std::string p = path;
  switch (status) {
    case VidxStatus::cant_open:
      return "cannot open " + p + ": " + std::strerror(v.syserror);
    case VidxStatus::not_regular:
      return p + ": not a regular file";
    case VidxStatus::empty:
      return p + ": empty file, not a video";
    case VidxStatus::short_header:
      return p + ": truncated: the file ends inside its " + std::to_string(kHeaderBytes) +
             "-byte header";
    case VidxStatus::foreign:
      return p + ": not a video file (it does not begin with **VIDX**)";
    case VidxStatus::bad_lengths:
      return p + ": damaged header: length fields read " + std::to_string(v.fields.tail) + " and " +
             std::to_string(v.fields.offset) + ", expected " + std::to_string(kHeaderTail) + " and " +
             std::to_string(kHeaderBytes);
    case VidxStatus::bad_fixed:
      return p + ": damaged header: bytes 10, 11, 12 and 14 must be 01 0A 00 0A";
    case VidxStatus::partial_record:
      return p + ": truncated: " + std::to_string(v.leftover) + " bytes after " +
             std::to_string(v.records) + " whole " + std::to_string(record_bytes(v.shades)) +
             "-byte records";
    case VidxStatus::read_error:
    case VidxStatus::ok:
      break;
  }
  return p + ": read error";
}

// Plays every record. On a terminal: cursor hidden, homed before each frame,
// 10 frames a second, and the terminal restored however it ends. Anywhere
// else (a file, a pipe): the same frames and status lines back to back, with
// no cursor control and no waiting, so the output is a plain record of them.
int play(VidxFile& video) {
  const bool tty = isatty(STDOUT_FILENO);
  if (tty) {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col && ws.ws_row &&
        (ws.ws_col < kWidth || ws.ws_row < kHeight / 2 + 1)) {
      std::fprintf(stderr,
                   "vidxview: the terminal is %d x %d characters; --play needs at least %d x %d\n",
                   ws.ws_col, ws.ws_row, kWidth, kHeight / 2 + 1);
      return 1;
    }
  }

  // A stop signal cuts the sleep short and ends the loop; the terminal is
  // then restored below.
  const StopSignals stop;
  const sigset_t stopset = stop_signal_set();

  if (tty) std::fputs("\x1b[?25l\x1b[2J", stdout);
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  GreyBuffer frame;
  int status = 0;
  for (int64_t i = 0; i < video.records && !stop.caught(); ++i) {
    if (vidx_read_frame(video, i, frame) != VidxStatus::ok) {
      status = 2;
      break;
    }
    const std::string text = render_text(frame);
    // A signal in the middle of a write could cut an escape sequence in two;
    // held back until the frame is out, it lands in the sleep instead.
    sigset_t old;
    sigprocmask(SIG_BLOCK, &stopset, &old);
    if (tty) std::fputs("\x1b[H", stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::printf("frame %" PRId64 "  %" PRId64 ".%" PRId64 " s / %" PRId64 ".%" PRId64 " s\n", i,
                i / kFramesPerSecond, i % kFramesPerSecond, video.records / kFramesPerSecond,
                video.records % kFramesPerSecond);
    std::fflush(stdout);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (std::ferror(stdout)) {
      status = 3;
      break;
    }
    if (!tty) continue;
    deadline.tv_nsec += 1000000000L / kFramesPerSecond;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_nsec -= 1000000000L;
      ++deadline.tv_sec;
    }
    while (!stop.caught() &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
  }
  if (tty) std::fputs("\x1b[0m\x1b[?25h", stdout);
  std::fflush(stdout);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const int status = parse_args(argc, argv, opt); status >= 0) return status;

  VidxFile video;
  const VidxStatus st = vidx_open(video, opt.input);
  if (st != VidxStatus::ok) {
    std::fprintf(stderr, "vidxview: %s\n", open_error(st, video, opt.input).c_str());
    return 1;
  }
  if (video.fields.framecount != video.records)
    std::fprintf(stderr,
                 "vidxview: note: the header announces %" PRIu32 " frames, the file holds %" PRId64
                 "; showing %" PRId64 "\n",
                 video.fields.framecount, video.records, video.records);

  int status = 0;
  std::string error;
  if (opt.action == Action::info) {
    std::printf("%s: %d shades, %" PRId64 " frames, %" PRId64 ".%" PRId64 " seconds\n",
                opt.input, static_cast<int>(video.shades), video.records,
                video.records / kFramesPerSecond, video.records % kFramesPerSecond);
  } else if (video.records == 0) {
    error = std::string(opt.input) + ": holds no frames, only a header";
  } else if (opt.output && same_file(opt.input, opt.output)) {
    error = std::string(opt.output) + " is the video file itself; choose another output name";
  } else if (opt.action == Action::gif) {
    if (write_gif(video, opt.output, opt.scale, error))
      std::printf("%s: %" PRId64 " frames of %d x %d\n", opt.output, video.records,
                  kWidth * opt.scale, kHeight * opt.scale);
  } else if (opt.action == Action::png) {
    const int every = opt.every ? opt.every : default_every(video.records);
    if (write_sheet(video, opt.output, opt.scale, every, error)) {
      const SheetLayout s = sheet_layout(video.records, every, opt.scale);
      std::printf("%s: %" PRId64 " frames (every %d), %" PRId64 " x %" PRId64 "\n", opt.output,
                  s.cells, every, s.width, s.height);
    }
  } else {
    const int played = play(video);
    if (played == 2) error = std::string(opt.input) + ": read error (did the file change?)";
    if (played == 3) error = "cannot write to standard output";
    if (played == 1) status = 1;
  }
  vidx_close(video);
  if (!error.empty()) {
    std::fprintf(stderr, "vidxview: %s\n", error.c_str());
    status = 1;
  }
  return status;
}
