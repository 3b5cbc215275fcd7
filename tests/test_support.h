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
