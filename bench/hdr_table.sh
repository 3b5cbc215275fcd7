#!/usr/bin/env bash
# HDR movies against their SDR master: a 4 s pan over two photographs (H.264,
# BT.709) and, made from it by zscale as grading tools make them (SDR's
# white at 100 cd/m2), its PQ and HLG versions (10-bit HEVC, BT.2020),
# converted by movdith with each engine in 2 and 4 levels; prints the mean
# shade and the share of each shade, the table of docs/quality.md:
#   bench/hdr_table.sh [MOVDITH] [DIR]   (defaults build/movdith, build-quality/hdr)
set -euo pipefail
cd "$(dirname "$0")/.."
movdith=$(realpath "${1:-build/movdith}")
dir=${2:-build-quality/hdr}
mkdir -p "$dir"
photos=/usr/lib/python3/dist-packages/skimage/data
exact=(-fflags +bitexact -flags:v +bitexact -map_metadata -1)
if [ ! -f "$dir/hlg.mp4" ]; then
  ffmpeg -v error -y -framerate 25 -loop 1 -t 2 -i "$photos/coffee.png" -framerate 25 -loop 1 -t 2 -i "$photos/astronaut.png" \
    -filter_complex "[0]scale=720:480,crop=480:320:x='20*t':y=80,setsar=1[a];[1]scale=512:512,crop=480:320:x=16:y='20*t',setsar=1[b];[a][b]concat=n=2,scale=out_color_matrix=bt709:out_range=tv,format=yuv420p" \
    -r 25 -c:v libx264 -crf 18 -threads 1 -color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range tv \
    "${exact[@]}" "$dir/sdr.mp4"
  for version in "pq smpte2084" "hlg arib-std-b67"; do
    set -- $version
    ffmpeg -v error -y -i "$dir/sdr.mp4" \
      -vf "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt2020:t=$2:m=bt2020nc:r=tv:npl=100,format=yuv420p10le" \
      -c:v libx265 -crf 18 -x265-params "log-level=error:pools=1:colorprim=bt2020:transfer=$2:colormatrix=bt2020nc" \
      -color_primaries bt2020 -color_trc "$2" -colorspace bt2020nc "${exact[@]}" "$dir/$1.mp4"
  done
fi
echo "| engine | levels | movie | mean shade | black | dark grey | light grey | white |"
echo "|---|---|---|---|---|---|---|---|"
for engine in mencoder builtin; do
  for grey in "" "-g"; do
    for movie in sdr pq hlg; do
      # shellcheck disable=SC2086
      (cd "$dir" && "$movdith" "$movie.mp4" "$movie.8xx" --engine=$engine $grey >/dev/null 2>&1)
      IFS=$'\t' read -r _ mean black dark light white < <(bench/shades.py "$dir/$movie.8xx")
      if [ -z "$grey" ]; then dark=–; light=–; else dark="$dark %"; light="$light %"; fi
      echo "| $engine | $([ -z "$grey" ] && echo 2 || echo 4) | $movie | $mean | $black % | $dark | $light | $white % |"
    done
  done
done
