// The built-in engine's quality guard: frame by frame, how far the fast
// path's sampled grey pictures (pictures no frame shows left undecoded) are
// from a full decode's with the same frame choice (bench/guard.sh).
//   builtin_guard MOVIE [--fit pad|crop|stretch] [--start MS] [--duration MS]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "frame/frame.h"
#include "movie/builtin/builtin.h"

namespace {

constexpr double kPeak = 255.0;

int usage() {
  std::fprintf(stderr, "usage: builtin_guard MOVIE [--fit pad|crop|stretch] [--start MS] [--duration MS]\n");
  return 2;
}

// Opens `source`, printing why not; false when it did not open.
bool open_source(BuiltinSource& source, const char* path) {
  SourceStatus status = source.open();
  if (status == SourceStatus::ok) return true;
  std::fprintf(stderr, "%s: cannot open: %s\n", path, source.failure().c_str());
  return false;
}

// The fast path against a full decode with the same frame choice: the PSNR
// of each frame's grey picture, worst and overall.
int compare(BuiltinRequest request) {
  request.exact = false;
  BuiltinSource fast(request);
  request.exact = true;
  BuiltinSource full(request);
  if (!open_source(fast, request.path.c_str()) || !open_source(full, request.path.c_str())) return 1;
  GreyBuffer a, b;
  double worst = std::numeric_limits<double>::infinity(), total_sq = 0;
  uint32_t frames = 0, worst_frame = 0, differing = 0;
  std::span<const uint8_t> da, db;
  FrameStatus sa, sb;
  for (;; ++frames) {
    sa = fast.frame(frames, da);
    sb = full.frame(frames, db);
    if (sa != FrameStatus::ok || sb != FrameStatus::ok) break;
    if (!sample(da, a) || !sample(db, b)) return 1;
    double sq = 0;
    for (size_t i = 0; i < a.size(); ++i) sq += double(a[i] - b[i]) * (a[i] - b[i]);
    total_sq += sq;
    if (sq > 0) ++differing;
    const double psnr = sq > 0 ? 10 * std::log10(kPeak * kPeak * a.size() / sq) : worst;
    if (psnr < worst) worst = psnr, worst_frame = frames;
  }
  const double overall = total_sq > 0 ? 10 * std::log10(kPeak * kPeak * a.size() * frames / total_sq)
                                      : std::numeric_limits<double>::infinity();
  std::printf("frames %u, differing %u, worst %.2f dB (frame %u), overall %.2f dB, ends %s\n", frames, differing,
              worst, worst_frame, overall, sa == sb ? "together" : "APART");
  return sa == sb && sa == FrameStatus::ended ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  BuiltinRequest request;
  request.path = argv[1];
  for (int i = 2; i < argc; ++i) {
    const bool more = i + 1 < argc;
    if (!std::strcmp(argv[i], "--fit") && more) {
      const std::string fit = argv[++i];
      if (fit == "pad") request.fit = Fit::pad;
      else if (fit == "crop") request.fit = Fit::crop;
      else if (fit == "stretch") request.fit = Fit::stretch;
      else return usage();
    } else if (!std::strcmp(argv[i], "--start") && more) {
      request.start_ms = std::atoll(argv[++i]);
    } else if (!std::strcmp(argv[i], "--duration") && more) {
      request.duration_ms = std::atoll(argv[++i]);
    } else {
      return usage();
    }
  }
  return compare(request);
}
