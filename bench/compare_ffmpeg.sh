#!/usr/bin/env bash
# Wall time of a whole movdith run against ffmpeg doing the same decoding and
# scaling (no dithering, output discarded), run alternately on one movie.
#   bench/compare_ffmpeg.sh [runs]      (default 5; run by scripts/bench.sh speed)
# Prints each run's timings, the medians and their ratios. ffmpeg decodes on
# every core; mencoder, and so movdith, on one: the single-threaded ffmpeg
# run shows the same work on equal terms.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
movie=$work/movie.mp4
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=60" \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p "$movie"

now() { date +%s.%N; }
mov=() ffm=() one=()
for ((i = 1; i <= runs; i++)); do
  t0=$(now)
  (cd "$work" && "$OLDPWD/build/movdith" movie.mp4 out.8xx >/dev/null)
  t1=$(now)
  # 1280 x 720 fits as 96 x 54, padded 5 rows above and below.
  ffmpeg -nostdin -v error -i "$movie" -vf fps=10,scale=96:54,pad=96:64:0:5 -f rawvideo -pix_fmt gray -y /dev/null
  t2=$(now)
  ffmpeg -nostdin -v error -threads 1 -i "$movie" -vf fps=10,scale=96:54,pad=96:64:0:5 -f rawvideo -pix_fmt gray -y /dev/null
  t3=$(now)
  mov+=("$(echo "$t1 - $t0" | bc)") ffm+=("$(echo "$t2 - $t1" | bc)") one+=("$(echo "$t3 - $t2" | bc)")
  echo "run $i: movdith ${mov[-1]} s, ffmpeg ${ffm[-1]} s, ffmpeg -threads 1 ${one[-1]} s"
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
m=$(median "${mov[@]}") f=$(median "${ffm[@]}") o=$(median "${one[@]}")
echo "median: movdith $m s, ffmpeg $f s (ratio $(echo "scale=3; $m / $f" | bc)), ffmpeg -threads 1 $o s (ratio $(echo "scale=3; $m / $o" | bc))"
