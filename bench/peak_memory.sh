#!/usr/bin/env bash
# Peak memory of movdith on a 10-second and a 10-minute movie (640 x 480).
#   bench/peak_memory.sh        (run by scripts/bench.sh memory)
# "whole run" includes the encoder, the largest process of the run; "movdith
# alone" replays the run's temporary movie through a stand-in encoder that
# only copies it, so the figure is movdith's own.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=$root/build/movdith
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/standin"
for seconds in 10 600; do
  ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=640x480:rate=25:duration=$seconds" \
    -c:v libx264 -preset ultrafast -pix_fmt yuv420p "$work/m$seconds.mp4"
  # The whole run, keeping its temporary movie for the stand-in to hand back.
  whole=$(cd "$work" && KEEP_TEMP_MOVIE="$work/keep$seconds.avi" PATH="$root/bench/keep:$PATH" \
    /usr/bin/time -f %M "$bin" "m$seconds.mp4" out.8xx 2>&1 >/dev/null | tail -1)
  printf '#!/bin/sh\ncp %s movdithtemp.avi\n' "$work/keep$seconds.avi" >"$work/standin/mencoder"
  chmod +x "$work/standin/mencoder"
  alone=$(cd "$work" && PATH="$work/standin:$PATH" /usr/bin/time -f %M "$bin" "m$seconds.mp4" out.8xx 2>&1 >/dev/null | tail -1)
  echo "$seconds s movie: whole run $whole KiB peak, movdith alone $alone KiB peak, $(($(stat -c %s "$work/out.8xx") / 768)) records"
done
