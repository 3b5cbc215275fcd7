#!/usr/bin/env bash
# Peak resident memory of the built-in engine (through build/builtin_decode)
# on a 10-second and a 10-minute 640 x 480 movie: it must not grow with the
# movie's length (at most 1 MiB more for the long one).
#   bench/builtin_memory.sh        (needs build/builtin_decode and GNU time)
set -euo pipefail
cd "$(dirname "$0")/.."
driver=$PWD/build/builtin_decode
[[ -x $driver ]] || { echo "build/builtin_decode missing: cmake -S . -B build -DMOVDITH_BENCH=ON && cmake --build build -j2" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
declare -A peak
for seconds in 10 600; do
  ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=640x480:rate=25:duration=$seconds" \
    -c:v libx264 -preset ultrafast -pix_fmt yuv420p "$work/m$seconds.mp4"
  peak[$seconds]=$(/usr/bin/time -f %M "$driver" "$work/m$seconds.mp4" 2>&1 >"$work/out$seconds" | tail -1)
  echo "$seconds s movie: $(cat "$work/out$seconds"); peak ${peak[$seconds]} KiB"
done
growth=$((peak[600] - peak[10]))
echo "growth from 10 s to 10 min: $growth KiB"
((growth <= 1024)) || { echo "peak memory grows with the movie's length" >&2; exit 1; }
