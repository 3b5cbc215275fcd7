// Drives the built-in engine over a whole movie the way a run does: every
// frame through sample, dither and pack. Timed against ffmpeg by
// bench/builtin_speed.sh; with --compare it measures, frame by frame, how far
// the fast path's grey pictures are from a full decode's (bench/builtin_quality.sh).
//   builtin_decode MOVIE [--fit pad|crop|stretch] [--start MS] [--duration MS]
//                        [--exact] [--grey FILE] [--compare]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "frame/frame.h"
#include "movie/builtin.h"

namespace {

// Floyd-Steinberg in 16.16, the tool's default kernel.
const Kernel kFloydSteinberg = {0, 0, 0, 0, 0, 28672, 12288, 20480, 4096};
constexpr double kPeak = 255.0;

int usage() {
  std::fprintf(stderr,
               "usage: builtin_decode MOVIE [--fit pad|crop|stretch] [--start MS] [--duration MS] [--exact]\n"
               "                      [--grey FILE] [--compare]\n");
  return 2;
}

// Opens `source`, printing why not; false when it did not open.
bool open_source(BuiltinSource& source, const char* path) {
  SourceStatus status = source.open();
  if (status == SourceStatus::ok) return true;
  std::fprintf(stderr, "%s: cannot open (status %d)\n", path, int(status));
  return false;
}

// The whole movie through the pipeline; the grey frames go to `grey` if set.
int run(const BuiltinRequest& request, FILE* grey) {
  BuiltinSource source(request);
  if (!open_source(source, request.path.c_str())) return 1;
  GreyBuffer graybuf, ditherbuf;
  Plane final, final2;
  uint32_t frames = 0;
  unsigned checksum = 0;
  std::span<const uint8_t> dib;
  FrameStatus status;
  while ((status = source.frame(frames, dib)) == FrameStatus::ok) {
    if (!sample(dib, graybuf)) return std::fprintf(stderr, "frame %u unreadable\n", frames), 1;
    if (grey && std::fwrite(graybuf.data(), 1, graybuf.size(), grey) != graybuf.size()) return 1;
    dither(graybuf, 0, kFloydSteinberg, ditherbuf);
    pack(ditherbuf, 0, final, final2);
    checksum = checksum * 31 + final[frames % final.size()];
    ++frames;
  }
  std::printf("frames %u (estimate %u), errors %llu, size %ux%u, scaled %ux%u, %s, checksum %08x\n", frames,
              source.timing().length, (unsigned long long)source.decode_errors(), source.size().width,
              source.size().height, source.scaled().width, source.scaled().height,
              status == FrameStatus::ended ? "ended" : "FAILED", checksum);
  return status == FrameStatus::ended ? 0 : 1;
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
  const char* grey_path = nullptr;
  bool comparing = false;
  for (int i = 2; i < argc; ++i) {
    const bool more = i + 1 < argc;
    if (!std::strcmp(argv[i], "--exact")) {
      request.exact = true;
    } else if (!std::strcmp(argv[i], "--compare")) {
      comparing = true;
    } else if (!std::strcmp(argv[i], "--fit") && more) {
      const std::string fit = argv[++i];
      if (fit == "pad") request.fit = Fit::pad;
      else if (fit == "crop") request.fit = Fit::crop;
      else if (fit == "stretch") request.fit = Fit::stretch;
      else return usage();
    } else if (!std::strcmp(argv[i], "--start") && more) {
      request.start_ms = std::atoll(argv[++i]);
    } else if (!std::strcmp(argv[i], "--duration") && more) {
      request.duration_ms = std::atoll(argv[++i]);
    } else if (!std::strcmp(argv[i], "--grey") && more) {
      grey_path = argv[++i];
    } else {
      return usage();
    }
  }
  if (comparing) return compare(request);
  FILE* grey = grey_path ? std::fopen(grey_path, "wb") : nullptr;
  if (grey_path && !grey) return std::perror(grey_path), 1;
  const int status = run(request, grey);
  if (grey && std::fclose(grey) != 0) return 1;
  return status;
}
