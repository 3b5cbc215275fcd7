// Command-line parsing: usage text, the -g/-r/-m options, and the dither
// kernel in the 16.16 form the dithering stage works in.
#include "settings/settings.h"

#include <cmath>
#include <cstdlib>

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

bool fail(std::FILE* console, const char* message) {
  std::fprintf(console, "%s\n", message);
  std::fflush(console);
  return false;
}

}  // namespace

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
        const auto& f = settings.fmat;
        std::fprintf(console, "[ %f , %f , %f ]\n[ %f , %f , %f ]\n[ %f , %f , %f ]\n", f[0], f[1],
                     f[2], f[3], f[4], f[5], f[6], f[7], f[8]);
        std::fflush(console);
        break;
      }
      case 'g':
        ++settings.grey;
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
