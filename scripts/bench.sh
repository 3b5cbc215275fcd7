#!/usr/bin/env bash
# Builds and runs the per-frame pipeline benchmark (Google Benchmark).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh g++ cmake make pkg-config libavformat-dev libavcodec-dev libswscale-dev \
  libavutil-dev libbenchmark-dev
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMOVDITH_TESTS=OFF -DMOVDITH_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target pipeline_bench
build-bench/pipeline_bench "$@"
