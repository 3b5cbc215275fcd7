// Frames per second of the per-frame pipeline (sample, reduce, dither, pack)
// on a display-sized frame like the ones the encoder hands over, and of each
// stage alone, the tone stages included; then the pipeline with each
// dithering mode, with the steady mode over moving sequences, and with every
// tone option. items_per_second is frames per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "frame/dib.h"
#include "frame/dither_modes.h"
#include "frame/frame.h"
#include "frame/pipeline.h"
#include "frame/tone.h"

namespace {

constexpr size_t kStride = dib_stride(kWidth);

const Kernel kFloydSteinberg = {0, 0, 0, 0, 0, 28672, 12288, 20480, 4096};

// A 96 x 64 bottom-up 24-bit frame: crossing colour gradients with some
// noise, so that dithering sees varied tones rather than flat areas.
std::vector<uint8_t> picture() {
  std::vector<uint8_t> dib(dib_bytes(kWidth, kHeight));
  put_dib_header(dib, kWidth, kHeight);
  uint32_t seed = 2024;
  for (int b = 0; b < kHeight; ++b) {
    for (int a = 0; a < kWidth; ++a) {
      seed = seed * 1664525 + 1013904223;
      const int noise = static_cast<int>(seed >> 27) - 16;  // -16..15
      const auto clip = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
      uint8_t* p = &dib[kDibHeaderBytes + (kHeight - 1 - b) * kStride + 3 * a];
      p[0] = clip(a * 255 / (kWidth - 1) + noise);                // blue across
      p[1] = clip(b * 255 / (kHeight - 1) + noise);               // green down
      p[2] = clip((a + b) * 255 / (kWidth + kHeight - 2) + noise);  // red along the diagonal
    }
  }
  return dib;
}

// Args: grey (0 monochrome, 1 four levels), reduction (0 off).
void BM_Pipeline(benchmark::State& state) {
  const std::vector<uint8_t> frame = picture();
  const Shades grey = shades_for(static_cast<int32_t>(state.range(0)));
  const int32_t reduction = static_cast<int32_t>(state.range(1));
  GreyBuffer graybuf, ditherbuf;
  Plane final, final2;
  for (auto _ : state) {
    if (!sample(frame, graybuf)) {
      state.SkipWithError("frame not readable");
      break;
    }
    reduce(graybuf, reduction);
    dither(graybuf, grey, kFloydSteinberg, ditherbuf);
    pack(ditherbuf, grey, final, final2);
    benchmark::DoNotOptimize(final.data());
    benchmark::DoNotOptimize(final2.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Pipeline)->ArgNames({"grey", "r"})->Args({0, 0})->Args({1, 0})->Args({0, 4})->Args({1, 4});

void BM_Sample(benchmark::State& state) {
  const std::vector<uint8_t> frame = picture();
  GreyBuffer graybuf;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sample(frame, graybuf));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sample);

void BM_Reduce(benchmark::State& state) {
  GreyBuffer graybuf;
  sample(picture(), graybuf);
  for (auto _ : state) {
    reduce(graybuf, 4);  // idempotent, so repeating it on one buffer is fair
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Reduce);

// Dithering rewrites its input, so each pass starts from a fresh copy; the
// 6 KB copy is part of the figure.
void BM_Dither(benchmark::State& state) {
  const Shades grey = shades_for(static_cast<int32_t>(state.range(0)));
  GreyBuffer sampled, graybuf, ditherbuf;
  sample(picture(), sampled);
  for (auto _ : state) {
    graybuf = sampled;
    dither(graybuf, grey, kFloydSteinberg, ditherbuf);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Dither)->ArgName("grey")->Arg(0)->Arg(1);

void BM_Pack(benchmark::State& state) {
  const Shades grey = shades_for(static_cast<int32_t>(state.range(0)));
  GreyBuffer graybuf, ditherbuf;
  sample(picture(), graybuf);
  dither(graybuf, grey, kFloydSteinberg, ditherbuf);
  Plane final, final2;
  for (auto _ : state) {
    pack(ditherbuf, grey, final, final2);
    benchmark::DoNotOptimize(final.data());
    benchmark::DoNotOptimize(final2.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Pack)->ArgName("grey")->Arg(0)->Arg(1);

// --- The tone stages, each alone ---------------------------------------------

void BM_ToneCurve(benchmark::State& state) {
  GreyBuffer graybuf;
  sample(picture(), graybuf);
  const ToneCurve curve = brightness_contrast_curve(10, 20);
  for (auto _ : state) {
    apply_curve(graybuf, curve);  // brightness and contrast, or the light curve: one table
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToneCurve);

void BM_ToneSharpen(benchmark::State& state) {
  GreyBuffer sampled, graybuf;
  sample(picture(), sampled);
  for (auto _ : state) {
    graybuf = sampled;
    sharpen(graybuf, 100);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToneSharpen);

// The levels follow frame after frame: alternating two pictures keeps them
// moving, as a movie does.
void BM_ToneLevels(benchmark::State& state) {
  GreyBuffer sampled[2], graybuf;
  sample(picture(), sampled[0]);
  for (int i = 0; i < kPixels; ++i) sampled[1][i] = static_cast<uint8_t>(sampled[0][i] / 2 + 40);
  LevelsState levels;
  int n = 0;
  for (auto _ : state) {
    graybuf = sampled[n ^= 1];
    auto_levels(graybuf, levels);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToneLevels);

// --- Dithering modes ------------------------------------------------------

std::vector<uint8_t> blank_dib() {
  std::vector<uint8_t> dib(dib_bytes(kWidth, kHeight));
  put_dib_header(dib, kWidth, kHeight);
  return dib;
}

uint8_t clip(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// What the steady mode is timed on: it does work only where frames differ,
// so one repeated frame would flatter it. A still: the picture above under
// fresh light noise (-3..3) each frame. A pan: a smooth textured scene
// sliding 0.35 pixels a frame (3.5 a second at 10 frames a second), light
// noise on it; the sequence loops, which adds a jump every 32 frames.
enum Sequence { kStill = 0, kPan = 1 };
constexpr int kSequenceFrames = 32;

std::vector<std::vector<uint8_t>> sequence(int kind) {
  std::vector<std::vector<uint8_t>> frames;
  const std::vector<uint8_t> still = picture();
  uint32_t seed = 77;
  for (int n = 0; n < kSequenceFrames; ++n) {
    std::vector<uint8_t> dib = blank_dib();
    for (int b = 0; b < kHeight; ++b)
      for (int a = 0; a < kWidth; ++a) {
        seed = seed * 1664525 + 1013904223;
        const int noise = static_cast<int>(seed >> 29) - 3;  // -3..3 (and 4)
        const size_t at = kDibHeaderBytes + (kHeight - 1 - b) * kStride + 3 * a;
        for (int c = 0; c < 3; ++c) {
          double v;
          if (kind == kStill) {
            v = still[at + c];
          } else {
            const double x = a + 0.35 * n, y = b;
            v = 128 + 60 * std::sin(x * 0.21 + c) * std::cos(y * 0.17) + 40 * std::sin((x + 2 * y) * 0.05) +
                x * 0.4 - y * 0.5;
          }
          dib[at + c] = clip(v + noise);
        }
      }
    frames.push_back(std::move(dib));
  }
  return frames;
}

// The whole pipeline with `options` over `frames`, round and round.
void run_pipeline(benchmark::State& state, const std::vector<std::vector<uint8_t>>& frames,
                  const DitherOptions& options, int32_t grey, const ConversionSettings& tone = {}) {
  PipelineOptions pipeline = pipeline_options(tone);
  pipeline.shades = shades_for(grey);
  pipeline.matrix = kFloydSteinberg;
  pipeline.dither = options;
  FrameState frame;
  size_t n = 0;
  for (auto _ : state) {
    process_frame(frames[n], pipeline, frame);
    n = (n + 1) % frames.size();
    benchmark::DoNotOptimize(frame.final.data());
    benchmark::DoNotOptimize(frame.final2.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// The whole pipeline with one mode, on the picture above.
void BM_PipelineMode(benchmark::State& state, DitherMode mode, int32_t grey, bool serpentine) {
  run_pipeline(state, {picture()}, {mode, serpentine, false, {}}, grey);
}

// The whole pipeline with the steady mode over a moving sequence.
void BM_PipelineStable(benchmark::State& state, DitherMode mode, int32_t grey, int kind) {
  run_pipeline(state, sequence(kind), {mode, false, true, {}}, grey);
}

// The whole pipeline with every tone option (automatic levels, brightness
// and contrast, sharpening, dithering in light) over the pan, plain and
// steady.
void BM_PipelineTone(benchmark::State& state, bool stable, int32_t grey) {
  ConversionSettings tone;
  tone.auto_levels = true;
  tone.brightness = 5;
  tone.contrast = 10;
  tone.sharpen = 100;
  tone.gamma = 220;
  run_pipeline(state, sequence(kPan), {DitherMode::floyd_steinberg, false, stable, {}}, grey, tone);
}
BENCHMARK_CAPTURE(BM_PipelineTone, floyd_steinberg_grey0, false, 0);
BENCHMARK_CAPTURE(BM_PipelineTone, floyd_steinberg_grey1, false, 1);
BENCHMARK_CAPTURE(BM_PipelineTone, floyd_steinberg_stable_grey0, true, 0);
BENCHMARK_CAPTURE(BM_PipelineTone, floyd_steinberg_stable_grey1, true, 1);

// Named registrations, e.g. BM_PipelineMode/floyd-steinberg/grey:1/serpentine.
const bool kModesRegistered = [] {
  for (int m = 0; m < kDitherModeCount; ++m) {
    const DitherMode mode = static_cast<DitherMode>(m);
    const std::string name(dither_mode_name(mode));
    const bool diffusion = mode != DitherMode::bayer && mode != DitherMode::blue_noise;
    for (int32_t grey : {0, 1}) {
      const std::string levels = "/grey:" + std::to_string(grey);
      benchmark::RegisterBenchmark(("BM_PipelineMode/" + name + levels).c_str(), BM_PipelineMode, mode, grey, false);
      if (diffusion)
        benchmark::RegisterBenchmark(("BM_PipelineMode/" + name + levels + "/serpentine").c_str(), BM_PipelineMode,
                                     mode, grey, true);
      for (int kind : {kStill, kPan})
        benchmark::RegisterBenchmark(
            ("BM_PipelineStable/" + name + levels + (kind == kStill ? "/still" : "/pan")).c_str(),
            BM_PipelineStable, mode, grey, kind);
    }
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
