#!/usr/bin/env bash
# The built-in engine's quality guard: on each bench movie, the grey 96 x 64
# frames of the fast path (pictures no frame shows left undecoded) against
# those of a full decode with the same frame choice. Fails unless every frame
# of every movie is at least 45 dB PSNR from the full decode.
#   bench/guard.sh [movie...]       (run by scripts/bench.sh guard)
# Default: the four bench movies of bench/movies.sh, made in $BENCH_MOVIES if
# set (and kept), else in a temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$PWD/build-bench/builtin_guard
min_db=45
movies=("$@")
if ((${#movies[@]} == 0)); then
  dir=${BENCH_MOVIES:-}
  if [[ -z $dir ]]; then
    dir=$(mktemp -d)
    trap 'rm -rf "$dir"' EXIT
  fi
  bench/movies.sh "$dir"
  movies=("$dir/hd720.mp4" "$dir/hd1080.mp4" "$dir/sd43.mp4" "$dir/detail.mp4")
fi
status=0
for movie in "${movies[@]}"; do
  line=$("$tool" "$movie") || status=1
  worst=$(sed -n 's/.*worst \([^ ]*\) dB.*/\1/p' <<<"$line")
  verdict=ok
  if [[ $worst != inf ]] && ! awk -v w="$worst" -v m="$min_db" 'BEGIN {exit !(w >= m)}'; then
    verdict="BELOW $min_db dB"
    status=1
  fi
  echo "$(basename "$movie"): $line: $verdict"
done
exit $status
