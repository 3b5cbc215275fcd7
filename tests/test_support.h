// Helpers shared by the tests: running a program and capturing what it
// prints, scratch folders and files, test movies made by ffmpeg, stand-in
// encoders, and reading the video files the tool writes.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "raster.h"
#include "util/non_copyable.h"
#include "version.h"
#include "videofile/videofile.h"

struct RunResult {
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
  int status = -1;  // exit status, or 128 + signal number if killed
  int64_t peak_rss_kib = 0;  // the program's peak resident memory (the largest of it and its children)
};

// How to start a program: argv[0] is looked up on PATH when it has no '/';
// standard input is /dev/null.
struct Launch {
  std::vector<std::string> argv;
  std::string cwd = ".";
  std::string path_prefix;  // put in front of PATH when not empty
  bool path_only = false;   // ... or PATH is that folder alone
};

// Runs a program to its end and captures its output. One that has not ended
// after `timeout_seconds` is killed with its process group, so a hang fails
// the test (status 128 + 9) instead of stopping the suite.
RunResult run_program(const Launch& launch, int timeout_seconds = 300);
inline RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd = ".",
                             const std::string& path_prefix = "") {
  return run_program(Launch{argv, cwd, path_prefix});
}

// A program started in the background in a process group of its own, as a
// shell with job control starts a foreground job, its standard output and
// error going to `out`. The stop signals do their default (but
// `ignored_signal`, ignored as nohup does) and none is blocked, whatever the
// test runner was started with.
struct Background {
  pid_t pid = -1;
  std::string out;
};
Background start_program(const Launch& launch, const std::string& out, int ignored_signal = 0);

// As start_program, but standard output goes into a pipe of one page (4096
// bytes), whose read end comes back in `reader` (the caller closes it), and
// standard error to `err`. Output beyond what the pipe holds waits for the
// reader: a program with more to say cannot end before the reader closes.
Background start_piped(const Launch& launch, const std::string& err, int& reader);
// As start_piped, with the pipe's read end closed before the program starts:
// its first write to standard output finds no reader.
Background start_on_closed_pipe(const Launch& launch, const std::string& err);

// Reads from `fd` up to and with the `lines`-th newline, a byte at a time,
// so that nothing past it is taken out of the pipe.
std::string read_lines(int fd, int lines);

// Waits for a background program to end; one that will not end within
// `seconds` is killed with its whole group. False if it had to be killed.
// Its peak resident memory goes to `peak_rss_kib` when asked for.
bool finish(const Background& program, int& wstatus, int seconds = 60, int64_t* peak_rss_kib = nullptr);

// Polls `ready` every 20 ms for up to `seconds`.
bool wait_until(const std::function<bool()>& ready, int seconds);

// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the returned object goes away.
class TempDir : NonCopyable {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_bytes(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
// The names in a folder, without "." and "..".
std::set<std::string> folder_names(const std::string& path);

// A folder for files made once and shared by the tests of one program.
const TempDir& scratch();

// A string's bytes as the byte span the code under test reads.
inline std::span<const uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Writes `path` with ffmpeg from its test source `lavfi` (for instance
// "testsrc2=size=640x480:rate=25:duration=2"), with extra output options;
// false if ffmpeg failed.
bool make_movie(const std::string& path, const std::string& lavfi,
                const std::vector<std::string>& output_options = {});

// ffmpeg's decode of every frame of `path` (through `vf` if given), each
// width x height pixels of blue-green-red, top row first; a display matrix
// is left alone.
std::vector<std::string> ffmpeg_frames(const std::string& path, int width, int height, const std::string& vf = "");

// ffprobe's `entry` (best_effort_timestamp, or ..._time in seconds) of each
// frame of `path`'s first video stream, in decoding order.
std::vector<double> ffprobe_frame_times(const std::string& path, const std::string& entry);

// Writes an executable `mencoder` into `dir` and returns `dir`, for putting
// first on PATH. On the probe run (the one asked for a single frame) it runs
// the shell commands `probe`, on the transcoding run `transcode`, both after
// `preamble`, in the run's working folder, with $GOOD naming the good
// temporary movie below.
std::string write_standin_encoder(const std::string& dir, const std::string& probe, const std::string& transcode,
                                  const std::string& preamble = "");
// A stand-in doing `both` on either run.
inline std::string write_standin_encoder(const std::string& dir, const std::string& both) {
  return write_standin_encoder(dir, both, both);
}

// Puts `dir` in front of this process's PATH (or makes it the only folder on
// it) for the life of the object, for tests that start the encoder from
// inside the test program.
class PathPrefix : NonCopyable {
 public:
  explicit PathPrefix(const std::string& dir, bool only = false);
  ~PathPrefix();

 private:
  bool had_ = false;
  std::string old_;
};

// Works in `dir` for the life of the object: the encoder runs write into the
// current folder.
class WorkIn : NonCopyable {
 public:
  explicit WorkIn(const std::string& dir);
  ~WorkIn();

 private:
  std::string old_;
};

// The frame count in a video file's header, 0 if the file is shorter than one.
uint32_t header_count(const std::string& video);
// A header's bytes as a string, to compare with a file's beginning.
std::string header_string(int32_t grey, uint32_t count);

// The last line of `out`, after the last carriage return or newline before
// its closing newline; empty if `out` does not end with a newline.
std::string last_line(const std::string& out);

// What the tool prints for a command line that is too short.
inline const std::string kUsageText =
    "Usage: MOVDITH Moviein fileout.8xx [options]\n"
    "The outfile should end in .8xx\n"
    "Options:\n"
    " -g\t\tSet to 4 level grey scale(doubles output size)\n"
    " -r num\t\treduces colors prior to dither(for less noise)\n"
    " -m list\tlist of 9 floats that create the matrix to dither by\n"
    "  Suggested:\n"
    "\t -m \"0,0,0,0,0,0.333333,0,0.333333,0\"\n"
    "\t -m \"0,0,0,0,0,0.4375,0.1875,0.3125,0.0625\"\n"
    "\n"
    "movdith " MOVDITH_VERSION
    " - example: movdith movie.mp4 movie.8xx -g -r 4 - more in man movdith\n";

// The kernel display for -m 0,0,0,0,0,0.5,0,0.5,0.
inline const std::string kHalfKernelDisplay =
    "[ 0.000000 , 0.000000 , 0.000000 ]\n"
    "[ 0.000000 , 0.000000 , 0.500000 ]\n"
    "[ 0.000000 , 0.500000 , 0.000000 ]\n";

// A temporary movie as the real encoder writes it (96 x 64, 10 frames per
// second, MS-MPEG4 v2, kGoodMovieFrames frames), made once per test program.
constexpr uint32_t kGoodMovieFrames = 30;
const std::string& good_temp_movie();
// A stand-in step that hands the run the good temporary movie (every
// stand-in knows its path as $GOOD).
inline const std::string kCopyGood = "cp \"$GOOD\" movdithtemp.avi";

// The console lines of a run up to the transcoding run, for a picture of
// in_w x in_h scaled to out_w x out_h.
std::string size_lines(int in_w, int in_h, int out_w, int out_h);
inline const std::string kWaitLine = "Please Wait, this may take a few minutes...\n";

// The console text of a frame loop over a 10 frames-per-second source
// `length` frames long that wrote `records` records, from the frame-rate
// report on, then `last` (the closing lines, or a failure's line).
std::string frame_loop_text(uint32_t length, uint32_t records, const std::string& last);
// The same from "Phase 1: 100%" on, as the mencoder engine prints it.
inline std::string loop_text(uint32_t length, uint32_t records, const std::string& last) {
  return "Phase 1: 100%\n" + frame_loop_text(length, records, last);
}

// One 32-bit field of an AVI header chunk, by its offset in the chunk's data.
struct AviPatch {
  const char* chunk;  // "avih", "strh" or "strf"
  size_t offset;
  uint32_t value;
};
// Field offsets in the chunks' data: the main header, the stream header and
// the stream's BITMAPINFOHEADER.
constexpr size_t kAvihMicroSecPerFrame = 0, kAvihTotalFrames = 16, kAvihWidth = 32, kAvihHeight = 36;
constexpr size_t kStrhScale = 20, kStrhRate = 24, kStrhLength = 32;
constexpr size_t kBihWidth = 4, kBihHeight = 8;

// The good temporary movie with `patches` applied; cut before its index when
// asked.
std::string patched_good_movie(const std::vector<AviPatch>& patches, bool cut_index = false);
// The end of frame `n`'s chunk in an AVI, from its index; 0 if there is none.
size_t avi_frame_end(const std::string& avi, uint32_t n);

// Pictures in `grey`'s shades (two, or four when grey is non-zero), from a
// small LCG so that every frame differs and every pixel position matters.
std::vector<GreyBuffer> make_frames(int count, int32_t grey, uint32_t seed);
// Packs and writes `frames` as a video file with the converter's own stages,
// under a header announcing `framecount`; false if writing failed.
bool write_video(const std::string& path, const std::vector<GreyBuffer>& frames, int32_t grey,
                 uint32_t framecount);

// Damaged and foreign video files, with what the reader says of each and the
// line vidxview prints after "vidxview: <path>: ".
struct BadVideoFile {
  const char* name;
  std::string bytes;
  VidxStatus status;
  const char* line;  // what vidxview says, after "vidxview: <path>: "
};

std::vector<BadVideoFile> bad_video_files();

// A display matrix as QuickTime stores it: 16.16 entries, 2.30 in the corner.
using DisplayMatrix = std::array<int32_t, 9>;
constexpr int32_t kMatrixOne = 1 << 16;
constexpr int32_t kMatrixCorner = 1 << 30;
// The matrices of a picture turned a quarter clockwise and anticlockwise.
constexpr DisplayMatrix kQuarterClockwise = {0, kMatrixOne, 0, -kMatrixOne, 0, 0, 0, 0, kMatrixCorner};
constexpr DisplayMatrix kQuarterAnticlockwise = {0, -kMatrixOne, 0, kMatrixOne, 0, 0, 0, 0, kMatrixCorner};

// Writes a display matrix into a QuickTime movie's track header, the way a
// phone or an editing program stores rotation and mirroring; false if the
// file has no track header.
bool set_display_matrix(const std::string& path, const DisplayMatrix& m);
