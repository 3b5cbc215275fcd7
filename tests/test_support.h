// Helpers shared by the tests: running a program and capturing what it
// prints, scratch folders, whole-file reads and test movies made by ffmpeg.
#pragma once

#include <string>
#include <vector>

struct RunResult {
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
  int status = -1;  // exit status, or 128 + signal number if killed
};

// Runs argv[0] (looked up on PATH when it has no '/') in `cwd` with standard
// input from /dev/null. `path_prefix`, when given, is put in front of PATH.
RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd = ".",
                      const std::string& path_prefix = "");

// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the returned object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// Writes `path` with ffmpeg from its test source `lavfi` (for instance
// "testsrc2=size=640x480:rate=25:duration=2"), with extra output options;
// false if ffmpeg failed.
bool make_movie(const std::string& path, const std::string& lavfi,
                const std::vector<std::string>& output_options = {});

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
    "Example: movdith movie.mp4 movie.8xx -g -r 4\n";

// The kernel display for -m 0,0,0,0,0,0.5,0,0.5,0.
inline const std::string kHalfKernelDisplay =
    "[ 0.000000 , 0.000000 , 0.000000 ]\n"
    "[ 0.000000 , 0.000000 , 0.500000 ]\n"
    "[ 0.000000 , 0.500000 , 0.000000 ]\n";
