#!/usr/bin/env bash
# Byte-for-byte comparison of two movdith builds: the console text and the
# output file of each, on the bundled sample and on movies like the tests'
# (made here with ffmpeg), with no option, -g, -r 4 and a custom -m; and with
# the built-in engine on those and on the codecs, containers and shapes it
# handles itself (B-frames, HEVC, VP9, a variable rate, a turned phone video,
# MPEG-TS), with and without its own options.
#   bench/compare_builds.sh OLD_MOVDITH [NEW_MOVDITH]   (default new: build/movdith)
# Prints one line per run and exits non-zero if any pair differs.
set -euo pipefail
cd "$(dirname "$0")/.."
old=$(realpath "$1")
new=$(realpath "${2:-build/movdith}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp sample/sample.mp4 "$work/sample.mp4"
movie() { ffmpeg -nostdin -v error -y -f lavfi -i "$2" "${@:3}" "$work/$1"; }
movie t640x480.mp4 "testsrc2=size=640x480:rate=25:duration=2"
movie t1280x720.mp4 "testsrc2=size=1280x720:rate=25:duration=2"
movie t480x640.mp4 "testsrc2=size=480x640:rate=25:duration=2"
movie t96x64.mp4 "testsrc2=size=96x64:rate=10:duration=1"
movie t160x120.mp4 "testsrc2=size=160x120:rate=10:duration=1"
movie black320x240.mp4 "color=black:rate=25:duration=1:size=320x240"
movie black96x40.mp4 "color=black:rate=25:duration=1:size=96x40"
movie t320x240.mp4 "testsrc2=size=320x240:rate=25:duration=1"
movie sound.mp4 "testsrc2=size=320x240:rate=25:duration=2" -f lavfi -i "sine=duration=2" -c:a aac -shortest
movie anamorphic.mp4 "testsrc2=size=720x480:rate=30:duration=1" -vf setsar=32/27
builtin_only=(hevc.mp4 vp9.webm vfr.mkv phone.mp4 h264.ts)
movie hevc.mp4 "testsrc2=size=640x360:rate=30:duration=2" -c:v libx265 -x265-params log-level=error
movie vp9.webm "testsrc2=size=480x270:rate=24:duration=2" -c:v libvpx-vp9 -b:v 300k
movie vfr.mkv "testsrc2=size=320x180:rate=30:duration=3" -vf "setpts='if(lt(N,30),N/30,1+(N-30)/12)/TB'" -fps_mode vfr
movie phone.mp4 "testsrc2=size=640x360:rate=30:duration=2" -metadata:s:v:0 rotate=90
movie h264.ts "testsrc2=size=640x360:rate=30:duration=2" -c:v libx264

mencoder_options=("" "-g" "-r 4" "-m 0,0,0,0,0,0.5,0,0.5,0" "-g -r 3 -m 0,0,0,0,0,0.333333,0,0.333333,0")
builtin_options=("--engine=builtin" "--engine=builtin -g" "--engine=builtin --stable --dither=atkinson"
  "--engine=builtin -g --fit=crop --start=0.5 --duration=1" "--engine=builtin -g --start=0.45 --duration=0.8"
  "--engine=builtin --fit=crop --stable")

status=0
for m in "$work"/*.*; do
  options=("${mencoder_options[@]}" "${builtin_options[@]}")
  [[ " ${builtin_only[*]} " == *" $(basename "$m") "* ]] && options=("${builtin_options[@]}")
  for opts in "${options[@]}"; do
    for which in old new; do
      mkdir -p "$work/$which"
      bin=$old
      [[ $which == new ]] && bin=$new
      # shellcheck disable=SC2086
      (cd "$work/$which" && "$bin" "../$(basename "$m")" out.8xx $opts >console.txt 2>&1 || true)
    done
    # A run that writes no file (a refusal) matches one that writes none either.
    if ! [[ -e $work/old/out.8xx || -e $work/new/out.8xx ]] && cmp -s "$work/old/console.txt" "$work/new/console.txt"; then
      echo "same: $(basename "$m") $opts (no file)"
    elif cmp -s "$work/old/out.8xx" "$work/new/out.8xx" && cmp -s "$work/old/console.txt" "$work/new/console.txt"; then
      echo "same: $(basename "$m") $opts ($(stat -c %s "$work/new/out.8xx") bytes)"
    else
      echo "DIFFERENT: $(basename "$m") $opts"
      status=1
    fi
    rm -rf "$work/old" "$work/new"
  done
done
exit $status
