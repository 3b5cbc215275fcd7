// The built tool's command line: usage text, option errors and their exit
// status, and the kernel display that comes before any other output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::vector<std::string> command(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {MOVDITH_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

TEST(CliUsage, ShortCommandLinePrintsUsage) {
  const std::vector<std::vector<std::string>> cases = {{}, {"movie.mp4"}};
  for (const auto& args : cases) {
    TempDir dir;
    RunResult r = run_program(command(args), dir.path());
    EXPECT_EQ(r.status, 1) << args.size();
    EXPECT_EQ(r.out, kUsageText) << args.size();
    EXPECT_EQ(r.err, "") << args.size();
    EXPECT_FALSE(file_exists(dir / "error.txt"));  // nothing ran before the usage text
  }
}

TEST(CliOptions, ErrorsGetOneLineAndStatus1) {
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"in.mp4", "out.8xx", "-r"}, "error argument for reduction\n"},
      {{"in.mp4", "out.8xx", "-r", "abc"}, "error argument for reduction\n"},
      {{"in.mp4", "out.8xx", "-g", "-r", ""}, "error argument for reduction\n"},
      {{"in.mp4", "out.8xx", "-m"}, "error argument for dither matrix\n"},
      {{"in.mp4", "out.8xx", "-m", "1,2,3"}, "error argument for dither matrix\n"},
      {{"in.mp4", "out.8xx", "-m", "0,0,0,0,0,nan,0,0,0"}, "error argument for dither matrix\n"},
      {{"in.mp4", "out.8xx", "-m", "0,0,0,0,0,40000,0,0,0"}, "error argument for dither matrix\n"},
      {{"in.mp4", "out.8xx", "-m", "0,0,0,0,0,0.5,0,0.5,0", "-r", "x"},
       kHalfKernelDisplay + "error argument for reduction\n"},
      // A mistyped extension stops the run before anything is touched.
      {{"in.mp4", "out.8xx", "-g", "--fitt=crop"}, "error unknown option --fitt=crop\n"},
      {{"in.mp4", "out.8xx", "--fit=fill"}, "error argument for --fit: pad, crop or stretch\n"},
      {{"in.mp4", "out.8xx", "--start=1:75"}, "error argument for --start: a time in seconds, or [[HH:]MM:]SS[.fff]\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    RunResult r = run_program(command(c.args), dir.path());
    EXPECT_EQ(r.status, 1) << c.args.back();
    EXPECT_EQ(r.out, c.out) << c.args.back();
    EXPECT_FALSE(file_exists(dir / "out.8xx")) << c.args.back();
    EXPECT_FALSE(file_exists(dir / "error.txt")) << c.args.back();
  }
}

TEST(CliOptions, KernelDisplayComesFirst) {
  TempDir dir;
  RunResult r = run_program(
      command({"no-such-movie.mp4", "out.8xx", "-m", "0,0,0,0,0,0.5,0,0.5,0"}), dir.path());
  EXPECT_EQ(r.out.substr(0, kHalfKernelDisplay.size()), kHalfKernelDisplay);
}

}  // namespace
