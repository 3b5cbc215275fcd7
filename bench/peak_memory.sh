#!/usr/bin/env bash
# Peak memory of movdith on a 10-second and a 10-minute movie (640 x 480).
#   bench/peak_memory.sh        (needs build/movdith and GNU time)
# "whole run" includes the encoder, the largest process of the run; "movdith
# alone" replays the run's temporary movie through a stand-in encoder that
# only copies it, so the figure is movdith's own.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/movdith
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/standin"
for seconds in 10 600; do
  ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=640x480:rate=25:duration=$seconds" \
    -c:v libx264 -preset ultrafast -pix_fmt yuv420p "$work/m$seconds.mp4"
  whole=$(cd "$work" && /usr/bin/time -f %M "$bin" "m$seconds.mp4" out.8xx 2>&1 >/dev/null | tail -1)
  # Keep this run's temporary movie: the stand-in hands it back.
  (cd "$work" && mencoder -really-quiet -nosound -ovc lavc \
    -lavcopts vcodec=msmpeg4v2:mbd=2:keyint=5:subcmp=2:dia=2:o=mpv_flags=+mv0:last_pred=3:vbitrate=4000 \
    -ofps 10 -vf scale=85:64,format=bgr24,expand=96:64,scale -o "keep$seconds.avi" -- "m$seconds.mp4" >/dev/null 2>&1)
  printf '#!/bin/sh\ncp %s movdithtemp.avi\n' "$work/keep$seconds.avi" >"$work/standin/mencoder"
  chmod +x "$work/standin/mencoder"
  alone=$(cd "$work" && PATH="$work/standin:$PATH" /usr/bin/time -f %M "$bin" "m$seconds.mp4" out.8xx 2>&1 >/dev/null | tail -1)
  echo "$seconds s movie: whole run $whole KiB peak, movdith alone $alone KiB peak, $(($(stat -c %s "$work/out.8xx") / 768)) records"
done
