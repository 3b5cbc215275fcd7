#!/usr/bin/env bash
# Byte-for-byte comparison of two movdith builds: the console text and the
# output file of each, on the bundled sample and on movies like the tests'
# (made here with ffmpeg), with no option, -g, -r 4 and a custom -m, and
# through the built-in engine with clips, fits and the steady mode.
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

status=0
for m in "$work"/*.mp4; do
  for opts in "" "-g" "-r 4" "-m 0,0,0,0,0,0.5,0,0.5,0" "-g -r 3 -m 0,0,0,0,0,0.333333,0,0.333333,0" \
    "--engine=builtin" "--engine=builtin -g --start=0.45 --duration=0.8" "--engine=builtin --fit=crop --stable"; do
    for which in old new; do
      mkdir -p "$work/$which"
      bin=$old
      [[ $which == new ]] && bin=$new
      # shellcheck disable=SC2086
      (cd "$work/$which" && "$bin" "../$(basename "$m")" out.8xx $opts >console.txt 2>&1 || true)
    done
    if cmp -s "$work/old/out.8xx" "$work/new/out.8xx" && cmp -s "$work/old/console.txt" "$work/new/console.txt"; then
      echo "same: $(basename "$m") $opts ($(stat -c %s "$work/new/out.8xx") bytes)"
    else
      echo "DIFFERENT: $(basename "$m") $opts"
      status=1
    fi
    rm -rf "$work/old" "$work/new"
  done
done
exit $status
