// Settings: option parsing, console text, and the fixed-point kernel.
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Parsed {
  bool ok = false;
  ConversionSettings settings;
  std::string console;
};

// Runs parse_settings on exactly `args` (program name included) and captures
// what it prints.
Parsed parse_exact(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  char* buf = nullptr;
  size_t len = 0;
  std::FILE* console = open_memstream(&buf, &len);
  Parsed p;
  p.ok = parse_settings(static_cast<int>(args.size()), argv.data(), p.settings, console);
  std::fclose(console);
  p.console.assign(buf, len);
  std::free(buf);
  return p;
}

// The usual command line with `options` after the two paths.
Parsed parse_options(const std::vector<std::string>& options) {
  std::vector<std::string> args = {"movdith", "movie.mp4", "movie.8xx"};
  args.insert(args.end(), options.begin(), options.end());
  return parse_exact(args);
}

const std::string kReductionError = "error argument for reduction\n";
const std::string kMatrixError = "error argument for dither matrix\n";

using Matrix = std::array<int32_t, kKernelSize>;
const Matrix kFloydSteinberg = {0, 0, 0, 0, 0, 28672, 12288, 20480, 4096};

TEST(SettingsPaths, TooShortCommandLinePrintsUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"movdith"}, {"movdith", "movie.mp4"}};
  for (const auto& args : cases) {
    Parsed p = parse_exact(args);
    EXPECT_FALSE(p.ok) << args.size();
    EXPECT_EQ(p.console, kUsageText) << args.size();
  }
}

TEST(SettingsPaths, TwoPathsGiveDefaults) {
  Parsed p = parse_exact({"movdith", "in.avi", "out.bin"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.console, "");
  EXPECT_EQ(p.settings.moviepath, "in.avi");
  EXPECT_EQ(p.settings.outpath, "out.bin");  // the extension is never checked
  EXPECT_EQ(p.settings.grey, 0);
  EXPECT_EQ(p.settings.reduction, 0);
  EXPECT_EQ(p.settings.matrix, kFloydSteinberg);
}

TEST(SettingsReduction, ReductionValues) {
  const struct {
    const char* value;
    int32_t reduction;
  } cases[] = {
      {"1", 0},           {"0", 0},          {"-3", 0},          {"256", 0},
      {"255", 255},       {"2", 2},          {"4x", 4},          {"  7", 7},
      {"\t+9", 9},        {"010", 10},       {"4.9", 4},         {"99999999999", 0},
      {"2147483647", 0},  {"2147483648", 0}, {"-2147483648", 0}, {"-2147483649", 0},
      {"4294967300", 0},  // wraps to 4 if the digits are narrowed to 32 bits
      {"000000000000000000000000000000005", 5},
  };
  for (const auto& c : cases) {
    Parsed p = parse_options({"-r", c.value});
    ASSERT_TRUE(p.ok) << c.value;
    EXPECT_EQ(p.settings.reduction, c.reduction) << c.value;
    EXPECT_EQ(p.console, "") << c.value;
  }
}

TEST(SettingsReduction, ReductionWithoutIntegerFails) {
  const std::vector<std::vector<std::string>> cases = {
      {"-r"}, {"-r", ""}, {"-r", "abc"}, {"-r", "-"}, {"-r", "+"}, {"-r", " "},
      {"-r", "x4"}, {"-r", "- 4"}, {"-r", "-g"}, {"-g", "-r", "4", "-r"},
  };
  for (const auto& options : cases) {
    Parsed p = parse_options(options);
    EXPECT_FALSE(p.ok) << options.back();
    EXPECT_EQ(p.console, kReductionError) << options.back();
  }
}

TEST(SettingsReduction, LaterReductionReplacesEarlier) {
  EXPECT_EQ(parse_options({"-r", "4", "-r", "8"}).settings.reduction, 8);
  EXPECT_EQ(parse_options({"-r", "4", "-r", "1"}).settings.reduction, 0);
}

TEST(SettingsOptions, OptionValueIsConsumed) {
  // "-3" is the value of -r, not an option; "-g" after it still counts.
  Parsed p = parse_options({"-r", "-3", "-g"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.settings.reduction, 0);
  EXPECT_EQ(p.settings.grey, 1);
  p = parse_options({"-r", "6", "g", "-g"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.settings.reduction, 6);
  EXPECT_EQ(p.settings.grey, 1);
}

TEST(SettingsOptions, GreyCountAndIgnoredArguments) {
  const struct {
    std::vector<std::string> options;
    int32_t grey;
  } cases[] = {
      {{"-g"}, 1},
      {{"-g", "-g"}, 2},
      {{"-grey"}, 1},
      {{"-x"}, 0},
      {{"-"}, 0},
      {{"g"}, 0},
      {{""}, 0},
      {{"--g"}, 0},
      {{"-G"}, 0},
      {{"-g", "extra", "-x", "-", "-gg"}, 2},
  };
  for (const auto& c : cases) {
    Parsed p = parse_options(c.options);
    ASSERT_TRUE(p.ok) << c.options.front();
    EXPECT_EQ(p.settings.grey, c.grey) << c.options.front();
    EXPECT_EQ(p.settings.reduction, 0);
    EXPECT_EQ(p.settings.matrix, kFloydSteinberg);
    EXPECT_EQ(p.console, "");
  }
}

TEST(SettingsPaths, PathsAreNeverOptions) {
  Parsed p = parse_exact({"movdith", "-g", "out.8xx", "skipped"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.settings.moviepath, "-g");
  EXPECT_EQ(p.settings.outpath, "out.8xx");
  EXPECT_EQ(p.settings.grey, 0);

  p = parse_exact({"movdith", "-r", "-m", "-g"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.settings.moviepath, "-r");
  EXPECT_EQ(p.settings.outpath, "-m");
  EXPECT_EQ(p.settings.grey, 1);
}

TEST(SettingsKernel, HalfKernelDisplayAndFixedPoint) {
  Parsed p = parse_options({"-m", "0,0,0,0,0,0.5,0,0.5,0"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.console, kHalfKernelDisplay);
  EXPECT_EQ(p.settings.matrix, (Matrix{0, 0, 0, 0, 0, 32768, 0, 32768, 0}));
}

TEST(SettingsKernel, AcceptedKernelLists) {
  const struct {
    const char* list;
    Matrix matrix;
  } cases[] = {
      {"0,0,0,0,0,0.4375,0.1875,0.3125,0.0625", kFloydSteinberg},
      {"0,0,0,0,0,0.333333,0,0.333333,0", {0, 0, 0, 0, 0, 21845, 0, 21845, 0}},
      {"0,0,0,0,0,0.5,0,0.5,0,", {0, 0, 0, 0, 0, 32768, 0, 32768, 0}},
      {"0,0,0,0,0,0.5,0,0.5,0,7,8", {0, 0, 0, 0, 0, 32768, 0, 32768, 0}},
      {"0,0,0,0,0,0.5,0,0.5,0 junk", {0, 0, 0, 0, 0, 32768, 0, 32768, 0}},
      {" 0, 0,\t0,0,0, 0.5,0,  0.5,0", {0, 0, 0, 0, 0, 32768, 0, 32768, 0}},
      {"-0.25,0,0,0,0,1,0,0,0", {-16384, 0, 0, 0, 0, 65536, 0, 0, 0}},
      {"1e-1,+2,0,0,0,0,0,0,-1.5", {6553, 131072, 0, 0, 0, 0, 0, 0, -98304}},
      {"0.00001,-0.00001,0,0,0,0,0,0,0", {0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"32767.5,-32767.5,0,0,0,0,0,0,0", {2147450880, -2147450880, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    Parsed p = parse_options({"-m", c.list});
    ASSERT_TRUE(p.ok) << c.list;
    EXPECT_EQ(p.settings.matrix, c.matrix) << c.list;
    EXPECT_EQ(p.console.substr(0, 2), "[ ") << c.list;
  }
}

TEST(SettingsKernel, RejectedKernelLists) {
  const std::vector<std::vector<std::string>> cases = {
      {"-m"},
      {"-m", ""},
      {"-m", "1,2,3"},
      {"-m", "0,0,0,0,0,0.5,0,0.5"},
      {"-m", "0,0,0,0,0,0.5,0,0.5,"},
      {"-m", "0,0,0,0,0,0.5 ,0,0.5,0"},  // the comma must follow the number
      {"-m", "0;0;0;0;0;0.5;0;0.5;0"},
      {"-m", "0,0,0,0,0,,0,0.5,0"},
      {"-m", "nan,0,0,0,0,0,0,0,0"},
      {"-m", "0,0,0,0,0,0,0,0,inf"},
      {"-m", "0,0,0,0,-infinity,0,0,0,0"},
      {"-m", "0,0,0,0,0,40000,0,0,0"},
      {"-m", "0,0,0,0,0,32768,0,0,0"},
      {"-m", "0,0,0,0,0,-32768,0,0,0"},
      {"-m", "0,0,0,0,0,1e39,0,0,0"},  // beyond float: strtof gives infinity
      {"-m", "0,0,0,0,0,1e,0,0,0"},
  };
  for (const auto& options : cases) {
    Parsed p = parse_options(options);
    EXPECT_FALSE(p.ok) << options.back();
    EXPECT_EQ(p.console, kMatrixError) << options.back();  // no kernel display
  }
}

TEST(SettingsKernel, FailureAfterKernelKeepsItsDisplay) {
  Parsed p = parse_options({"-m", "0,0,0,0,0,0.5,0,0.5,0", "-r", "many"});
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.console, kHalfKernelDisplay + kReductionError);

  p = parse_options({"-m", "0,0,0,0,0,0.5,0,0.5,0", "-m", "1,2,3"});
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.console, kHalfKernelDisplay + kMatrixError);
}

TEST(SettingsKernel, LaterKernelReplacesEarlier) {
  Parsed p = parse_options({"-m", "0,0,0,0,0,0.5,0,0.5,0", "-m", "1,0,0,0,0,0,0,0,0.25"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.console, kHalfKernelDisplay +
                           "[ 1.000000 , 0.000000 , 0.000000 ]\n"
                           "[ 0.000000 , 0.000000 , 0.000000 ]\n"
                           "[ 0.000000 , 0.000000 , 0.250000 ]\n");
  EXPECT_EQ(p.settings.matrix, (Matrix{65536, 0, 0, 0, 0, 0, 0, 0, 16384}));
}

TEST(SettingsOptions, StartsFromDefaultsEveryCall) {
  const char* first[] = {"movdith", "a", "b", "-g", "-r", "9", "-m", "1,1,1,1,1,1,1,1,1", nullptr};
  const char* second[] = {"movdith", "c", "d", nullptr};
  ConversionSettings s;
  std::FILE* sink = std::fopen("/dev/null", "w");
  ASSERT_NE(sink, nullptr);
  ASSERT_TRUE(parse_settings(8, first, s, sink));
  ASSERT_TRUE(parse_settings(3, second, s, sink));
  std::fclose(sink);
  EXPECT_EQ(s.moviepath, "c");
  EXPECT_EQ(s.grey, 0);
  EXPECT_EQ(s.reduction, 0);
  EXPECT_EQ(s.matrix, kFloydSteinberg);
}

}  // namespace
