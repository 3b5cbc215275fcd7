// Command-line parsing into the conversion settings every later stage reads.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

constexpr int kKernelSize = 9;  // 3 x 3, row-major, k = 3 * row + column

struct ConversionSettings {
  std::string moviepath;
  std::string outpath;
  int32_t grey = 0;       // count of -g; non-zero means four grey levels
  int32_t reduction = 0;  // 0 (off) or 2..255 levels of tone reduction
  std::array<float, kKernelSize> fmat = {0, 0, 0, 0, 0, 0.4375f, 0.1875f, 0.3125f, 0.0625f};
  std::array<int32_t, kKernelSize> matrix = {};  // fmat in 16.16 fixed point
};

// Fills `settings` from the argument vector, printing the kernel display and
// any usage text or error line to `console`; false when the run must stop.
bool parse_settings(int argc, const char* const argv[], ConversionSettings& settings,
                    std::FILE* console);

// The program's entry into its settings: returns them, or prints the usage
// text or an error line on standard output and exits with status 1.
ConversionSettings parse(int argc, const char* const argv[]);
