// Helpers shared by the tests (see test_support.h).
#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "frame/frame.h"
#include "util/bytes.h"
#include "util/stop_signals.h"
#include "videofile/videofile.h"

namespace {

// PATH with `dir` first, or `dir` alone.
std::string path_with(const std::string& dir, bool only) {
  const char* old = getenv("PATH");
  return only ? dir : dir + ":" + (old ? old : "/usr/bin:/bin");
}

// Starts `launch` in a process group of its own with the given standard
// output and error; the child's stop signals do their default.
pid_t spawn(const Launch& launch, int outfd, int errfd, int ignored_signal) {
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    for (int sig : kStopSignals) signal(sig, sig == ignored_signal ? SIG_IGN : SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int in = open("/dev/null", O_RDONLY);
    if (in < 0 || chdir(launch.cwd.c_str()) != 0) _exit(126);
    dup2(in, STDIN_FILENO);
    dup2(outfd, STDOUT_FILENO);
    dup2(errfd, STDERR_FILENO);
    if (!launch.path_prefix.empty()) setenv("PATH", path_with(launch.path_prefix, launch.path_only).c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : launch.argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid > 0) setpgid(pid, pid);  // so that the group exists before anyone signals it
  return pid;
}

int status_of(int wstatus) { return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus); }

}  // namespace

RunResult run_program(const Launch& launch, int timeout_seconds) {
  RunResult result;
  char outname[] = "/tmp/movdith_out_XXXXXX";
  char errname[] = "/tmp/movdith_err_XXXXXX";
  const int outfd = mkostemp(outname, O_CLOEXEC);
  const int errfd = mkostemp(errname, O_CLOEXEC);
  if (outfd >= 0 && errfd >= 0) {
    Background program{spawn(launch, outfd, errfd, 0), outname};
    int wstatus = 0;
    if (program.pid > 0) {
      finish(program, wstatus, timeout_seconds, &result.peak_rss_kib);
      result.status = status_of(wstatus);
    }
  }
  if (outfd >= 0) close(outfd);
  if (errfd >= 0) close(errfd);
  result.out = read_file(outname);
  result.err = read_file(errname);
  unlink(outname);
  unlink(errname);
  return result;
}

Background start_program(const Launch& launch, const std::string& out, int ignored_signal) {
  Background program;
  program.out = out;
  const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return program;
  program.pid = spawn(launch, fd, fd, ignored_signal);
  close(fd);
  return program;
}

namespace {

// Starts `launch` with standard output the write end of a new pipe of one
// page and standard error `err`; the read end comes back in `reader`, or is
// closed before the start if `closed`.
Background start_into_pipe(const Launch& launch, const std::string& err, bool closed, int& reader) {
  Background program;
  program.out = err;
  reader = -1;
  int fds[2];
  const int errfd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (errfd < 0) return program;
  if (pipe2(fds, O_CLOEXEC) == 0) {
    constexpr int kPage = 4096;
    if (closed) close(fds[0]);
    if (fcntl(fds[1], F_SETPIPE_SZ, kPage) == kPage) {
      program.pid = spawn(launch, fds[1], errfd, 0);
      if (!closed) reader = fds[0];
    } else if (!closed) {
      close(fds[0]);
    }
    close(fds[1]);
  }
  close(errfd);
  return program;
}

}  // namespace

Background start_piped(const Launch& launch, const std::string& err, int& reader) {
  return start_into_pipe(launch, err, false, reader);
}

Background start_on_closed_pipe(const Launch& launch, const std::string& err) {
  int reader = -1;
  return start_into_pipe(launch, err, true, reader);
}

std::string read_lines(int fd, int lines) {
  std::string text;
  char c = 0;
  while (lines > 0 && read(fd, &c, 1) == 1) {
    text += c;
    lines -= c == '\n';
  }
  return text;
}

bool finish(const Background& program, int& wstatus, int seconds, int64_t* peak_rss_kib) {
  rusage usage{};
  const bool ended =
      wait_until([&] { return wait4(program.pid, &wstatus, WNOHANG, &usage) == program.pid; }, seconds);
  if (!ended) {
    kill(-program.pid, SIGKILL);
    wait4(program.pid, &wstatus, 0, &usage);
  }
  if (peak_rss_kib) *peak_rss_kib = usage.ru_maxrss;
  return ended;
}

bool wait_until(const std::function<bool()>& ready, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ready();
}

TempDir::TempDir() {
  char name[] = "/tmp/movdith_test_XXXXXX";
  if (mkdtemp(name)) path_ = name;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::set<std::string> folder_names(const std::string& path) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path, ec)) names.insert(entry.path().filename());
  return names;
}

bool make_movie(const std::string& path, const std::string& lavfi,
                const std::vector<std::string>& output_options) {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", lavfi};
  argv.insert(argv.end(), output_options.begin(), output_options.end());
  argv.push_back(path);
  return run_program(argv).status == 0 && file_exists(path);
}

std::vector<std::string> ffmpeg_frames(const std::string& path, int width, int height, const std::string& vf) {
  const std::string out = path + ".bgr";
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-y", "-noautorotate", "-i", path};
  if (!vf.empty()) argv.insert(argv.end(), {"-vf", vf});
  argv.insert(argv.end(), {"-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "bgr24", out});
  if (run_program(argv).status != 0) return {};
  const std::string all = read_file(out);
  const size_t size = size_t(width) * height * 3;
  std::vector<std::string> frames;
  for (size_t at = 0; at + size <= all.size(); at += size) frames.push_back(all.substr(at, size));
  return frames;
}

std::vector<double> ffprobe_frame_times(const std::string& path, const std::string& entry) {
  const RunResult r = run_program({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                   "frame=" + entry, "-of", "csv=p=0", path});
  std::vector<double> times;
  std::istringstream in(r.out);
  for (double t; in >> t;) times.push_back(t);
  return times;
}

std::string write_standin_encoder(const std::string& dir, const std::string& probe, const std::string& transcode,
                                  const std::string& preamble) {
  mkdir(dir.c_str(), 0755);
  const std::string script = dir + "/mencoder";
  std::ofstream(script) << "#!/bin/sh\nGOOD='" << good_temp_movie() << "'\n"
                        << preamble << "\ncase \" $* \" in\n*\" -frames 1 \"*)\n"
                        << probe << "\n;;\n*)\n"
                        << transcode << "\n;;\nesac\n";
  chmod(script.c_str(), 0755);
  return dir;
}

PathPrefix::PathPrefix(const std::string& dir, bool only) {
  const char* old = getenv("PATH");
  had_ = old != nullptr;
  if (had_) old_ = old;
  setenv("PATH", path_with(dir, only).c_str(), 1);
}

PathPrefix::~PathPrefix() {
  if (had_) {
    setenv("PATH", old_.c_str(), 1);
  } else {
    unsetenv("PATH");
  }
}

WorkIn::WorkIn(const std::string& dir) {
  char buf[4096];
  if (getcwd(buf, sizeof buf)) old_ = buf;
  if (chdir(dir.c_str()) != 0) std::abort();
}

WorkIn::~WorkIn() {
  if (chdir(old_.c_str()) != 0) std::abort();
}

uint32_t header_count(const std::string& video) {
  return video.size() < size_t{kHeaderBytes} ? 0 : get_le32(bytes_of(video), kCountField);
}

std::string header_string(int32_t grey, uint32_t count) {
  const Header h = make_header(grey, count);
  return std::string(h.begin(), h.end());
}

std::string last_line(const std::string& out) {
  if (out.empty() || out.back() != '\n') return "";
  const std::string body = out.substr(0, out.size() - 1);
  const size_t start = body.find_last_of("\r\n");
  return start == std::string::npos ? body : body.substr(start + 1);
}

const std::string& good_temp_movie() {
  static TempDir dir;
  static const std::string path = dir / "good.avi";
  static const bool made =
      make_movie(path, "testsrc2=size=96x64:rate=10:duration=" + std::to_string(kGoodMovieFrames / 10),
                 {"-c:v", "msmpeg4v2"});
  if (!made) std::abort();
  return path;
}

std::string size_lines(int in_w, int in_h, int out_w, int out_h) {
  return "In Width: " + std::to_string(in_w) + "\nIn Height: " + std::to_string(in_h) +
         "\nOut Width: " + std::to_string(out_w) + "\nOut Height: " + std::to_string(out_h) + "\n";
}

std::string frame_loop_text(uint32_t length, uint32_t records, const std::string& last) {
  char line[96];
  std::snprintf(line, sizeof line, "Frame Rate = 10.00 hz\nLength = %0.0f seconds\n", length / 10.0);
  std::string text = line;
  for (uint32_t i = 0; i < records; ++i) {
    std::snprintf(line, sizeof line, "Phase 2: %u%%\r", 100 * i / length);
    text += line;
  }
  return text + last;
}

std::string patched_good_movie(const std::vector<AviPatch>& patches, bool cut_index) {
  std::string avi = read_file(good_temp_movie());
  for (const AviPatch& p : patches) {
    const size_t at = avi.find(p.chunk);
    if (at == std::string::npos) std::abort();
    for (int i = 0; i < 4; ++i) avi[at + 8 + p.offset + i] = static_cast<char>(p.value >> (8 * i));
  }
  if (cut_index) avi.resize(avi.find("idx1"));
  return avi;
}

size_t avi_frame_end(const std::string& avi, uint32_t n) {
  // Index entries are 16 bytes: id, flags, offset from the "movi" list's
  // type, size.
  const size_t movi = avi.find("movi");
  const size_t idx = avi.find("idx1");
  if (movi == std::string::npos || idx == std::string::npos) return 0;
  const size_t entry = idx + 8 + 16 * size_t(n);
  if (entry + 16 > avi.size()) return 0;
  const auto bytes = bytes_of(avi);
  return movi + get_le32(bytes, entry + 8) + 8 + get_le32(bytes, entry + 12);
}

std::vector<GreyBuffer> make_frames(int count, int32_t grey, uint32_t seed) {
  std::vector<GreyBuffer> frames(count);
  for (GreyBuffer& f : frames)
    for (uint8_t& q : f) {
      seed = seed * 1664525u + 1013904223u;
      const int r = seed >> 24;
      q = grey ? kShadeLevels[r % 4] : (r & 1 ? kWhite : kBlack);
    }
  return frames;
}

bool write_video(const std::string& path, const std::vector<GreyBuffer>& frames, int32_t grey,
                 uint32_t framecount) {
  VideoWriter out;
  if (!out.open(path.c_str()) || !out.write_header(grey, framecount)) return false;
  const Shades shades = shades_for(grey);
  Plane final{}, final2{};
  for (const GreyBuffer& f : frames) {
    pack(f, shades, final, final2);
    if (!out.write_record(final, final2, shades)) return false;
  }
  return out.finish(framecount);
}

std::vector<BadVideoFile> bad_video_files() {
  const std::string mono = header_string(0, 2);
  const std::string grey = header_string(1, 2);
  std::string longer = mono, offset = mono, fixed = mono, fixed14 = mono;
  longer[8] = 14;
  offset[19] = 24;
  fixed[11] = 0x0D;  // a text-mode writer's CR before the LF
  fixed14[14] = 0;
  const std::string plane(kPlaneBytes, '\x55');
  return {
      {"empty", "", VidxStatus::empty, "empty file, not a video"},
      {"text", "hello, world\n", VidxStatus::foreign,
       "not a video file (it does not begin with **VIDX**)"},
      {"png", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(40, '\0'), VidxStatus::foreign,
       "not a video file (it does not begin with **VIDX**)"},
      {"lowercase", "**vidx**" + mono.substr(8) + plane, VidxStatus::foreign,
       "not a video file (it does not begin with **VIDX**)"},
      {"cut header", mono.substr(0, 22), VidxStatus::short_header,
       "truncated: the file ends inside its 23-byte header"},
      {"magic only", mono.substr(0, 8), VidxStatus::short_header,
       "truncated: the file ends inside its 23-byte header"},
      {"length 14", longer + plane, VidxStatus::bad_lengths,
       "damaged header: length fields read 14 and 23, expected 13 and 23"},
      {"offset 24", offset + plane, VidxStatus::bad_lengths,
       "damaged header: length fields read 13 and 24, expected 13 and 23"},
      {"fixed byte 11", fixed + plane, VidxStatus::bad_fixed,
       "damaged header: bytes 10, 11, 12 and 14 must be 01 0A 00 0A"},
      {"fixed byte 14", fixed14 + plane, VidxStatus::bad_fixed,
       "damaged header: bytes 10, 11, 12 and 14 must be 01 0A 00 0A"},
      {"cut record", mono + plane + plane.substr(0, 700), VidxStatus::partial_record,
       "truncated: 700 bytes after 1 whole 768-byte records"},
      {"one byte over", mono + plane + "x", VidxStatus::partial_record,
       "truncated: 1 bytes after 1 whole 768-byte records"},
      // A grey header over monochrome-sized records: half a grey record.
      {"grey half record", grey + plane + plane + plane, VidxStatus::partial_record,
       "truncated: 768 bytes after 1 whole 1536-byte records"},
  };
}


const TempDir& scratch() {
  static const TempDir dir;
  return dir;
}

bool set_display_matrix(const std::string& path, const DisplayMatrix& m) {
  std::string mov = read_file(path);
  const size_t tkhd = mov.find("tkhd");
  if (tkhd == std::string::npos) return false;
  const size_t at = tkhd + (mov[tkhd + 4] == 1 ? 56 : 44);  // version 1 has 64-bit times
  for (int i = 0; i < 9; ++i)
    for (int b = 0; b < 4; ++b) mov[at + 4 * i + b] = static_cast<char>(uint32_t(m[i]) >> (8 * (3 - b)));  // big-endian
  write_bytes(path, mov);
  return true;
}
