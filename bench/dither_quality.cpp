// dither_quality: how one dithering mode looks on a movie. For every frame
// the pipeline makes it measures flicker (the share of pixels whose shade
// changed since the previous frame), fidelity and structure (PSNR and SSIM
// of the shades against the sampled grey, both seen through a 1-2-1 blur, as
// the eye sees a dithered picture) and tone error (each 8 x 8 block's share
// of light against the source's), then times the pipeline alone over the
// same frames. Frames come through a FrameSource, chosen with --engine; the
// pipeline's options are movdith's own, read by its settings parser.
#include <algorithm>
#include <time.h>

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "frame/dib.h"
#include "frame/dither_modes.h"
#include "frame/frame.h"
#include "frame/pipeline.h"
#include "measures.h"
#include "movie/builtin/builtin.h"
#include "movie/frame_source.h"
#include "movie/mencoder/avi_source.h"
#include "raster.h"
#include "run/stepping.h"
#include "videofile/videofile.h"

namespace {

constexpr const char* kUsage =
    "Usage: dither_quality SOURCE [options] [movdith options]\n"
    "Measures a dithering mode over a movie: flicker (% of pixels whose shade changes\n"
    "between consecutive frames), fidelity (PSNR in dB) and structure (SSIM) of the\n"
    "shades against the sampled grey frames, both blurred 1-2-1, tone error (% of\n"
    "light, 8 x 8 blocks) and the pipeline's frames per second.\n"
    "Options:\n"
    "  --engine=NAME        how SOURCE is read: builtin (a movie, through the built-in\n"
    "                       engine), avi (a temporary movie the mencoder engine made; keep\n"
    "                       one with bench/keep/mencoder), or raw (96 x 64 frames of bgr24\n"
    "                       as made by ffmpeg -i MOVIE -vf fps=10,scale=...,pad=96:64:...\n"
    "                       -f rawvideo -pix_fmt bgr24; the default)\n"
    "  --tuning=NAME=N,...  the steady mode's tuning: price2, fade2, passes2, later2,\n"
    "                       restart2, sharpen2, margin2, margin_fade2 (2 levels),\n"
    "                       price4, fade4, passes4, later4, restart4, sharpen4,\n"
    "                       margin4, margin_fade4 (4 levels), restart_percent,\n"
    "                       cut_change, cut_percent, method (0 search, 1 held,\n"
    "                       2 held then search), changed from the mode's own\n"
    "  --out=FILE.8xx       also write the video, for vidxview\n"
    "  --raw-out=FILE       also write the frames as --engine=raw reads them\n"
    "  --label=TEXT         the source's name in the result (default SOURCE)\n"
    "  --min-time=SECONDS   least time spent timing the pipeline (default 0.5)\n"
    "  --tsv                one tab-separated line: label, mode, levels, frames,\n"
    "                       flicker %, PSNR dB, SSIM, tone error %, pipeline fps,\n"
    "                       source fps, median flicker %, then against the plain mode\n"
    "                       (the options without --stable): its tone error %, the\n"
    "                       largest gap of the mean shades over bands of 32 source\n"
    "                       greys (those with 0.1 % of the pixels or more) and its\n"
    "                       band, the most % by which the pixels of a\n"
    "                       trail behind an object on a flat ground passed its count\n"
    "                       and the frame, and the pixels of pure black or white\n"
    "                       source that are not\n"
    "Every other option is movdith's (-g, -r N, -m LIST, --dither=NAME, --serpentine,\n"
    "--stable, --gamma=VALUE, ...), with its meaning and its checks; --fit, --start and\n"
    "--duration apply to the built-in engine.\n";

constexpr size_t kRawFrameBytes = size_t{kPixels} * kDibBytesPerPixel;
constexpr size_t kStride = dib_stride(kWidth);  // 288: no padding
constexpr double kPeak = 255.0;

// 96 x 64 frames of packed blue-green-red, top row first, one after another
// with nothing between: what ffmpeg's rawvideo muxer writes. Each is handed
// over as the bottom-up DIB the pipeline reads, rows turned upside down.
class RawFrameSource : public FrameSource {
 public:
  explicit RawFrameSource(std::string path)
      : path_(std::move(path)), raw_(kRawFrameBytes), dib_(dib_bytes(kWidth, kHeight)) {}
  ~RawFrameSource() override {
    if (file_) std::fclose(file_);
  }

  SourceStatus open() override {
    file_ = std::fopen(path_.c_str(), "rb");
    if (!file_) return SourceStatus::open_failed;
    if (std::fseek(file_, 0, SEEK_END) != 0) return SourceStatus::info_failed;
    const long bytes = std::ftell(file_);
    if (bytes < 0 || bytes % static_cast<long>(kRawFrameBytes) != 0) return SourceStatus::info_failed;
    frames_ = static_cast<uint32_t>(bytes / static_cast<long>(kRawFrameBytes));
    put_dib_header(dib_, kWidth, kHeight);
    return SourceStatus::ok;
  }
  FrameSize size() const override { return {kWidth, kHeight}; }
  SourceTiming timing() const override { return {kFramesPerSecond, 1, 0, frames_, true}; }

  FrameStatus frame(uint32_t pos, std::span<const uint8_t>& dib) override {
    if (pos >= frames_) return FrameStatus::ended;
    if (std::fseek(file_, static_cast<long>(pos * kRawFrameBytes), SEEK_SET) != 0 ||
        std::fread(raw_.data(), 1, raw_.size(), file_) != raw_.size())
      return FrameStatus::failed;
    for (int y = 0; y < kHeight; ++y)
      std::memcpy(&dib_[kDibHeaderBytes + size_t(kHeight - 1 - y) * kStride], &raw_[size_t(y) * kStride], kStride);
    dib = dib_;
    return FrameStatus::ok;
  }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  uint32_t frames_ = 0;
  std::vector<uint8_t> raw_;
  std::vector<uint8_t> dib_;
};

// Each engine gets the SOURCE argument as it is; the built-in engine also
// the fit and the clip.
std::unique_ptr<FrameSource> make_source(std::string_view engine, const std::string& path,
                                         const ConversionSettings& s) {
  if (engine == "raw") return std::make_unique<RawFrameSource>(path);
  if (engine == "builtin")
    return std::make_unique<BuiltinSource>(
        BuiltinRequest{.path = path, .fit = s.fit, .start_ms = s.start_ms, .duration_ms = s.duration_ms});
  if (engine == "avi") return std::make_unique<AviSource>(path);
  return nullptr;
}

struct Options {
  std::string source;
  std::string engine = "raw";
  ConversionSettings settings;  // the pipeline's options, as movdith reads them
  StableTuning tuning;          // the mode's own (stable_tuning), then what --tuning changes
  std::vector<std::string> tuning_changes;
  std::string mode;             // the options, as the results name them
  std::string out;
  std::string raw_out;
  std::string label;
  double min_time = 0.5;
  bool tsv = false;
};

// True, with `rest` what follows, when arg begins with prefix.
bool starts(std::string_view arg, std::string_view prefix, std::string_view& rest) {
  if (arg.substr(0, prefix.size()) != prefix) return false;
  rest = arg.substr(prefix.size());
  return true;
}

// Prints the problem and the usage text; the exit status for a bad command line.
int usage_error(const std::string& problem) {
  std::fprintf(stderr, "dither_quality: %s\n", problem.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

// The options as the results name them: the dithering mode, then every
// other long option, e.g. floyd-steinberg+serpentine+gamma=2.2.
std::string mode_label(const ConversionSettings& s, const std::vector<std::string>& movdith_options) {
  std::string label(dither_mode_name(s.dither));
  for (const std::string& a : movdith_options)
    if (a.rfind("--", 0) == 0 && a.rfind("--dither=", 0) != 0) {
      label += '+';
      label.append(a, 2);
    }
  return label;
}

// Reads movdith's options with movdith's own parser, on a command line with
// placeholder paths; false, with what it said, if it refused them.
bool movdith_settings(const std::vector<std::string>& options, ConversionSettings& settings, std::string& said) {
  std::vector<const char*> args = {"movdith", "movie", "out.8xx"};
  for (const std::string& m : options) args.push_back(m.c_str());
  char* text = nullptr;
  size_t length = 0;
  std::FILE* console = open_memstream(&text, &length);
  if (!console) return false;
  const bool ok = parse_settings(static_cast<int>(args.size()), args.data(), settings, console);
  std::fclose(console);
  said.assign(text, length);
  std::free(text);
  return ok;
}

// The steady mode's tuning by name, for --tuning: each level count's
// fields with its count after the name (price2, price4), then the shared ones.
struct LevelField {
  const char* name;
  int SteadyLevels::*field;
};
constexpr LevelField kLevelFields[] = {
    {"price", &SteadyLevels::hold_price}, {"fade", &SteadyLevels::fade},       {"passes", &SteadyLevels::passes},
    {"later", &SteadyLevels::later_looks}, {"restart", &SteadyLevels::restart}, {"sharpen", &SteadyLevels::sharpen},
    {"margin", &SteadyLevels::margin},     {"margin_fade", &SteadyLevels::margin_fade},
    {"singles", &SteadyLevels::singles},   {"pair_apart", &SteadyLevels::pair_apart},
};
struct LevelCount {
  const char* suffix;
  SteadyLevels StableTuning::*levels;
};
constexpr LevelCount kLevelCounts[] = {{"2", &StableTuning::two}, {"4", &StableTuning::four}};
struct SharedField {
  const char* name;
  int StableTuning::*field;
};
constexpr SharedField kSharedFields[] = {
    {"restart_percent", &StableTuning::restart_percent},
    {"cut_change", &StableTuning::cut_change},
    {"cut_percent", &StableTuning::cut_percent},
};

// The field `name` stands for in t, or nullptr.
int* tuning_field(const std::string& name, StableTuning& t) {
  for (const LevelCount& c : kLevelCounts)
    for (const LevelField& f : kLevelFields)
      if (name == std::string(f.name) + c.suffix) return &((t.*(c.levels)).*(f.field));
  for (const SharedField& f : kSharedFields)
    if (name == f.name) return &(t.*(f.field));
  return nullptr;
}

std::string tuning_names() {
  std::string names;
  const auto add = [&](const std::string& n) { names += (names.empty() ? "" : ", ") + n; };
  for (const LevelCount& c : kLevelCounts)
    for (const LevelField& f : kLevelFields) add(std::string(f.name) + c.suffix);
  for (const SharedField& f : kSharedFields) add(f.name);
  return names;
}

// Reads "name=number,name=number,..." into the tuning; false for a name it
// does not know or a value that is not a whole number.
bool read_tuning(std::string_view text, StableTuning& t) {
  while (!text.empty()) {
    const std::string_view item = text.substr(0, text.find(','));
    text.remove_prefix(std::min(text.size(), item.size() + 1));
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) return false;
    const std::string name(item.substr(0, equals)), value(item.substr(equals + 1));
    char* end = nullptr;
    const long number = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0') return false;
    if (name == "method") {
      if (number < 0 || number > int(SteadyMethod::held_then_search)) return false;
      t.method = static_cast<SteadyMethod>(number);
      continue;
    }
    int* slot = tuning_field(name, t);
    if (!slot) return false;
    *slot = static_cast<int>(number);
  }
  return true;
}

// -1 to go on, or the exit status.
int parse_args(int argc, char** argv, Options& o) {
  std::vector<std::string> movdith_options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    std::string_view v;
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (starts(a, "--engine=", v)) {
      o.engine = v;
    } else if (starts(a, "--tuning=", v)) {
      // Checked here, applied once the mode is known.
      StableTuning checked;
      if (!read_tuning(v, checked)) return usage_error("--tuning takes NAME=NUMBER,... with names " + tuning_names());
      o.tuning_changes.emplace_back(v);
    } else if (starts(a, "--out=", v)) {
      o.out = v;
    } else if (starts(a, "--raw-out=", v)) {
      o.raw_out = v;
    } else if (starts(a, "--label=", v)) {
      o.label = v;
    } else if (starts(a, "--min-time=", v)) {
      o.min_time = std::atof(std::string(v).c_str());
    } else if (a == "--tsv") {
      o.tsv = true;
    } else if ((a == "-r" || a == "-m") && i + 1 < argc) {
      movdith_options.emplace_back(a);
      movdith_options.emplace_back(argv[++i]);
    } else if (!a.empty() && a[0] == '-') {
      movdith_options.emplace_back(a);
    } else if (o.source.empty()) {
      o.source = a;
    } else {
      return usage_error("give one SOURCE");
    }
  }
  if (o.source.empty()) return usage_error("no SOURCE given");
  if (o.label.empty()) o.label = o.source;
  std::string said;
  if (!movdith_settings(movdith_options, o.settings, said))
    return usage_error(said.empty() ? "the options cannot be read" : said.substr(0, said.find('\n')));
  o.mode = mode_label(o.settings, movdith_options);
  o.tuning = stable_tuning(o.settings.dither);
  for (const std::string& change : o.tuning_changes) read_tuning(change, o.tuning);
  return -1;
}

// Writes display-sized DIBs as raw frames: rows top first, no header; false
// if the file cannot be written or a frame is not display-sized.
bool write_raw(const std::vector<std::vector<uint8_t>>& frames, const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  for (const std::vector<uint8_t>& dib : frames) {
    ok = ok && dib.size() == dib_bytes(kWidth, kHeight);
    for (int y = 0; ok && y < kHeight; ++y)
      ok = std::fwrite(&dib[kDibHeaderBytes + size_t(kHeight - 1 - y) * kStride], 1, kStride, f) == kStride;
  }
  return std::fclose(f) == 0 && ok;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The time this thread has run: on a shared machine, wall time would count
// the time others had the core.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const int status = parse_args(argc, argv, o); status >= 0) return status;

  std::unique_ptr<FrameSource> source = make_source(o.engine, o.source, o.settings);
  if (!source) return usage_error("no engine " + o.engine);
  if (source->open() != SourceStatus::ok) {
    std::fprintf(stderr, "dither_quality: %s: cannot be read\n", o.source.c_str());
    return 1;
  }
  const SourceTiming timing = source->timing();
  uint32_t frameskip = 0;
  if (!frame_skip(timing.rate, timing.scale, frameskip)) {
    std::fprintf(stderr, "dither_quality: %s: no frame rate\n", o.source.c_str());
    return 1;
  }

  // The frames a run takes, at its cadence; kept so that the timing passes
  // repeat exactly what was measured.
  std::vector<std::vector<uint8_t>> frames;
  double fetch_seconds = 0;
  const uint64_t end = timing.exact_length ? uint64_t{timing.start} + timing.length : UINT64_MAX;
  for (Cadence cadence{timing.start, 0}; cadence.curframe < end && cadence.curframe <= UINT32_MAX;
       step(cadence, frameskip)) {
    std::span<const uint8_t> dib;
    const auto t0 = std::chrono::steady_clock::now();
    const FrameStatus status = source->frame(static_cast<uint32_t>(cadence.curframe), dib);
    fetch_seconds += seconds_since(t0);
    if (status == FrameStatus::ended) break;
    if (status == FrameStatus::failed) {
      std::fprintf(stderr, "dither_quality: %s: frame %zu cannot be read\n", o.source.c_str(), frames.size());
      return 1;
    }
    frames.emplace_back(dib.begin(), dib.end());
  }
  if (frames.empty()) {
    std::fprintf(stderr, "dither_quality: %s: no frames\n", o.source.c_str());
    return 1;
  }

  if (!o.raw_out.empty() && !write_raw(frames, o.raw_out)) {
    std::fprintf(stderr, "dither_quality: %s: cannot be written\n", o.raw_out.c_str());
    return 1;
  }

  VideoWriter video;
  if (!o.out.empty() && (!video.open(o.out.c_str()) ||
                         !video.write_header(o.settings.grey, static_cast<uint32_t>(frames.size())))) {
    std::fprintf(stderr, "dither_quality: %s: cannot be written\n", o.out.c_str());
    return 1;
  }

  // The measured pass.
  PipelineOptions pipeline = pipeline_options(o.settings);
  pipeline.dither.tuning = o.tuning;
  GreyBuffer reference, previous;
  FrameState frame;
  const GreyBuffer& ditherbuf = frame.ditherbuf;
  Blurred seen, meant;
  uint64_t flipped = 0;
  std::vector<int> frame_flips;  // per frame after the first, for the median
  double squared = 0, structure = 0, tone = 0;
  // The same frames through the plain mode (the options without --stable),
  // for the steady mode's tone and trails to be weighed against.
  DitherOptions plain_options = pipeline.dither;
  plain_options.stable = false;
  DitherHistory plain_history;
  GreyBuffer plain;
  double plain_tone = 0;
  ToneBands bands, plain_bands;
  Trails trails;
  for (size_t n = 0; n < frames.size(); ++n) {
    if (!sample(frames[n], reference) || !process_frame(frames[n], pipeline, frame)) {
      std::fprintf(stderr, "dither_quality: frame %zu is not a readable DIB\n", n);
      return 1;
    }
    if (!o.out.empty() && !video.write_record(frame.final, frame.final2, pipeline.shades)) {
      std::fprintf(stderr, "dither_quality: %s: write failed\n", o.out.c_str());
      return 1;
    }
    if (n > 0) {
      const int changed = flips(ditherbuf, previous);
      flipped += changed;
      frame_flips.push_back(changed);
    }
    previous = ditherbuf;
    blur(ditherbuf, seen);
    blur(reference, meant);
    squared += squared_error(seen, meant);
    structure += ssim(seen, meant);
    tone += tone_error(ditherbuf, reference);
    dither_frame(frame.graybuf, pipeline.shades, pipeline.matrix, plain_options, plain_history, plain);
    plain_tone += tone_error(plain, reference);
    add_bands(ditherbuf, frame.graybuf, bands);
    add_bands(plain, frame.graybuf, plain_bands);
    if (n > 0) add_trails(ditherbuf, plain, frame.graybuf, trails);
  }
  if (!o.out.empty() && !video.finish(static_cast<uint32_t>(frames.size()))) {
    std::fprintf(stderr, "dither_quality: %s: write failed\n", o.out.c_str());
    return 1;
  }

  // The timed passes: the pipeline alone, from a fresh state each time, in
  // this thread's processor time.
  // The first frame of a blue-noise run has already built its mask.
  uint64_t timed = 0;
  const double t0 = thread_seconds();
  double elapsed = 0;
  do {
    FrameState fresh;
    for (const std::vector<uint8_t>& f : frames) process_frame(f, pipeline, fresh);
    timed += frames.size();
    elapsed = thread_seconds() - t0;
  } while (elapsed < o.min_time);

  const size_t count = frames.size();
  const double flicker = count > 1 ? 100.0 * double(flipped) / (double(count - 1) * kPixels) : 0.0;
  double median_flicker = 0.0;
  if (!frame_flips.empty()) {
    std::sort(frame_flips.begin(), frame_flips.end());
    median_flicker = 100.0 * frame_flips[frame_flips.size() / 2] / kPixels;
  }
  const double mse = squared / (double(count) * kPixels);
  const double psnr = mse > 0 ? 10 * std::log10(kPeak * kPeak / mse) : INFINITY;
  const double mean_ssim = structure / double(count);
  const double tone_percent = 100.0 * tone / double(count);
  const double fps = double(timed) / elapsed;
  const double source_fps = fetch_seconds > 0 ? double(count) / fetch_seconds : INFINITY;
  const int levels = o.settings.grey ? 4 : 2;
  const double plain_tone_percent = 100.0 * plain_tone / double(count);
  const BandGap gap = band_gap(bands, plain_bands);
  if (o.tsv)
    std::printf("%s\t%s\t%d\t%zu\t%.2f\t%.2f\t%.3f\t%.2f\t%.0f\t%.0f\t%.2f\t%.2f\t%.1f\t%d\t%.1f\t%d\t%" PRIu64
                "\n",
                o.label.c_str(), o.mode.c_str(), levels, count, flicker, psnr, mean_ssim, tone_percent, fps, source_fps,
                median_flicker, plain_tone_percent, gap.gap, gap.band, trails.worst_excess, trails.worst_frame,
                trails.holes);
  else
    std::printf("%s: %s, %d levels, %zu frames: flicker %.2f %% (median frame %.2f %%), fidelity %.2f dB, "
                "structure %.3f, tone error %.2f %%, pipeline %.0f frames/s (source %.0f frames/s)\n",
                o.label.c_str(), o.mode.c_str(), levels, count, flicker, median_flicker, psnr, mean_ssim,
                tone_percent, fps, source_fps);
  if (!o.tsv)
    std::printf("  against the plain mode: its tone error %.2f %%; band means at most %.1f levels apart (band %d of "
                "32 levels); trails at most %.1f %% above its count (frame %d); %" PRIu64 " pixels of a solid "
                "object not its level\n",
                plain_tone_percent, gap.gap, gap.band, trails.worst_excess, trails.worst_frame, trails.holes);
  return 0;
}
