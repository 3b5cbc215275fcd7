// Frames per second of the per-frame pipeline (sample, reduce, dither, pack)
// on a display-sized frame like the ones the encoder hands over, and of each
// stage alone. items_per_second is frames per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "frame/dib.h"
#include "frame/frame.h"

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

}  // namespace

BENCHMARK_MAIN();
