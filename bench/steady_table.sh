#!/usr/bin/env bash
# Measures the steady mode (--stable) against the plain mode on every quality
# movie in both level counts and prints docs/quality.md's table of it, one row
# per movie, level count and mode, with the targets each row misses:
#   bench/steady_table.sh [--before=TOOL] [DIR] [MODE...]
# DIR as for make_quality_movies.sh (the frames taken once into DIR/raw, as
# quality_table.sh takes them); MODE: dithering modes (default: all eleven).
# With --before, each figure of the steady mode is given as before / after,
# TOOL being an older build of build-bench/dither_quality.
# STEADY_TOOL=TOOL measures that build instead of build-bench/dither_quality.
# The last line counts the rows that miss a target and each target's misses.
# Targets: still flicker <= 1 %, pans flicker <= a third of the plain mode's,
# structure (SSIM) at most 0.01 below the plain mode's on pans and zoom, band
# gap <= 3 levels (over the bands the tool counts), tone error <= the plain
# mode's + 0.005 of full light (the tool gives it in %: 0.5 points), no holes,
# trails <= 10 % (the squares only).
set -euo pipefail
cd "$(dirname "$0")/.."
before=""
if [[ ${1:-} == --before=* ]]; then
  before=${1#--before=}
  shift
fi
dir=${1:-build-quality}
[ $# -gt 0 ] && shift
modes=("$@")
[ ${#modes[@]} -gt 0 ] || modes=(matrix floyd-steinberg atkinson jarvis-judice-ninke stucki burkes sierra two-row-sierra
                                  sierra-lite bayer blue-noise)
tool=${STEADY_TOOL:-build-bench/dither_quality}
movies=(still pans action zoom ramp zoneplate squares-dark squares-light)
# The frames, once through the built-in engine, as quality_table.sh takes them.
mkdir -p "$dir/raw"
for movie in "${movies[@]}"; do
  [ -f "$dir/raw/$movie.raw" ] && continue
  [ -f "$dir/$movie.mp4" ] || bench/make_quality_movies.sh "$dir" >&2
  $tool "$dir/$movie.mp4" --engine=builtin --min-time=0 --raw-out="$dir/raw/$movie.raw" >/dev/null
done

# run TOOL MOVIE OPTION...: the tool's tab-separated line.
run() {
  local t=$1 movie=$2
  shift 2
  $t "$dir/raw/$movie.raw" --min-time=0 --tsv "$@"
}

table() {
  if [ -n "$before" ]; then
    echo "| movie | levels | mode | flicker % plain / before / after | SSIM plain / before / after | tone error % plain / before / after | band gap before / after | trails % before / after | holes before / after | targets missed after |"
  else
    echo "| movie | levels | mode | flicker % plain / steady | SSIM plain / steady | tone error % plain / steady | band gap | trails % | holes | targets missed |"
  fi
  echo "|---|---|---|---|---|---|---|---|---|---|"
  for mode in "${modes[@]}"; do
    for grey in "" "-g"; do
      levels=$([ -z "$grey" ] && echo 2 || echo 4)
      for movie in "${movies[@]}"; do
        # shellcheck disable=SC2086
        plain=$(run $tool "$movie" --dither="$mode" $grey)
        # shellcheck disable=SC2086
        after=$(run $tool "$movie" --dither="$mode" --stable $grey)
        # shellcheck disable=SC2086
        [ -n "$before" ] && old=$(run "$before" "$movie" --dither="$mode" --stable $grey) || old=""
        printf '%s\n%s\n%s\n' "$plain" "$old" "$after" | awk -F'\t' -v movie="$movie" -v levels="$levels" -v mode="$mode" '
          NR == 1 { pf = $5; ps = $7; pt = $8 }
          NR == 2 && NF { bf = $5; bs = $7; bt = $8; bg = $13; btr = $15; bh = $17; had = 1 }
          NR == 3 { f = $5; s = $7; t = $8; g = $13; tr = $15; h = $17 }
          END {
            square = movie ~ /^squares/
            miss = ""
            if (movie == "still" && f > 1) miss = miss " still-fl"
            if (movie == "pans" && f > pf / 3) miss = miss " pan-fl"
            if ((movie == "pans" || movie == "zoom") && s < ps - 0.01) miss = miss " ssim"
            if (g > 3) miss = miss " gap"
            if (t > pt + 0.5) miss = miss " tone"
            if (h > 0) miss = miss " holes"
            if (square && tr > 10) miss = miss " trails"
            sub(/^ /, "", miss)
            if (miss == "") miss = "none"
            trails = square ? tr : "–"
            if (had) {
              btrails = square ? btr : "–"
              printf "| %s | %s | %s | %s / %s / %s | %s / %s / %s | %s / %s / %s | %s / %s | %s / %s | %s / %s | %s |\n",
                movie, levels, mode, pf, bf, f, ps, bs, s, pt, bt, t, bg, g, btrails, trails, bh, h, miss
            } else {
              printf "| %s | %s | %s | %s / %s | %s / %s | %s / %s | %s | %s | %s | %s |\n",
                movie, levels, mode, pf, f, ps, s, pt, t, g, trails, h, miss
            }
          }'
      done
    done
  done
}

# The table, then a count of the rows and of each target's misses.
rows=$(table)
echo "$rows"
echo "$rows" | awk -F'|' '
  NR > 2 {
    rows++
    n = split($(NF - 1), missed, " ")
    if (missed[1] != "none") { failing++; for (i = 1; i <= n; i++) count[missed[i]]++ }
  }
  END {
    printf "\n%d of %d rows miss a target:", failing, rows
    for (t in count) printf " %s %d", t, count[t]
    printf "\n"
  }'
