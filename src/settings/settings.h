// Command-line parsing into the conversion settings every later stage reads.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

constexpr int kKernelSize = 9;  // 3 x 3, row-major, k = 3 * row + column

// What turns the movie into frames: mencoder and its temporary movie (the
// default), or the decoder built into movdith (--engine=builtin).
enum class Engine { mencoder, builtin };

// How the picture meets the 96 x 64 display: letterboxed with black bars
// (the default), scaled to cover it with the overflow cropped, or stretched.
enum class Fit { pad, crop, stretch };

constexpr int64_t kNoDuration = -1;  // the clip runs to the movie's end

// The tone options' ranges. Brightness and contrast are ImageMagick's
// -brightness-contrast: percent, -100 to 100, 0 changing nothing. Gamma and
// sharpen are read in hundredths.
constexpr int32_t kToneLimit = 100;    // brightness and contrast: -100 .. 100
constexpr int32_t kHundredths = 100;
constexpr int32_t kNoGamma = 100;      // --gamma=1: the dithering works on the grey values
constexpr int32_t kMaxGamma = 400;     // 4
constexpr int32_t kMaxSharpen = 500;   // 5

// How a frame is quantised (--dither=NAME): the 3 x 3 kernel of -m (the
// default, Floyd-Steinberg unless -m says otherwise), a named error-diffusion
// kernel, or ordered dithering with a mask.
enum class DitherMode : uint8_t {
  matrix,  // the settings' 3 x 3 kernel (-m, Floyd-Steinberg by default), default arithmetic
  floyd_steinberg,
  atkinson,
  jarvis_judice_ninke,
  stucki,
  burkes,
  sierra,
  two_row_sierra,
  sierra_lite,
  bayer,       // ordered, 8 x 8 Bayer matrix
  blue_noise,  // ordered, 64 x 64 void-and-cluster mask
};
constexpr int kDitherModeCount = 11;

// The command-line name of each mode ("matrix", "floyd-steinberg",
// "two-row-sierra", "blue-noise", ...), in DitherMode order.
std::string_view dither_mode_name(DitherMode mode);

// Looks a command-line name up; false, leaving `mode` alone, if there is no
// such mode. Names are matched exactly (lower case, words joined by '-').
bool dither_mode_from_name(std::string_view name, DitherMode& mode);


struct ConversionSettings {
  std::string moviepath;
  std::string outpath;
  int32_t grey = 0;       // count of -g; non-zero means four grey levels
  int32_t reduction = 0;  // 0 (off) or 2..255 levels of tone reduction
  std::array<float, kKernelSize> fmat = {0, 0, 0, 0, 0, 0.4375f, 0.1875f, 0.3125f, 0.0625f};
  std::array<int32_t, kKernelSize> matrix = {};  // fmat in 16.16 fixed point

  // Extensions, set by long options only.
  Engine engine = Engine::mencoder;
  Fit fit = Fit::pad;
  int64_t start_ms = 0;                  // the clip: from here (milliseconds of movie)
  int64_t duration_ms = kNoDuration;     // ... for this long, more than 0
  DitherMode dither = DitherMode::matrix;  // the later of -m and --dither wins
  bool serpentine = false;               // odd rows scanned right to left
  bool stable = false;                   // still pixels keep their shades from frame to frame
  // Tone, applied to the 96 x 64 grey before dithering, and the light the
  // dithering works in.
  int32_t brightness = 0;                // -100 .. 100
  int32_t contrast = 0;                  // -100 .. 100
  bool auto_levels = false;              // black and white points from each scene
  int32_t sharpen = 0;                   // unsharp mask amount in hundredths, 0 .. 500
  int32_t gamma = kNoGamma;              // the movie's transfer curve in hundredths, 100 .. 400
};

// What an option takes, for a front end that draws a control for each.
enum class OptionKind : uint8_t {
  flag,    // given or not
  choice,  // one of `choices`
  number,  // a whole number from `choices`' first to its second
  time,    // a time, as read_time reads it
  kernel,  // nine comma-separated weights
  decimal, // a number from `choices`' first to its second, in steps of its third
};

// One option of the command line as a person sees it: its name ("g", "r"
// and "m" for the design's options, long options without their "--"), what
// it takes, its default as typed, and one line of help; and, for a form that
// speaks to people who have never used the command line, its name in plain
// words, its values in plain words, and whether it is one most pictures
// leave alone.
struct OptionInfo {
  std::string_view name;
  bool long_option;
  OptionKind kind;
  std::string_view choices;   // choice: the names, space-separated; number: "least most"; decimal: "least most step"
  std::string_view fallback;  // the default, as it would be typed; empty when not given means off
  std::string_view help;
  std::string_view label;     // the option in a few plain words
  std::string_view words;     // choice: each name in plain words, '|'-separated, in `choices`' order;
                              // flag: "off|on" in plain words, or empty for a tick box
  bool seldom = false;        // changes few pictures: a form may fold it away
};

// Every option parse_settings reads, the design's first, in the order the
// usage and manual page give them.
std::span<const OptionInfo> option_table();

// Reads a time of "SS[.fff]", "MM:SS[.fff]" or "HH:MM:SS[.fff]" (seconds
// alone may be any number; after a colon, minutes and seconds are below 60)
// into milliseconds; false for anything else.
bool read_time(std::string_view text, int64_t& ms);

// Fills `settings` from the argument vector, printing the kernel display and
// any usage text or error line to `console`; false when the run must stop.
// Arguments after the output path that begin with "--" are long options
// ("--name" or "--name=value"), the program's extensions; one it does not
// know is an error, never ignored.
bool parse_settings(int argc, const char* const argv[], ConversionSettings& settings,
                    std::FILE* console);

// The program's entry into its settings: returns them, or prints the usage
// text or an error line on standard output and exits with status 1.
ConversionSettings parse(int argc, const char* const argv[]);
