#!/usr/bin/env bash
# Wall time of the built-in engine against ffmpeg decoding and scaling the
# same movie to the display (no dithering, output discarded), run alternately;
# medians and their ratio. The engine runs through build/builtin_decode, which
# pulls every frame through sample, dither and pack as a run does. CPU time
# (user + system) is shown too: on a machine shared with other work it moves
# less than wall time does.
#   bench/builtin_speed.sh [runs] [movie...]
# Default: 7 runs of each on the bench movies hd720, hd1080 and sd43 (see
# builtin_movies.sh), made in $BENCH_MOVIES if set (and kept), else in a
# temporary folder. Needs build/builtin_decode: configure with -DMOVDITH_BENCH=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
driver=$PWD/build/builtin_decode
[[ -x $driver ]] || { echo "build/builtin_decode missing: cmake -S . -B build -DMOVDITH_BENCH=ON && cmake --build build -j2" >&2; exit 2; }
runs=${1:-7}
shift || true
movies=("$@")
if ((${#movies[@]} == 0)); then
  dir=${BENCH_MOVIES:-}
  if [[ -z $dir ]]; then
    dir=$(mktemp -d)
    trap 'rm -rf "$dir"' EXIT
  fi
  bench/builtin_movies.sh "$dir" hd720 hd1080 sd43
  movies=("$dir/hd720.mp4" "$dir/hd1080.mp4" "$dir/sd43.mp4")
fi

# Runs a command; prints its wall and CPU seconds.
timed() { /usr/bin/time -f '%e %U %S' "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%s %.2f\n", $1, $2 + $3}'; }
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
for movie in "${movies[@]}"; do
  IFS=x read -r w h < <(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$movie")
  # The sizing rule (pad fit): full width for 3:2 and wider, else full height.
  if ((h * 96 / w <= 64)); then ow=96 oh=$((h * 96 / w)); else ow=$((w * 64 / h)) oh=64; fi
  vf="fps=10,scale=$ow:$oh,pad=96:64:$(((96 - ow) / 2)):$(((64 - oh) / 2))"
  eng=() ffm=() engcpu=() ffmcpu=()
  for ((i = 1; i <= runs; i++)); do
    read -r wall cpu < <(timed "$driver" "$movie")
    eng+=("$wall") engcpu+=("$cpu")
    read -r wall cpu < <(timed ffmpeg -nostdin -v error -i "$movie" -vf "$vf" -f rawvideo -pix_fmt gray -y /dev/null)
    ffm+=("$wall") ffmcpu+=("$cpu")
    echo "$(basename "$movie") run $i: engine ${eng[-1]} s (cpu ${engcpu[-1]} s), ffmpeg ${ffm[-1]} s (cpu ${ffmcpu[-1]} s)"
  done
  e=$(median "${eng[@]}") f=$(median "${ffm[@]}") ec=$(median "${engcpu[@]}") fc=$(median "${ffmcpu[@]}")
  echo "$(basename "$movie") ${w}x$h median of $runs: engine $e s, ffmpeg -vf $vf $f s," \
    "wall ratio $(echo "scale=3; $e / $f" | bc); cpu $ec s against $fc s, ratio $(echo "scale=3; $ec / $fc" | bc)"
done
