// The command line's grey frames, for the browser tests to compare the
// page's with: every frame the built-in engine hands the frame loop, box-
// sampled to grey as the pipeline's first stage does, 96 x 64 bytes each,
// written to standard output. The sizes and the frame count go to standard
// error as "IN w h OUT w h FRAMES n".
//   cli_greys MOVIE [movdith's options, e.g. --fit=crop --start=1]
#include <cstdio>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "movie/builtin/builtin.h"
#include "settings/settings.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: cli_greys MOVIE [options]\n");
    return 2;
  }
  std::vector<const char*> args = {"movdith", argv[1], "out.8xx"};
  for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  ConversionSettings s;
  if (!parse_settings(int(args.size()), args.data(), s, stderr)) return 2;
  BuiltinSource source({.path = s.moviepath, .fit = s.fit, .start_ms = s.start_ms, .duration_ms = s.duration_ms});
  if (source.open() != SourceStatus::ok) {
    std::fprintf(stderr, "cannot open: %s\n", source.failure().c_str());
    return 1;
  }
  GreyBuffer grey;
  uint32_t frames = 0;
  for (std::span<const uint8_t> dib; source.frame(frames, dib) == FrameStatus::ok; ++frames) {
    if (!sample(dib, grey) || std::fwrite(grey.data(), 1, grey.size(), stdout) != grey.size()) return 1;
  }
  std::fprintf(stderr, "IN %u %u OUT %u %u FRAMES %u\n", source.size().width, source.size().height,
               source.scaled().width, source.scaled().height, frames);
  return 0;
}
