#!/usr/bin/env bash
# Builds and runs the per-frame pipeline benchmark (Google Benchmark).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed" ||
  { apt-get update -q && apt-get install -y -q libbenchmark-dev; }
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMOVDITH_TESTS=OFF -DMOVDITH_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target pipeline_bench
build-bench/pipeline_bench "$@"
