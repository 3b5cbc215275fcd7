#!/usr/bin/env bash
# The built-in engine's quality guard: on each bench movie, the grey 96 x 64
# frames of the fast path against those of a full decode (every picture
# decoded, deblocking on) with the same frame choice. Fails unless every
# frame of every movie is at least 45 dB PSNR from the full decode.
#   bench/builtin_quality.sh [movie...]
# Default: the four bench movies of builtin_movies.sh, made in $BENCH_MOVIES
# if set (and kept), else in a temporary folder. Needs build/builtin_decode.
set -euo pipefail
cd "$(dirname "$0")/.."
driver=$PWD/build/builtin_decode
[[ -x $driver ]] || { echo "build/builtin_decode missing: cmake -S . -B build -DMOVDITH_BENCH=ON && cmake --build build -j2" >&2; exit 2; }
min_db=45
movies=("$@")
if ((${#movies[@]} == 0)); then
  dir=${BENCH_MOVIES:-}
  if [[ -z $dir ]]; then
    dir=$(mktemp -d)
    trap 'rm -rf "$dir"' EXIT
  fi
  bench/builtin_movies.sh "$dir"
  movies=("$dir/hd720.mp4" "$dir/hd1080.mp4" "$dir/sd43.mp4" "$dir/detail.mp4")
fi
status=0
for movie in "${movies[@]}"; do
  line=$("$driver" "$movie" --compare) || status=1
  worst=$(sed -n 's/.*worst \([^ ]*\) dB.*/\1/p' <<<"$line")
  verdict=ok
  if [[ $worst != inf ]] && ! awk -v w="$worst" -v m="$min_db" 'BEGIN {exit !(w >= m)}'; then
    verdict="BELOW $min_db dB"
    status=1
  fi
  echo "$(basename "$movie"): $line: $verdict"
done
exit $status
