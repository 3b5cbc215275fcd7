#!/usr/bin/env bash
# The measurements, each with what it needs installed and built first.
#   scripts/bench.sh [pipeline] [benchmark options]   frames per second of the per-frame pipeline
#   scripts/bench.sh speed [runs]                     whole-run wall time against ffmpeg
#   scripts/bench.sh memory                           peak memory, 10 s against 10 min of movie
#   scripts/bench.sh compare OLD_MOVDITH              console text and files against another build
set -euo pipefail
cd "$(dirname "$0")/.."
what=pipeline
case "${1:-}" in
  pipeline | speed | memory | compare) what=$1; shift ;;
esac
scripts/setup.sh --packages-only tests bench
case $what in
  pipeline)
    cmake --preset bench >/dev/null
    cmake --build --preset bench -j"$(nproc)" --target pipeline_bench
    build-bench/pipeline_bench "$@"
    ;;
  speed) scripts/setup.sh >/dev/null && bench/compare_ffmpeg.sh "$@" ;;
  memory) scripts/setup.sh >/dev/null && bench/peak_memory.sh "$@" ;;
  compare) scripts/setup.sh >/dev/null && bench/compare_builds.sh "$@" ;;
esac
