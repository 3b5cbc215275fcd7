#!/usr/bin/env bash
# Wall time of whole movdith runs, with each engine, against ffmpeg decoding
# and scaling the same movie to the display (no dithering, output discarded),
# run one after another in turn; medians and their ratios. CPU time (user +
# system) is shown too: on a machine shared with other work it moves less
# than wall time does.
#   bench/speed.sh [runs] [movie...]       (run by scripts/bench.sh speed)
# Default: 7 runs on the bench movies hd720, hd1080 and sd43 (bench/movies.sh),
# made in $BENCH_MOVIES if set (and kept), else in a temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/movdith
runs=${1:-7}
shift || true
movies=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ((${#movies[@]} == 0)); then
  dir=${BENCH_MOVIES:-$work/movies}
  bench/movies.sh "$dir" hd720 hd1080 sd43
  movies=("$dir/hd720.mp4" "$dir/hd1080.mp4" "$dir/sd43.mp4")
fi

# Runs a command in the work folder; prints its wall and CPU seconds.
timed() { (cd "$work" && /usr/bin/time -f '%e %U %S' "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%s %.2f\n", $1, $2 + $3}'); }
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
ratio() { echo "scale=3; $1 / $2" | bc; }
for movie in "${movies[@]}"; do
  IFS=x read -r w h < <(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$movie")
  # The sizing rule: full width for 3:2 and wider, else full height.
  if ((h * 96 / w <= 64)); then ow=96 oh=$((h * 96 / w)); else ow=$((w * 64 / h)) oh=64; fi
  vf="fps=10,scale=$ow:$oh,pad=96:64:$(((96 - ow) / 2)):$(((64 - oh) / 2))"
  enc=() bui=() ffm=() enccpu=() buicpu=() ffmcpu=()
  for ((i = 1; i <= runs; i++)); do
    read -r wall cpu < <(timed "$bin" "$movie" out.8xx)
    enc+=("$wall") enccpu+=("$cpu")
    read -r wall cpu < <(timed "$bin" "$movie" out.8xx --engine=builtin)
    bui+=("$wall") buicpu+=("$cpu")
    read -r wall cpu < <(timed ffmpeg -nostdin -v error -i "$movie" -vf "$vf" -f rawvideo -pix_fmt gray -y /dev/null)
    ffm+=("$wall") ffmcpu+=("$cpu")
    echo "$(basename "$movie") run $i: mencoder engine ${enc[-1]} s (cpu ${enccpu[-1]}), built-in ${bui[-1]} s" \
      "(cpu ${buicpu[-1]}), ffmpeg ${ffm[-1]} s (cpu ${ffmcpu[-1]})"
  done
  e=$(median "${enc[@]}") b=$(median "${bui[@]}") f=$(median "${ffm[@]}")
  ec=$(median "${enccpu[@]}") bc=$(median "${buicpu[@]}") fc=$(median "${ffmcpu[@]}")
  echo "$(basename "$movie") ${w}x$h, medians of $runs: ffmpeg -vf $vf $f s (cpu $fc);" \
    "mencoder engine $e s, ratio $(ratio "$e" "$f") (cpu $(ratio "$ec" "$fc"));" \
    "built-in engine $b s, ratio $(ratio "$b" "$f") (cpu $(ratio "$bc" "$fc"))"
done
