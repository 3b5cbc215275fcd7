#!/usr/bin/env bash
# Measures every dithering mode and every tone option on the quality movies,
# their frames made by the built-in engine, and prints the tables of
# docs/quality.md (flicker, fidelity, structure, tone error, pipeline frames
# per second):
#   bench/quality_table.sh [DIR]        (run by scripts/bench.sh quality; DIR as
#                                        for make_quality_movies.sh)
# and writes DIR/sheets/MOVIE-MODE.png, contact sheets made by vidxview --png
# from the videos dither_quality wrote. Each movie's frames are taken from the
# built-in engine once (DIR/raw/MOVIE.raw) and measured from there: the same
# frames, without decoding the movie for every row.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-quality}
[ -f "$dir/zoneplate.mp4" ] || bench/make_quality_movies.sh "$dir" >&2
tool=build-bench/dither_quality
movies=(still pans action zoom ramp zoneplate squares-dark squares-light)
modes=(matrix floyd-steinberg atkinson jarvis-judice-ninke stucki burkes sierra two-row-sierra sierra-lite
       bayer blue-noise)
mkdir -p "$dir/sheets" "$dir/raw"
for movie in "${movies[@]}"; do
  $tool "$dir/$movie.mp4" --engine=builtin --min-time=0 --raw-out="$dir/raw/$movie.raw" >/dev/null
done

# cell MOVIE OPTION...: "flicker % · PSNR · SSIM · tone error % · frames/s" of one run.
cell() {
  local movie=$1
  shift
  IFS=$'\t' read -r _ _ _ _ flicker psnr ssim tone fps _ < <($tool "$dir/raw/$movie.raw" --min-time=0.3 --tsv "$@")
  echo "$flicker % · $psnr · $ssim · $tone % · $(awk -v f="$fps" 'BEGIN { printf "%.1fk", f / 1000 }')"
}

header() {
  echo
  echo "$1 — each cell: flicker (% of pixels changing shade per frame) · fidelity (dB) · structure (SSIM) · tone error (% of light) · pipeline frames/s"
  echo
  echo "| $2 | still (5 s) | pans (24 s) | action (12 s) | zoom (12 s) | ramp (10 s) | zone plate (8 s) | dark square (12 s) | light square (12 s) |"
  echo "|---|---|---|---|---|---|---|---|---|"
}

# row LABEL OPTION...: one row over every movie.
row() {
  local label=$1 line
  shift
  line="| $label |"
  for movie in "${movies[@]}"; do line+=" $(cell "$movie" "$@") |"; done
  echo "$line"
}

variants=()
for m in "${modes[@]}"; do
  variants+=("--dither=$m")
  [[ $m == bayer || $m == blue-noise ]] || variants+=("--dither=$m --serpentine")
  variants+=("--dither=$m --stable")
done

for grey in "" "-g"; do
  levels=$([ -z "$grey" ] && echo 2 || echo 4)
  header "**$levels levels**" mode
  for v in "${variants[@]}"; do
    # shellcheck disable=SC2086
    row "$(echo $v | sed 's/--dither=//; s/ --/ +/g')" $v $grey
  done
done

# The tone options, each alone and as people combine them, with the default
# mode and with the steady one.
tones=("" "--gamma=2.2" "--brightness=20" "--brightness=-20" "--contrast=30" "--contrast=-30" "--levels=auto"
       "--sharpen=1" "--sharpen=3" "--gamma=2.2 --levels=auto --sharpen=1")
for grey in "" "-g"; do
  levels=$([ -z "$grey" ] && echo 2 || echo 4)
  for stable in "" "--stable"; do
    header "**Tone options, matrix${stable:+ +stable}, $levels levels**" option
    for t in "${tones[@]}"; do
      # shellcheck disable=SC2086
      row "${t:-none}" $t $stable $grey
    done
  done
done

# Tone error on the grey ramp of every mode, with and without --gamma=2.2.
echo
echo "**Tone error on the grey ramp** (% of light, 8 × 8 blocks), without and with \`--gamma=2.2\`"
echo
echo "| mode | 2 levels | 2 levels, gamma 2.2 | 4 levels | 4 levels, gamma 2.2 |"
echo "|---|---|---|---|---|"
for v in "${variants[@]}"; do
  line="| $(echo "$v" | sed 's/--dither=//; s/ --/ +/g') |"
  for grey in "" "-g"; do
    for gamma in "" "--gamma=2.2"; do
      # shellcheck disable=SC2086
      IFS=$'\t' read -r _ _ _ _ _ _ _ tone _ < <($tool "$dir/raw/ramp.raw" --min-time=0 --tsv $v $grey $gamma)
      line+=" $tone % |"
    done
  done
  echo "$line"
done

# sheet MOVIE NAME OPTION...: a contact sheet, one frame a second, scaled 2x.
sheet() {
  local movie=$1 name=$2
  shift 2
  $tool "$dir/raw/$movie.raw" --min-time=0 --out="$dir/sheets/$movie-$name.8xx" "$@" >/dev/null
  build-bench/vidxview "$dir/sheets/$movie-$name.8xx" --png "$dir/sheets/$movie-$name.png" --every 10 --scale 2 >/dev/null
}
for movie in pans action zoom zoneplate; do
  for s in matrix "matrix --stable" "floyd-steinberg --serpentine" "floyd-steinberg --stable" "atkinson --stable" \
           blue-noise "blue-noise --stable" "matrix -g" "matrix --stable -g"; do
    # shellcheck disable=SC2086
    sheet "$movie" "$(echo "$s" | sed 's/ --/+/g; s/ -g/+grey/')" --dither=$s
  done
done
sheet ramp matrix --dither=matrix
for movie in pans ramp; do
  for t in "${tones[@]:1}"; do
    # shellcheck disable=SC2086
    sheet "$movie" "matrix+$(echo "$t" | sed 's/--//g; s/ /+/g')" $t
  done
done
echo >&2 "contact sheets in $dir/sheets/"
