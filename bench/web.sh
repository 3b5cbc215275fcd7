#!/usr/bin/env bash
# The browser page's figures (bench/web_bench.mjs), in headless Chromium:
# its conversion of the 60 s 1280 x 720 bench movie against
# movdith --engine=builtin (alternating, RUNS times each, default 5), its
# preview's redraw times on that movie, and its peak memory converting a
# 10-second and a 10-minute movie (640 x 480).
#   bench/web.sh [runs]          (run by scripts/bench.sh web)
# The movies are made in $BENCH_MOVIES if set (and kept), else in a temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dir=${BENCH_MOVIES:-$work/movies}
bench/movies.sh "$dir" hd720
for seconds in 10 600; do
  [[ -s $dir/long$seconds.mp4 ]] && continue
  ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=640x480:rate=25:duration=$seconds" \
    -c:v libx264 -preset ultrafast -pix_fmt yuv420p "$dir/long$seconds.mp4"
done
export MOVDITH_WEB_SITE=$PWD/build-web/web/site MOVDITH_BIN=$PWD/build/movdith
node bench/web_bench.mjs speed "$dir/hd720.mp4" "$runs"
node bench/web_bench.mjs preview "$dir/hd720.mp4"
node bench/web_bench.mjs memory "$dir/long10.mp4" "$dir/long600.mp4"
