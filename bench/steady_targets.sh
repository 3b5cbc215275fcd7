#!/usr/bin/env bash
# Checks the steady mode's picture targets against the plain mode, movie by
# movie, mode by mode, in 2 and 4 levels, and prints one line per miss and a
# count per target:
#   bench/steady_targets.sh [DIR] [MODE...]   (DIR as for quality_table.sh,
#                                              whose frames it reads; every mode
#                                              without MODE)
# The targets: no pixel of pure black or white source drawn otherwise (both
# modes); every band of 32 source greys within 3 levels of the plain mode's
# mean shade; the tone error at most the plain mode's + 0.005 (as the tool
# prints it, % of light); on the moving squares a trail at most 10 % over the
# plain mode's count; on the pans and the zoom the structure within 0.01 of
# the plain mode's; flicker on the still at most 1 %, on the pans at most a
# third of the plain mode's. Speed is measured apart (the Speed section of
# docs/quality.md): these runs time nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-quality}
shift || true
tool=build-bench/dither_quality
movies=(still pans action zoom ramp zoneplate squares-dark squares-light)
modes=("$@")
[ ${#modes[@]} -gt 0 ] || modes=(matrix floyd-steinberg atkinson jarvis-judice-ninke stucki burkes sierra
                                 two-row-sierra sierra-lite bayer blue-noise)
for movie in "${movies[@]}"; do
  [ -f "$dir/raw/$movie.raw" ] || { echo "steady_targets: no $dir/raw/$movie.raw (run bench/quality_table.sh first)" >&2; exit 1; }
done

for movie in "${movies[@]}"; do
  for mode in "${modes[@]}"; do
    for levels in 2 4; do
      g=()
      [ "$levels" = 4 ] && g=(-g)
      plain=$($tool "$dir/raw/$movie.raw" --min-time=0 --tsv --label="$movie" --dither="$mode" "${g[@]}")
      steady=$($tool "$dir/raw/$movie.raw" --min-time=0 --tsv --label="$movie" --dither="$mode" "${g[@]}" --stable)
      printf '%s\t%s\n' "$plain" "$steady"
    done
  done
done | awk -F'\t' '
  # Columns of one --tsv line (see dither_quality --help); the steady run
  # follows the plain one on the same line, 17 columns on.
  function miss(target, text) { misses[target]++; printf "%-13s %-20s %s levels  %s\n", $1, $2, $3, text }
  {
    runs++
    movie = $1; s = 17
    flicker = $(s + 5); ssim = $(s + 7); tone = $(s + 8); plain_tone = $(s + 12)
    gap = $(s + 13); band = $(s + 14); trail = $(s + 15); holes = $(s + 17)
    if ($17 > 0) miss("holes", sprintf("plain mode: %d pixels of a solid not its shade", $17))
    if (holes > 0) miss("holes", sprintf("steady: %d pixels of a solid not its shade", holes))
    if (gap > 3) miss("bands", sprintf("band %d-%d off by %.1f levels", band * 32, band * 32 + 31, gap))
    if (tone > plain_tone + 0.005 + 1e-9) miss("tone", sprintf("tone error %.2f %% against %.2f %%", tone, plain_tone))
    if (movie ~ /^squares/ && trail > 10) miss("trails", sprintf("trail %.1f %% over the plain mode", trail))
    if ((movie == "pans" || movie == "zoom") && ssim < $7 - 0.01 - 1e-9)
      miss("structure", sprintf("SSIM %.3f against %.3f", ssim, $7))
    if (movie == "still" && flicker > 1) miss("flicker", sprintf("flicker %.2f %% on a still", flicker))
    if (movie == "pans" && flicker > $5 / 3 + 1e-9) miss("flicker", sprintf("flicker %.2f %% against a third of %.2f %%", flicker, $5))
  }
  END {
    printf "\n%d runs;", runs
    n = split("holes bands tone trails structure flicker", names, " ")
    for (i = 1; i <= n; i++) printf " %s %d missed%s", names[i], misses[names[i]] + 0, i < n ? "," : "\n"
  }'
