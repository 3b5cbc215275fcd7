#!/usr/bin/env bash
# Peak resident memory of movdith on a 10-second and a 10-minute movie
# (640 x 480): it must not grow with the movie's length.
#   bench/memory.sh        (run by scripts/bench.sh memory)
# For the mencoder engine, "whole run" includes the encoder, the largest
# process of the run, and "movdith alone" replays the run's temporary movie
# through a stand-in encoder that only copies it, so the figure is movdith's
# own. The built-in engine's run is movdith alone anyway.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=$root/build/movdith
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/standin"
peak() { (cd "$work" && /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1); }
declare -A builtin
for seconds in 10 600; do
  ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=640x480:rate=25:duration=$seconds" \
    -c:v libx264 -preset ultrafast -pix_fmt yuv420p "$work/m$seconds.mp4"
  # The whole run, keeping its temporary movie for the stand-in to hand back.
  whole=$(KEEP_TEMP_MOVIE="$work/keep$seconds.avi" PATH="$root/bench/keep:$PATH" peak "$bin" "m$seconds.mp4" out.8xx)
  printf '#!/bin/sh\ncp %s movdithtemp.avi\n' "$work/keep$seconds.avi" >"$work/standin/mencoder"
  chmod +x "$work/standin/mencoder"
  alone=$(PATH="$work/standin:$PATH" peak "$bin" "m$seconds.mp4" out.8xx)
  builtin[$seconds]=$(peak "$bin" "m$seconds.mp4" out.8xx --engine=builtin)
  echo "$seconds s movie, $(($(stat -c %s "$work/out.8xx") / 768)) records: mencoder engine: whole run $whole KiB peak," \
    "movdith alone $alone KiB; built-in engine ${builtin[$seconds]} KiB"
done
echo "built-in engine, 10 min against 10 s: $((builtin[600] - builtin[10])) KiB more"
