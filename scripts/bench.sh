#!/usr/bin/env bash
# The measurements, each with what it needs installed and built first.
#   scripts/bench.sh [pipeline] [benchmark options]   frames per second of the per-frame pipeline, every mode
#   scripts/bench.sh speed [runs] [movie...]          whole runs of each engine against ffmpeg
#   scripts/bench.sh memory                           peak memory, 10 s against 10 min of movie, each engine
#   scripts/bench.sh limits [OLD_MOVDITH]             peak memory on hostile, 4K, 8K and 40-million-pixel movies
#   scripts/bench.sh guard [movie...]                 the built-in engine's pictures against a full decode's
#   scripts/bench.sh quality [folder]                 flicker, fidelity, structure, tone and speed of every
#                                                     dithering mode and tone option
#   scripts/bench.sh steady [--before=TOOL] [folder] [mode...]
#                                                     the steady mode against the plain one, with the targets
#                                                     each movie misses (TOOL: an older dither_quality)
#   scripts/bench.sh hdr [MOVDITH]                    HDR movies' shades against their SDR master's
#   scripts/bench.sh compare OLD_MOVDITH              console text and files against another build
#   scripts/bench.sh web [runs]                       the browser page: speed against the command line, preview, memory
set -euo pipefail
cd "$(dirname "$0")/.."
what=pipeline
case "${1:-}" in
  pipeline | speed | memory | limits | guard | quality | steady | hdr | compare | web) what=$1; shift ;;
esac
scripts/setup.sh --packages-only tests bench
cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc)"
# build/movdith, which the whole-run measurements run, as the sources are now.
if [[ -f build/CMakeCache.txt ]]; then cmake --build --preset default -j"$(nproc)" --target movdith; else scripts/setup.sh; fi
case $what in
  pipeline) build-bench/pipeline_bench "$@" ;;
  speed) bench/speed.sh "$@" ;;
  memory) bench/memory.sh "$@" ;;
  limits) bench/memory_limits.sh "$@" ;;
  guard) bench/guard.sh "$@" ;;
  quality) bench/quality_table.sh "$@" ;;
  steady) bench/steady_table.sh "$@" ;;
  hdr) bench/hdr_table.sh "$@" ;;
  compare) bench/compare_builds.sh "$@" ;;
  web) scripts/web.sh build && bench/web.sh "$@" ;;
esac
