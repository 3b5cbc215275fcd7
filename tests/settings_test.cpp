// Settings: option parsing, console text, and the fixed-point kernel.
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
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

// ---- Long options: the extensions ----

TEST(SettingsLongOptions, EngineAndTheLaterOneWins) {
  const struct {
    std::vector<std::string> options;
    Engine engine;
  } cases[] = {
      {{}, Engine::mencoder},
      {{"--engine=builtin"}, Engine::builtin},
      {{"--engine=mencoder"}, Engine::mencoder},
      {{"--engine=builtin", "--engine=mencoder"}, Engine::mencoder},
      {{"-g", "--engine=builtin", "-r", "4"}, Engine::builtin},
  };
  for (const auto& c : cases) {
    const Parsed p = parse_options(c.options);
    ASSERT_TRUE(p.ok) << c.options.size();
    EXPECT_EQ(p.settings.engine, c.engine) << c.options.size();
    EXPECT_EQ(p.console, "");
  }
}

TEST(SettingsLongOptions, DesignOptionsKeepTheirMeaning) {
  // A long option beside the design's options changes none of them.
  const Parsed plain = parse_options({"-g", "-r", "4", "-m", "0,0,0,0,0,0.5,0,0.5,0"});
  const Parsed extended = parse_options({"-g", "--fit=crop", "-r", "4", "-m", "0,0,0,0,0,0.5,0,0.5,0"});
  ASSERT_TRUE(plain.ok);
  ASSERT_TRUE(extended.ok);
  EXPECT_EQ(extended.settings.grey, plain.settings.grey);
  EXPECT_EQ(extended.settings.reduction, plain.settings.reduction);
  EXPECT_EQ(extended.settings.matrix, plain.settings.matrix);
  EXPECT_EQ(extended.console, plain.console);
  // In the movie path's place it is the movie path, as any argument is.
  const Parsed first = parse_exact({"movdith", "--fit=crop", "out.8xx", "in.mp4"});
  ASSERT_TRUE(first.ok);
  EXPECT_EQ(first.settings.moviepath, "--fit=crop");
  EXPECT_EQ(first.settings.fit, Fit::pad);
}

TEST(SettingsLongOptions, UnknownOrMalformedIsOneLineNeverIgnored) {
  const struct {
    std::vector<std::string> options;
    std::string console;
  } cases[] = {
      {{"--fitt=crop"}, "error unknown option --fitt=crop\n"},
      {{"--g"}, "error unknown option --g\n"},
      {{"--"}, "error unknown option --\n"},
      {{"---fit=crop"}, "error unknown option ---fit=crop\n"},
      {{"--FIT=crop"}, "error unknown option --FIT=crop\n"},
      {{"--fit"}, "error argument for --fit: pad, crop or stretch\n"},
      {{"--fit="}, "error argument for --fit: pad, crop or stretch\n"},
      {{"--fit=Crop"}, "error argument for --fit: pad, crop or stretch\n"},
      {{"--fit=crop=yes"}, "error argument for --fit: pad, crop or stretch\n"},
      // After a good option the first bad one stops the walk.
      {{"--fit=crop", "--stabel"}, "error unknown option --stabel\n"},
      {{"--engine"}, "error argument for --engine: mencoder or builtin\n"},
      {{"--engine=ffmpeg"}, "error argument for --engine: mencoder or builtin\n"},
      {{"--engin=builtin"}, "error unknown option --engin=builtin\n"},
      // The value of -r and -m is taken whatever it looks like.
      {{"-r", "--fit=crop"}, "error argument for reduction\n"},
      {{"-m", "--fit=crop"}, "error argument for dither matrix\n"},
  };
  for (const auto& c : cases) {
    const Parsed p = parse_options(c.options);
    EXPECT_FALSE(p.ok) << c.options.back();
    EXPECT_EQ(p.console, c.console) << c.options.back();
  }
}

TEST(SettingsTime, Forms) {
  const struct {
    const char* text;
    int64_t ms;  // -1: refused
  } cases[] = {
      {"0", 0},          {"2", 2000},         {"90", 90000},        {"2.5", 2500},
      {"2.25", 2250},    {"2.125", 2125},     {"0.001", 1},         {"1:30", 90000},
      {"01:02:03", 3723000}, {"1:02:03.5", 3723500}, {"0:59", 59000},  {"59:59", 3599000},
      {"100:00", 6000000},   {"999999999", 999999999000},
      // refused
      {"", -1},      {"-3", -1},    {"+3", -1},     {" 3", -1},     {"3 ", -1},   {"3s", -1},
      {"2.", -1},    {".5", -1},    {"2.1234", -1}, {"1:60", -1},   {"1:5:60", -1}, {"1:2:3:4", -1},
      {"1:", -1},    {":30", -1},   {"1::3", -1},   {"1:030", -1},  {"1.5:30", -1}, {"1e3", -1},
      {"1000000000", -1},  // ten digits of seconds
      // Found by the fuzzer: a run of digits long enough to overflow while
      // it was read, in every field and in the fraction.
      {"5:5555555555555555555555555555555555555555", -1},
      {"55555555555555555555555555555555555555555", -1},
      {"1:2:555555555555555555555555555555555555555", -1},
      {"1.555555555555555555555555555555555555555", -1},
  };
  for (const auto& c : cases) {
    int64_t ms = -7;
    const bool ok = read_time(c.text, ms);
    EXPECT_EQ(ok, c.ms >= 0) << '"' << c.text << '"';
    if (ok) {
      EXPECT_EQ(ms, c.ms) << c.text;
    }
  }
}

TEST(SettingsLongOptions, TrimAndFit) {
  const struct {
    std::vector<std::string> options;
    int64_t start_ms, duration_ms;
    Fit fit;
  } cases[] = {
      {{}, 0, kNoDuration, Fit::pad},
      {{"--start=2", "--duration=3"}, 2000, 3000, Fit::pad},
      {{"--start=1:00", "--duration=0.001"}, 60000, 1, Fit::pad},
      {{"--start=0"}, 0, kNoDuration, Fit::pad},
      {{"--fit=crop"}, 0, kNoDuration, Fit::crop},
      {{"--fit=stretch", "--fit=pad"}, 0, kNoDuration, Fit::pad},
      {{"--fit=stretch"}, 0, kNoDuration, Fit::stretch},
  };
  for (const auto& c : cases) {
    const Parsed p = parse_options(c.options);
    ASSERT_TRUE(p.ok) << p.console;
    EXPECT_EQ(p.settings.start_ms, c.start_ms);
    EXPECT_EQ(p.settings.duration_ms, c.duration_ms);
    EXPECT_EQ(p.settings.fit, c.fit);
  }
}

TEST(SettingsLongOptions, BadValuesGetOneLine) {
  const std::string start = "error argument for --start: a time in seconds, or [[HH:]MM:]SS[.fff]\n";
  const std::string duration = "error argument for --duration: a time above zero, in seconds or [[HH:]MM:]SS[.fff]\n";
  const std::string names =
      "matrix, floyd-steinberg, atkinson, jarvis-judice-ninke, stucki, burkes, sierra, two-row-sierra, "
      "sierra-lite, bayer or blue-noise\n";
  const struct {
    std::string option;
    std::string console;
  } cases[] = {
      {"--start=-1", start},      {"--start=1:99", start},     {"--start", start},     {"--start=", start},
      {"--duration=0", duration}, {"--duration=0.000", duration}, {"--duration=00:00", duration},
      {"--duration=-3", duration}, {"--duration=abc", duration},
      {"--fit=fill", "error argument for --fit: pad, crop or stretch\n"},
      {"--fit", "error argument for --fit: pad, crop or stretch\n"},
      {"--dither=floyd", "error argument for --dither: " + names},
      {"--dither=Atkinson", "error argument for --dither: " + names},
      {"--dither", "error argument for --dither: " + names},
      {"--stable=yes", "error argument for --stable: it takes no value\n"},
      {"--serpentine=", "error argument for --serpentine: it takes no value\n"},
  };
  for (const auto& c : cases) {
    const Parsed p = parse_options({c.option});
    EXPECT_FALSE(p.ok) << c.option;
    EXPECT_EQ(p.console, c.console) << c.option;
  }
}

TEST(SettingsLongOptions, DitherModesAndTheLaterOfMAndDitherWins) {
  const std::string kernel = "0,0,0,0,0,0.5,0,0.5,0";
  const struct {
    std::vector<std::string> options;
    DitherMode mode;
    bool serpentine, stable;
  } cases[] = {
      {{}, DitherMode::matrix, false, false},
      {{"--dither=atkinson"}, DitherMode::atkinson, false, false},
      {{"--dither=two-row-sierra", "--serpentine"}, DitherMode::two_row_sierra, true, false},
      {{"--dither=blue-noise", "--stable"}, DitherMode::blue_noise, false, true},
      {{"-m", kernel, "--dither=bayer"}, DitherMode::bayer, false, false},
      {{"--dither=bayer", "-m", kernel}, DitherMode::matrix, false, false},
      {{"--dither=bayer", "--dither=matrix"}, DitherMode::matrix, false, false},
      {{"--stable", "--serpentine", "--stable"}, DitherMode::matrix, true, true},
  };
  for (const auto& c : cases) {
    const Parsed p = parse_options(c.options);
    ASSERT_TRUE(p.ok) << p.console;
    EXPECT_EQ(p.settings.dither, c.mode) << c.options.size();
    EXPECT_EQ(p.settings.serpentine, c.serpentine);
    EXPECT_EQ(p.settings.stable, c.stable);
  }
  // -m still sets its kernel when a named one follows, for a later --dither=matrix.
  const Parsed p = parse_options({"-m", kernel, "--dither=stucki"});
  EXPECT_EQ(p.settings.matrix[5], 32768);
}

// ---- Tone options: each range at its ends and one step beyond ----

const std::string kGammaError =
    "error argument for --gamma: a number from 1 to 4, at most two decimals (2.2 for most movies; 1: off)\n";
const std::string kBrightnessError = "error argument for --brightness: a whole number from -100 to 100\n";
const std::string kContrastError = "error argument for --contrast: a whole number from -100 to 100\n";
const std::string kLevelsError = "error argument for --levels: auto or off\n";
const std::string kSharpenError = "error argument for --sharpen: a number from 0 to 5, at most two decimals\n";

// The setting each tone option writes, by option name.
int32_t tone_setting(const ConversionSettings& s, const std::string& option) {
  if (option.rfind("--gamma", 0) == 0) return s.gamma;
  if (option.rfind("--brightness", 0) == 0) return s.brightness;
  if (option.rfind("--contrast", 0) == 0) return s.contrast;
  if (option.rfind("--sharpen", 0) == 0) return s.sharpen;
  return s.auto_levels;
}

TEST(SettingsTone, Defaults) {
  const Parsed p = parse_options({});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.settings.gamma, 100);
  EXPECT_EQ(p.settings.brightness, 0);
  EXPECT_EQ(p.settings.contrast, 0);
  EXPECT_EQ(p.settings.sharpen, 0);
  EXPECT_FALSE(p.settings.auto_levels);
}

TEST(SettingsTone, AcceptedValues) {
  const struct {
    std::string option;
    int32_t value;
  } cases[] = {
      {"--gamma=1", 100},          {"--gamma=1.0", 100},         {"--gamma=1.01", 101},
      {"--gamma=2.2", 220},        {"--gamma=2.25", 225},        {"--gamma=02.20", 220},
      {"--gamma=3.99", 399},       {"--gamma=4", 400},           {"--gamma=4.00", 400},
      {"--brightness=-100", -100}, {"--brightness=-99", -99},    {"--brightness=0", 0},
      {"--brightness=+5", 5},      {"--brightness=-0", 0},       {"--brightness=99", 99},
      {"--brightness=100", 100},   {"--contrast=-100", -100},    {"--contrast=-99", -99},
      {"--contrast=99", 99},       {"--contrast=100", 100},      {"--sharpen=0", 0},
      {"--sharpen=0.01", 1},       {"--sharpen=1.5", 150},       {"--sharpen=4.99", 499},
      {"--sharpen=5", 500},        {"--sharpen=5.00", 500},      {"--levels=auto", 1},
      {"--levels=off", 0},
  };
  for (const auto& c : cases) {
    const Parsed p = parse_options({c.option});
    ASSERT_TRUE(p.ok) << c.option << ": " << p.console;
    EXPECT_EQ(tone_setting(p.settings, c.option), c.value) << c.option;
    EXPECT_EQ(p.console, "") << c.option;
  }
}

TEST(SettingsTone, RefusedValuesGetOneLine) {
  const struct {
    std::string option;
    const std::string& console;
  } cases[] = {
      {"--gamma=0.99", kGammaError},  {"--gamma=4.01", kGammaError},  {"--gamma=0", kGammaError},
      {"--gamma=2.255", kGammaError}, {"--gamma=2.", kGammaError},    {"--gamma=.5", kGammaError},
      {"--gamma=+2", kGammaError},    {"--gamma=-2", kGammaError},    {"--gamma=2,2", kGammaError},
      {"--gamma= 2", kGammaError},    {"--gamma=2 ", kGammaError},    {"--gamma=1e0", kGammaError},
      {"--gamma=", kGammaError},      {"--gamma", kGammaError},       {"--gamma=22222222222222222", kGammaError},
      {"--brightness=-101", kBrightnessError}, {"--brightness=101", kBrightnessError},
      {"--brightness=5.0", kBrightnessError},  {"--brightness=--5", kBrightnessError},
      {"--brightness=", kBrightnessError},     {"--brightness", kBrightnessError},
      {"--brightness=99999999999999999999", kBrightnessError},
      {"--contrast=-101", kContrastError},     {"--contrast=101", kContrastError},
      {"--contrast=x", kContrastError},
      {"--sharpen=5.01", kSharpenError},  {"--sharpen=-0.5", kSharpenError}, {"--sharpen=0.001", kSharpenError},
      {"--sharpen=6", kSharpenError},     {"--sharpen", kSharpenError},
      {"--levels=Auto", kLevelsError},    {"--levels=on", kLevelsError},     {"--levels=", kLevelsError},
      {"--levels", kLevelsError},
  };
  for (const auto& c : cases) {
    const Parsed p = parse_options({c.option});
    EXPECT_FALSE(p.ok) << c.option;
    EXPECT_EQ(p.console, c.console) << c.option;
  }
}

TEST(SettingsTone, TheLaterOneWinsAndTheDesignOptionsStay) {
  const Parsed p = parse_options({"--gamma=2.2", "-g", "--levels=auto", "--gamma=1.8", "-r", "4", "--levels=off",
                                  "--sharpen=1", "--brightness=10", "--contrast=-20"});
  ASSERT_TRUE(p.ok) << p.console;
  EXPECT_EQ(p.settings.gamma, 180);
  EXPECT_FALSE(p.settings.auto_levels);
  EXPECT_EQ(p.settings.sharpen, 100);
  EXPECT_EQ(p.settings.brightness, 10);
  EXPECT_EQ(p.settings.contrast, -20);
  EXPECT_EQ(p.settings.grey, 1);
  EXPECT_EQ(p.settings.reduction, 4);
}

// The table front ends draw their controls from: every option parse_settings
// reads is there once, and each default and choice it lists is one the
// command line takes.
TEST(SettingsOptionTable, ListsWhatTheCommandLineTakes) {
  std::set<std::string_view> names;
  for (const OptionInfo& o : option_table()) {
    EXPECT_TRUE(names.insert(o.name).second) << o.name << " twice";
    EXPECT_FALSE(o.help.empty()) << o.name;
    EXPECT_FALSE(o.label.empty()) << o.name << ": a form shows it in plain words";
    if (!o.words.empty()) {
      const size_t words = size_t(std::count(o.words.begin(), o.words.end(), '|')) + 1;
      const size_t names = o.kind == OptionKind::flag ? 2 : size_t(std::count(o.choices.begin(), o.choices.end(), ' ')) + 1;
      EXPECT_EQ(words, names) << o.name << ": a word for each value";
    }
    const std::string dash = o.long_option ? "--" + std::string(o.name) : "-" + std::string(o.name);
    std::vector<std::string> values;
    if (o.kind == OptionKind::choice) {
      std::istringstream words{std::string(o.choices)};
      for (std::string w; words >> w;) values.push_back(w);
      EXPECT_GE(values.size(), 2u) << o.name;
      EXPECT_EQ(values.front(), o.fallback) << o.name << ": the default is listed first";
    } else if (o.kind == OptionKind::number) {
      std::istringstream range{std::string(o.choices)};
      int least = 0, most = 0;
      ASSERT_TRUE(range >> least >> most) << o.name;
      values = {std::to_string(least), std::to_string(most)};
    } else if (o.kind == OptionKind::decimal) {
      // Its ends and one step inside them are taken; one step outside, and a
      // finer step, are not.
      std::istringstream range{std::string(o.choices)};
      std::string least, most, step;
      ASSERT_TRUE(range >> least >> most >> step) << o.name;
      EXPECT_EQ(step, "0.01") << o.name;
      EXPECT_EQ(least, o.fallback) << o.name;
      values = {least, most, std::to_string(std::stoi(least)) + ".01", std::to_string(std::stoi(most) - 1) + ".99"};
      const std::string below = std::stoi(least) > 0 ? std::to_string(std::stoi(least) - 1) + ".99" : "-0.01";
      for (const std::string& out : {below, std::to_string(std::stoi(most)) + ".01", least + ".005"})
        EXPECT_FALSE(parse_options({dash + "=" + out}).ok) << dash << "=" << out;
    } else if (!o.fallback.empty()) {
      values = {std::string(o.fallback)};
    }
    if (o.kind == OptionKind::flag) {
      EXPECT_TRUE(parse_options({dash}).ok) << dash;
      if (o.long_option) {
        EXPECT_FALSE(parse_options({dash + "=1"}).ok) << dash << " takes no value";
      }
    }
    for (const std::string& v : values) {
      const std::vector<std::string> args =
          o.long_option ? std::vector<std::string>{dash + "=" + v} : std::vector<std::string>{dash, v};
      EXPECT_TRUE(parse_options(args).ok) << dash << " " << v;
    }
  }
  for (const char* expected : {"g", "r", "m", "engine", "fit", "start", "duration", "dither", "serpentine", "stable",
                               "gamma", "brightness", "contrast", "levels", "sharpen"})
    EXPECT_TRUE(names.count(expected)) << expected;
  // The design's options first, as the usage text gives them.
  ASSERT_GE(option_table().size(), 3u);
  EXPECT_EQ(option_table()[0].name, "g");
  EXPECT_FALSE(option_table()[2].long_option);
  EXPECT_TRUE(option_table()[3].long_option);
}

}  // namespace
