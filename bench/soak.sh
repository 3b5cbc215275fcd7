#!/usr/bin/env bash
# Soak run of the sanitized build (scripts/sanitize.sh soak runs it; not in
# CI): both engines over a matrix of movies of many codecs and containers,
# made here with Debian's ffmpeg, under AddressSanitizer and
# UndefinedBehaviorSanitizer. Every run must convert ("Success!", status 0) or
# fail with one line (status 1), with no sanitizer report and no leak. Then
# runs killed with SIGKILL at random moments: every file they leave must
# claim no more records than it holds.
#   bench/soak.sh [kills]         (default 50; needs build-sanitize/movdith)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build-sanitize/movdith
kills=${1:-50}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/movies" "$work/reports"
# Reports go to files, since the mencoder engine's standard error is a file
# that a successful run deletes.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:log_path=$work/reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$work/reports/ubsan"

# name, lavfi source, output options: each a few seconds of moving picture
# with sound where the container takes it.
src="testsrc2=size=320x240:rate=25:duration=3"
movie() {
  local name=$1 lavfi=$2
  shift 2
  ffmpeg -nostdin -v error -y -f lavfi -i "$lavfi" -f lavfi -i "sine=duration=3" -shortest "$@" "$work/movies/$name" ||
    { echo "could not make $name" >&2; exit 1; }
}
movie h264.mp4 "$src" -c:v libx264 -pix_fmt yuv420p -c:a aac
movie h264-bframes.mkv "$src" -c:v libx264 -bf 3 -pix_fmt yuv420p -c:a libvorbis
movie h264.ts "$src" -c:v libx264 -pix_fmt yuv420p -c:a mp2
movie h264-portrait.mov "testsrc2=size=240x320:rate=30:duration=3" -c:v libx264 -pix_fmt yuv420p -c:a aac
movie hevc.mp4 "$src" -c:v libx265 -pix_fmt yuv420p -tag:v hvc1 -c:a aac -x265-params log-level=error
movie hevc.mkv "$src" -c:v libx265 -pix_fmt yuv420p -c:a libvorbis -x265-params log-level=error
movie vp8.webm "$src" -c:v libvpx -b:v 300k -c:a libvorbis
movie vp9.webm "$src" -c:v libvpx-vp9 -b:v 300k -c:a libopus
movie av1.mkv "$src" -c:v libaom-av1 -cpu-used 8 -b:v 200k -c:a libopus
movie av1.mp4 "testsrc2=size=160x120:rate=25:duration=3" -c:v libsvtav1 -preset 12 -c:a aac
movie mpeg2.ts "$src" -c:v mpeg2video -q:v 4 -c:a mp2
movie mpeg2.mpg "$src" -c:v mpeg2video -q:v 4 -c:a mp2 -f vob
movie mpeg4.avi "$src" -c:v mpeg4 -q:v 4 -c:a mp3
movie mpeg4.mp4 "$src" -c:v mpeg4 -bf 2 -q:v 4 -c:a aac
movie mjpeg.avi "$src" -c:v mjpeg -q:v 5 -c:a pcm_s16le
movie mjpeg.mov "$src" -c:v mjpeg -q:v 5 -c:a pcm_s16le
movie prores.mov "$src" -c:v prores_ks -profile:v 0 -c:a pcm_s16le
movie theora.ogv "$src" -c:v libtheora -q:v 5 -c:a libvorbis
movie wmv2.avi "$src" -c:v wmv2 -b:v 500k -c:a wmav2
movie flv1.flv "$src" -c:v flv -b:v 500k -c:a mp3
movie gif.gif "testsrc2=size=160x120:rate=10:duration=3" -c:v gif -an
movie ffv1.mkv "$src" -c:v ffv1 -c:a flac
movie raw.avi "testsrc2=size=160x120:rate=25:duration=3" -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le
movie raw.mov "testsrc2=size=160x120:rate=25:duration=3" -c:v rawvideo -pix_fmt uyvy422 -c:a pcm_s16le
movie anamorphic.mkv "testsrc2=size=720x480:rate=30:duration=3,setsar=32/27" -c:v libx264 -pix_fmt yuv420p -c:a aac
# Damaged: cut in half, and a stretch of garbage in the middle.
head -c "$(($(stat -c %s "$work/movies/h264.mp4") / 2))" "$work/movies/h264.mp4" >"$work/movies/cut-h264.mp4"
cp "$work/movies/mpeg2.ts" "$work/movies/garbage-mpeg2.ts"
size=$(stat -c %s "$work/movies/garbage-mpeg2.ts")
head -c 20000 /dev/urandom | dd of="$work/movies/garbage-mpeg2.ts" bs=1 seek=$((size / 2)) conv=notrunc status=none

# The record size of a file's header (byte 13: 0 one plane, else two).
consistent() {  # file: claims no more records than it holds
  local f=$1 size
  size=$(stat -c %s "$f")
  ((size < 23)) && return 0
  local grey count
  grey=$(od -An -tu1 -j13 -N1 "$f" | tr -d ' ')
  count=$(od -An -tu4 -j15 -N4 "$f" | tr -d ' ')
  local rec=$((grey == 0 ? 768 : 1536))
  ((count <= (size - 23) / rec))
}

runs=0 converted=0 failed=0 bad=0
for m in "$work/movies"/*; do
  for engine in mencoder builtin; do
    for grey in "" "-g"; do
      dir=$(mktemp -d -p "$work")
      # shellcheck disable=SC2086
      status=0
      (cd "$dir" && timeout 300 "$bin" "$m" out.8xx --engine=$engine $grey >console.txt 2>stderr.txt) || status=$?
      runs=$((runs + 1))
      last=$(tr '\r' '\n' <"$dir/console.txt" | tail -1)
      verdict=""
      if ((status == 0)) && [[ $last == "Success!" ]]; then
        converted=$((converted + 1))
      elif ((status == 1)) && [[ -n $last ]]; then
        failed=$((failed + 1))
        verdict="failed: $last"
      else
        verdict="BROKEN: status $status, last line '$last'"
        bad=$((bad + 1))
      fi
      [[ -f $dir/out.8xx ]] && ! consistent "$dir/out.8xx" && { verdict+=" INCONSISTENT FILE"; bad=$((bad + 1)); }
      [[ -n $verdict ]] && echo "$(basename "$m") --engine=$engine $grey: $verdict"
      rm -rf "$dir"
    done
  done
done
reports=$(find "$work/reports" -type f | wc -l)
echo "soak: $runs runs, $converted converted, $failed failed with one line, $bad broken; $reports sanitizer reports"
find "$work/reports" -type f -exec sh -c 'echo "== $1"; head -40 "$1"' _ {} \;

# SIGKILL at a random moment of a run, with either engine, on a movie long
# enough that most moments fall in the frame loop.
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=640x480:rate=30:duration=20" -c:v libx264 -preset ultrafast \
  -pix_fmt yuv420p "$work/long.mp4"
inconsistent=0 left=0
for ((i = 1; i <= kills; i++)); do
  dir=$(mktemp -d -p "$work")
  engine=$([[ $((i % 2)) == 0 ]] && echo mencoder || echo builtin)
  (cd "$dir" && exec "$bin" "$work/long.mp4" out.8xx --engine=$engine >/dev/null 2>&1) &
  pid=$!
  sleep "$(awk -v s=$RANDOM 'BEGIN {printf "%.2f", s % 600 / 100}')"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  if [[ -f $dir/out.8xx ]]; then
    left=$((left + 1))
    consistent "$dir/out.8xx" || { inconsistent=$((inconsistent + 1)); echo "kill $i ($engine): INCONSISTENT $(stat -c %s "$dir/out.8xx") bytes"; }
  fi
  rm -rf "$dir"
done
echo "kills: $kills runs killed, $left left a file, $inconsistent inconsistent"
((bad == 0 && reports == 0 && inconsistent == 0))
