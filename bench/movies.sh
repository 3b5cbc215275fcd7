#!/usr/bin/env bash
# The speed and guard bench movies, made with ffmpeg into folder $1 (kept
# there, so that later runs reuse them):
#   hd720.mp4   60 s 1280 x 720, 30 fps, H.264 (x264 defaults: B-frames, 3 references)
#   hd1080.mp4  30 s 1920 x 1080, 30 fps, H.264 with film grain
#   sd43.mp4    60 s 640 x 480 (4:3), 30 fps, H.264
#   detail.mp4  20 s 1280 x 720, 30 fps, H.264: a zooming fractal with grain,
#               fine detail everywhere, as in a photograph
#   bench/movies.sh FOLDER [NAME...]     (default: all four)
set -euo pipefail
dir=$1
shift
names=("$@")
((${#names[@]})) || names=(hd720 hd1080 sd43 detail)
mkdir -p "$dir"
for name in "${names[@]}"; do
  out=$dir/$name.mp4
  [[ -s $out ]] && continue
  case $name in
    hd720) src="testsrc2=size=1280x720:rate=30:duration=60" preset=medium ;;
    hd1080) src="testsrc2=size=1920x1080:rate=30:duration=30,noise=alls=8:allf=t" preset=fast ;;
    sd43) src="testsrc2=size=640x480:rate=30:duration=60" preset=medium ;;
    detail) src="mandelbrot=size=1280x720:rate=30,trim=duration=20,noise=alls=6:allf=t" preset=medium ;;
    *) echo "unknown bench movie: $name" >&2; exit 2 ;;
  esac
  echo "making $out" >&2
  ffmpeg -nostdin -v error -y -f lavfi -i "$src" -c:v libx264 -preset "$preset" -pix_fmt yuv420p "$out.part.mp4"
  mv "$out.part.mp4" "$out"
done
