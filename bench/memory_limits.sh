#!/usr/bin/env bash
# Peak resident memory of the built-in engine on the movies that test the
# memory limits (src/movie/limits.h, docs/hardening.md): a hostile AVI whose
# header asks for 1.85 GB, movies from 1080p to 8K in the common codecs, and
# pictures of the largest size allowed (8000 x 5000). Prints one line per
# movie: the peak (KiB, /usr/bin/time's %M), the seconds and the last line.
#   bench/memory_limits.sh [OLD_MOVDITH]     (run by scripts/bench.sh limits)
# With OLD_MOVDITH, each movie is run with it too, for the figures before.
# Set BENCH_MOVIES=folder to keep the movies between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
new=$PWD/build/movdith
old=${1:+$(realpath "$1")}
dir=${BENCH_MOVIES:-$(mktemp -d)}
[[ -n ${BENCH_MOVIES:-} ]] || trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/limits"
cd "$dir/limits"

# name, source size, seconds, output options
make() {
  local name=$1 size=$2 seconds=$3
  shift 3
  [[ -s $name ]] && return
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$size:rate=10:duration=$seconds" "$@" "$name"
}
python3 - <<'EOF'
import struct
info = b'INFO' + b'ISFT' + struct.pack('<I', 1853188640) + b'x' * 64
body = b'AVI ' + b'LIST' + struct.pack('<I', 0x7FFF0000) + info
open('hostile-info.avi', 'wb').write(b'RIFF' + struct.pack('<I', len(body)) + body)
EOF
x265=(-x265-params log-level=error)
make h264-1080.mp4 1920x1080 2 -c:v libx264
make h264-uhd.mp4 3840x2160 1 -c:v libx264
make hevc-uhd.mp4 3840x2160 1 -c:v libx265 -preset fast "${x265[@]}"
make hevc10-uhd.mp4 3840x2160 1 -c:v libx265 -preset fast -pix_fmt yuv420p10le "${x265[@]}"
make vp9-10-uhd.webm 3840x2160 1 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -pix_fmt yuv420p10le -profile:v 2
make av1-uhd.mp4 3840x2160 0.5 -c:v libsvtav1 -preset 12
make av1-10-uhd.mp4 3840x2160 0.5 -c:v libsvtav1 -preset 12 -pix_fmt yuv420p10le
make h264-8k.mp4 7680x4320 0.5 -c:v libx264 -preset veryfast
make hevc-8k.mp4 7680x4320 0.5 -c:v libx265 -preset veryfast "${x265[@]}"
make photo-40m.jpg 8000x5000 1 -frames:v 1
make picture-40m.png 8000x5000 1 -frames:v 1
make mjpeg-40m.avi 8000x5000 0.3 -c:v mjpeg -q:v 5
make raw-40m.nut 8000x5000 0.3 -c:v rawvideo -pix_fmt bgr24
make h264-40m.mp4 8000x5000 0.3 -c:v libx264 -preset ultrafast
make hevc-40m.mp4 8000x5000 0.3 -c:v libx265 -preset ultrafast "${x265[@]}"
make vp9-40m.webm 8000x5000 0.3 -c:v libvpx-vp9 -deadline realtime -cpu-used 8
make ffv1-40m.mkv 8000x5000 0.3 -c:v ffv1

run() {  # program, movie: "peak KiB, seconds, last line"
  local last
  last=$(/usr/bin/time -o time.txt -f "%M KiB, %e s" "$1" "$2" out.8xx --engine=builtin 2>/dev/null | tr '\r' '\n' | tail -1)
  echo "$(tail -1 time.txt), $last"
}
for movie in hostile-info.avi h264-1080.mp4 h264-uhd.mp4 hevc-uhd.mp4 hevc10-uhd.mp4 vp9-10-uhd.webm av1-uhd.mp4 \
  av1-10-uhd.mp4 h264-8k.mp4 hevc-8k.mp4 photo-40m.jpg picture-40m.png mjpeg-40m.avi raw-40m.nut h264-40m.mp4 \
  hevc-40m.mp4 vp9-40m.webm ffv1-40m.mkv; do
  line="$movie: now $(run "$new" "$movie")"
  [[ -n $old ]] && line+="; before $(run "$old" "$movie")"
  echo "$line"
done
