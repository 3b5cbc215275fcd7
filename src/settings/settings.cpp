// Command-line parsing: usage text, the -g/-r/-m options, and the dither
// kernel in the 16.16 form the dithering stage works in.
#include "settings/settings.h"

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "raster.h"
#include "util/numbers.h"
#include "version.h"

namespace {

constexpr const char* kUsage =
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

constexpr int kMaxLevels = 255;

// A weight must stay below this in magnitude for its 16.16 form to fit in 32 bits.
constexpr float kWeightLimit = float{int32_t{1} << (31 - kFixedShift)};  // 32768

// Reads nine weights the way "%f,%f,%f,%f,%f,%f,%f,%f,%f," does: white space
// may come before a number, each of the first eight must be followed directly
// by a comma, and anything after the ninth is ignored. strtof rather than
// sscanf so that an overflowing number gives infinity instead of undefined
// behaviour; weights whose fixed-point form would not fit are refused too.
bool read_weights(const char* s, std::array<float, kKernelSize>& weights) {
  for (int k = 0; k < kKernelSize; ++k) {
    char* end = nullptr;
    float w = std::strtof(s, &end);
    if (end == s) return false;
    if (!(std::fabs(w) < kWeightLimit)) return false;  // also refuses NaN
    weights[k] = w;
    s = end;
    if (k < kKernelSize - 1) {
      if (*s != ',') return false;
      ++s;
    }
  }
  return true;
}

bool fail(std::FILE* console, const std::string& message) {
  std::fprintf(console, "%s\n", message.c_str());
  std::fflush(console);
  return false;
}

// The extensions. Each reads its value into the settings; false if the value
// is not one it takes. A flag takes no value.
struct LongOption {
  OptionInfo info;
  const char* values;  // what the value may be, for the error line
  bool (*apply)(std::string_view value, ConversionSettings& settings);
  bool takes_value() const { return info.kind != OptionKind::flag; }
};

// Sets `out` to the value `name` stands for in `names`; false if it is not
// one of them.
template <typename Value, size_t N>
bool choose(std::string_view name, const std::pair<std::string_view, Value> (&names)[N], Value& out) {
  for (const auto& [text, value] : names)
    if (text == name) {
      out = value;
      return true;
    }
  return false;
}

constexpr std::pair<std::string_view, Engine> kEngines[] = {{"mencoder", Engine::mencoder},
                                                            {"builtin", Engine::builtin}};
constexpr std::pair<std::string_view, Fit> kFits[] = {{"pad", Fit::pad}, {"crop", Fit::crop}, {"stretch", Fit::stretch}};

bool set_engine(std::string_view value, ConversionSettings& settings) { return choose(value, kEngines, settings.engine); }

bool set_fit(std::string_view value, ConversionSettings& settings) { return choose(value, kFits, settings.fit); }

bool set_start(std::string_view value, ConversionSettings& settings) {
  return read_time(value, settings.start_ms);
}

bool set_duration(std::string_view value, ConversionSettings& settings) {
  int64_t ms = 0;
  if (!read_time(value, ms) || ms == 0) return false;
  settings.duration_ms = ms;
  return true;
}

bool set_dither(std::string_view value, ConversionSettings& settings) {
  return dither_mode_from_name(value, settings.dither);
}

bool set_serpentine(std::string_view, ConversionSettings& settings) {
  settings.serpentine = true;
  return true;
}

bool set_stable(std::string_view, ConversionSettings& settings) {
  settings.stable = true;
  return true;
}

// Reads a decimal number with at most `places` digits after the point (none
// when places is 0), a sign allowed when `signed_value`, into value x
// 10^places; false for anything else or outside lowest .. highest (also in
// units of 10^-places).
bool read_decimal(std::string_view text, int places, bool signed_value, int32_t lowest, int32_t highest,
                  int32_t& value) {
  constexpr size_t kMaxDigits = 6;  // far beyond every range, far within 32 bits
  size_t at = 0;
  const bool negative = signed_value && !text.empty() && text[0] == '-';
  if (signed_value && !text.empty() && (text[0] == '-' || text[0] == '+')) ++at;
  int64_t whole = 0;
  const size_t begin = at;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
    if (at - begin < kMaxDigits) whole = whole * 10 + (text[at] - '0');
  if (at == begin || at - begin > kMaxDigits) return false;
  int decimals = 0;
  if (at < text.size() && text[at] == '.' && places > 0) {
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9' && decimals <= places; ++at, ++decimals)
      whole = whole * 10 + (text[at] - '0');
    if (decimals == 0 || decimals > places) return false;
  }
  if (at != text.size()) return false;
  for (; decimals < places; ++decimals) whole *= 10;
  const int64_t v = negative ? -whole : whole;
  if (v < lowest || v > highest) return false;
  value = static_cast<int32_t>(v);
  return true;
}

bool set_gamma(std::string_view value, ConversionSettings& settings) {
  return read_decimal(value, 2, false, kNoGamma, kMaxGamma, settings.gamma);
}

bool set_brightness(std::string_view value, ConversionSettings& settings) {
  return read_decimal(value, 0, true, -kToneLimit, kToneLimit, settings.brightness);
}

bool set_contrast(std::string_view value, ConversionSettings& settings) {
  return read_decimal(value, 0, true, -kToneLimit, kToneLimit, settings.contrast);
}

constexpr std::pair<std::string_view, bool> kLevels[] = {{"off", false}, {"auto", true}};

bool set_levels(std::string_view value, ConversionSettings& settings) {
  return choose(value, kLevels, settings.auto_levels);
}

bool set_sharpen(std::string_view value, ConversionSettings& settings) {
  return read_decimal(value, 2, false, 0, kMaxSharpen, settings.sharpen);
}

constexpr const char* kTimeForms = "a time in seconds, or [[HH:]MM:]SS[.fff]";

// Each option's plain words are written for a student who has never seen a
// command line: what it does to the picture, not how.
constexpr LongOption kLongOptions[] = {
    {{"engine", true, OptionKind::choice, "mencoder builtin", "mencoder",
      "how the movie is decoded: the external mencoder, or inside movdith", "Decoder",
      "mencoder|built into movdith", true},
     "mencoder or builtin", set_engine},
    {{"fit", true, OptionKind::choice, "pad crop stretch", "pad",
      "the whole picture with black bars, the screen filled and the overflow cut, or the picture stretched",
      "Picture shape", "whole picture, black bars|fill the screen, cut the edges|stretch to fill", false},
     "pad, crop or stretch", set_fit},
    {{"start", true, OptionKind::time, "", "0", "where the clip starts", "Clip starts at", "", false},
     kTimeForms, set_start},
    {{"duration", true, OptionKind::time, "", "", "how long the clip lasts; to the movie's end when not given",
      "Clip length", "", false},
     "a time above zero, in seconds or [[HH:]MM:]SS[.fff]", set_duration},
    {{"dither", true, OptionKind::choice,
      "matrix floyd-steinberg atkinson jarvis-judice-ninke stucki burkes sierra two-row-sierra sierra-lite bayer "
      "blue-noise",
      "matrix", "how black and white dots are mixed to show the greys between them",
      "Dithering pattern",
      "Floyd\u2013Steinberg|Floyd\u2013Steinberg, exact weights|Atkinson (more contrast)|Jarvis\u2013Judice\u2013Ninke "
      "(smooth)|Stucki (smooth)|Burkes|Sierra|Two-row Sierra|Sierra Lite|Bayer (an even grid)|Blue noise (an even "
      "grain)",
      false},
     "matrix, floyd-steinberg, atkinson, jarvis-judice-ninke, stucki, burkes, sierra, two-row-sierra, sierra-lite, "
     "bayer or blue-noise",
     set_dither},
    {{"serpentine", true, OptionKind::flag, "", "", "every other row worked right to left, which can break up stripes",
      "Zig-zag rows", "", true},
     "it takes no value", set_serpentine},
    {{"stable", true, OptionKind::flag, "", "", "pixels keep their shade while the picture stands still",
      "Steady picture", "", false},
     "it takes no value", set_stable},
    {{"gamma", true, OptionKind::decimal, "1 4 0.01", "1",
      "greys mixed as the eye sees light: 2.2 suits most movies, 1 turns it off", "Dither in light (gamma)", "",
      true},
     "a number from 1 to 4, at most two decimals (2.2 for most movies; 1: off)", set_gamma},
    {{"brightness", true, OptionKind::number, "-100 100", "", "lighter or darker, in percent (-100 to 100)", "Brightness",
      "", false},
     "a whole number from -100 to 100", set_brightness},
    {{"contrast", true, OptionKind::number, "-100 100", "",
      "more or less difference between dark and light, in percent (-100 to 100)", "Contrast", "", false},
     "a whole number from -100 to 100", set_contrast},
    {{"levels", true, OptionKind::choice, "off auto", "off", "black and white points from each scene",
      "Black and white points", "as filmed|found in each scene", true},
     "auto or off", set_levels},
    {{"sharpen", true, OptionKind::decimal, "0 5 0.01", "0", "crisper edges on the small screen: 0 is off, 5 the most",
      "Sharpen edges", "", true},
     "a number from 0 to 5, at most two decimals", set_sharpen},
};

// The design's options, which its own walk reads.
constexpr OptionInfo kDesignOptions[] = {
    {"g", false, OptionKind::flag, "", "", "four grey levels instead of two (doubles the file)", "Shades",
     "black and white|4 greys", false},
    {"r", false, OptionKind::number, "2 255", "", "the movie first cut down to about this many greys (2 to 255), for a calmer picture",
     "Fewer greys first, for less noise", "", true},
    {"m", false, OptionKind::kernel, "", "0,0,0,0,0,0.4375,0.1875,0.3125,0.0625",
     "nine numbers, row by row: how much of each dot's error goes to the dots around it", "Your own dithering kernel", "", true},
};

constexpr size_t kOptionCount = std::size(kDesignOptions) + std::size(kLongOptions);
constexpr std::array<OptionInfo, kOptionCount> kOptionTable = [] {
  std::array<OptionInfo, kOptionCount> table{};
  size_t n = 0;
  for (const OptionInfo& o : kDesignOptions) table[n++] = o;
  for (const LongOption& o : kLongOptions) table[n++] = o.info;
  return table;
}();

// Applies one "--name" or "--name=value" argument.
bool apply_long_option(std::string_view arg, ConversionSettings& settings, std::FILE* console) {
  const std::string_view body = arg.substr(2);
  const size_t equals = body.find('=');
  const std::string_view name = body.substr(0, equals);
  const bool has_value = equals != std::string_view::npos;
  const std::string_view value = has_value ? body.substr(equals + 1) : std::string_view();
  for (const LongOption& option : kLongOptions) {
    if (option.info.name != name) continue;
    const std::string error = "error argument for --" + std::string(name) + ": ";
    if (option.takes_value() != has_value) return fail(console, error + option.values);
    if (!option.apply(value, settings)) return fail(console, error + option.values);
    return true;
  }
  return fail(console, "error unknown option " + std::string(arg));
}

}  // namespace

namespace {

constexpr std::array<std::string_view, kDitherModeCount> kDitherNames = {
    "matrix", "floyd-steinberg", "atkinson", "jarvis-judice-ninke", "stucki", "burkes",
    "sierra", "two-row-sierra", "sierra-lite", "bayer", "blue-noise",
};

}  // namespace

std::span<const OptionInfo> option_table() { return kOptionTable; }

std::string_view dither_mode_name(DitherMode mode) { return kDitherNames[static_cast<size_t>(mode)]; }

bool dither_mode_from_name(std::string_view name, DitherMode& mode) {
  for (size_t m = 0; m < kDitherNames.size(); ++m)
    if (kDitherNames[m] == name) {
      mode = static_cast<DitherMode>(m);
      return true;
    }
  return false;
}

bool read_time(std::string_view text, int64_t& ms) {
  constexpr int kMaxFields = 3;          // hours, minutes, seconds
  constexpr size_t kMaxLeadDigits = 9;   // keeps the product far within 64 bits
  constexpr size_t kMaxFraction = 3;     // milliseconds
  int64_t total = 0;
  size_t at = 0;
  for (int field = 0; field < kMaxFields; ++field) {
    const size_t begin = at;
    int64_t value = 0;
    // Digits past the most a field may have are counted, not added: they
    // make the time malformed, and must not overflow on the way there.
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
      if (at - begin < kMaxLeadDigits) value = value * 10 + (text[at] - '0');
    const size_t digits = at - begin;
    // The first field may be any number; a field after a colon is one or two
    // digits below 60.
    if (digits == 0 || digits > (field == 0 ? kMaxLeadDigits : 2)) return false;
    if (field > 0 && value >= 60) return false;
    total = total * 60 + value;
    if (at < text.size() && text[at] == ':') {
      ++at;
      continue;
    }
    int64_t fraction = 0;
    if (at < text.size() && text[at] == '.') {
      const size_t from = ++at;
      for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        if (at - from < kMaxFraction) fraction = fraction * 10 + (text[at] - '0');
      const size_t places = at - from;
      if (places == 0 || places > kMaxFraction) return false;
      for (size_t p = places; p < kMaxFraction; ++p) fraction *= 10;
    }
    if (at != text.size()) return false;
    ms = total * 1000 + fraction;
    return true;
  }
  return false;  // a colon after the seconds
}

bool parse_settings(int argc, const char* const argv[], ConversionSettings& settings,
                    std::FILE* console) {
  settings = ConversionSettings{};
  if (argc <= 2) {
    std::fputs(kUsage, console);
    std::fflush(console);
    return false;
  }
  settings.moviepath = argv[1];
  settings.outpath = argv[2];

  for (int i = 3; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') continue;
    switch (arg[1]) {
      case 'r': {
        if (++i >= argc) return fail(console, "error argument for reduction");
        const ScannedInt levels = scan_int(argv[i]);
        if (!levels.found) return fail(console, "error argument for reduction");
        // A count beyond 32 bits comes back as 0: off, like the other
        // impossible counts, instead of the undefined result scanf gives.
        settings.reduction = levels.value;
        break;
      }
      case 'm': {
        std::array<float, kKernelSize> weights;
        if (++i >= argc || !read_weights(argv[i], weights))
          return fail(console, "error argument for dither matrix");
        settings.fmat = weights;
        settings.dither = DitherMode::matrix;
        const auto& f = settings.fmat;
        std::fprintf(console, "[ %f , %f , %f ]\n[ %f , %f , %f ]\n[ %f , %f , %f ]\n", f[0], f[1],
                     f[2], f[3], f[4], f[5], f[6], f[7], f[8]);
        std::fflush(console);
        break;
      }
      case 'g':
        ++settings.grey;
        break;
      case '-':
        if (!apply_long_option(arg, settings, console)) return false;
        break;
      default:
        break;
    }
  }

  // The double product is exact for every float, so truncation matches the
  // weight as typed (0.333333f -> 21845); read_weights keeps it within 32 bits.
  for (int k = 0; k < kKernelSize; ++k)
    settings.matrix[k] = static_cast<int32_t>(double{settings.fmat[k]} * kFixedOne);

  // One level cannot show anything, so it means off like the impossible counts.
  if (settings.reduction == 1 || settings.reduction < 0 || settings.reduction > kMaxLevels)
    settings.reduction = 0;
  return true;
}

ConversionSettings parse(int argc, const char* const argv[]) {
  ConversionSettings settings;
  if (!parse_settings(argc, argv, settings, stdout)) std::exit(1);
  return settings;
}
