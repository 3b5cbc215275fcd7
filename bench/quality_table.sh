#!/usr/bin/env bash
# Measures every dithering mode on the quality movies, their frames made by
# the built-in engine, and prints the tables of docs/quality.md (flicker,
# fidelity, structure, tone error, pipeline frames per second):
#   bench/quality_table.sh [DIR]        (run by scripts/bench.sh quality; DIR as
#                                        for make_quality_movies.sh)
# and writes DIR/sheets/MOVIE-MODE.png, contact sheets of a few modes made by
# vidxview --png from the videos dither_quality wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-quality}
[ -f "$dir/action.mp4" ] || bench/make_quality_movies.sh "$dir" >&2
tool=build-bench/dither_quality
movies=(still pans action zoom ramp zoneplate)
modes=(matrix floyd-steinberg atkinson jarvis-judice-ninke stucki burkes sierra two-row-sierra sierra-lite
       bayer blue-noise)
sheets=(matrix "matrix --stable" "floyd-steinberg --serpentine" "floyd-steinberg --stable" "atkinson --stable"
        blue-noise "blue-noise --stable")
mkdir -p "$dir/sheets"

variants=()
for m in "${modes[@]}"; do
  variants+=("--dither=$m")
  [[ $m == bayer || $m == blue-noise ]] || variants+=("--dither=$m --serpentine")
  variants+=("--dither=$m --stable")
done

for grey in "" "-g"; do
  levels=$([ -z "$grey" ] && echo 2 || echo 4)
  echo
  echo "**$levels levels** — each cell: flicker (% of pixels changing shade per frame) · fidelity (dB) · structure (SSIM) · tone error (% of light) · pipeline frames/s"
  echo
  echo "| mode | still (5 s) | pans (24 s) | action (12 s) | zoom (12 s) | ramp (10 s) | zone plate (8 s) |"
  echo "|---|---|---|---|---|---|---|"
  for v in "${variants[@]}"; do
    # shellcheck disable=SC2086
    label=$(echo $v | sed 's/--dither=//; s/ --/ +/g')
    row="| $label |"
    for movie in "${movies[@]}"; do
      # shellcheck disable=SC2086
      IFS=$'\t' read -r _ _ _ _ flicker psnr ssim tone fps _ < <($tool "$dir/$movie.mp4" --engine=builtin $v $grey --min-time=0.3 --tsv)
      row+=" $flicker % · $psnr · $ssim · $tone % · $(awk -v f="$fps" 'BEGIN { printf "%.1fk", f / 1000 }') |"
    done
    echo "$row"
  done
done

for movie in pans action; do
  for s in "${sheets[@]}"; do
    name=$(echo "$s" | sed 's/ --/+/g')
    # shellcheck disable=SC2086
    $tool "$dir/$movie.mp4" --engine=builtin --dither=$s --min-time=0 --out="$dir/sheets/$movie-$name.8xx" >/dev/null
    build-bench/vidxview "$dir/sheets/$movie-$name.8xx" --png "$dir/sheets/$movie-$name.png" --every 10 --scale 2 >/dev/null
  done
done
echo >&2 "contact sheets in $dir/sheets/"
