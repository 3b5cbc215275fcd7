#!/usr/bin/env bash
# Checks the source tree's layout rules that a compiler does not:
#   - no include runs back up: the movie stage's shared code (src/movie/*)
#     includes nothing from either engine's folder, and the two engines
#     (src/movie/mencoder/, src/movie/builtin/) include nothing of each other;
#   - every repository path that the README, docs/, the manual pages, the
#     scripts and the CMake files name in backticks or as a source exists.
# Prints each breach and exits 1 if there is one.
#   scripts/check-layout.sh
set -uo pipefail
cd "$(dirname "$0")/.."

status=0
breach() { echo "$*"; status=1; }

# --- Includes ---------------------------------------------------------------
# Folder of a file and the folders it may not include from.
forbidden_for() {
  case $1 in
    src/movie/mencoder/*) echo "movie/builtin/" ;;
    src/movie/builtin/*) echo "movie/mencoder/" ;;
    src/movie/*) echo "movie/mencoder/ movie/builtin/" ;;
  esac
}
while IFS= read -r file; do
  forbidden=$(forbidden_for "$file")
  [[ -n $forbidden ]] || continue
  while IFS= read -r line; do
    included=${line#*\"}
    included=${included%\"*}
    for prefix in $forbidden; do
      [[ $included == "$prefix"* ]] && breach "$file includes $included, which is $prefix"
    done
  done < <(grep -E '^#include "' "$file")
done < <(find src/movie -name '*.h' -o -name '*.cpp' | sort)
# The browser build compiles movdith_movie_core and web/movdith_web.cpp: no
# libav, no processes, no files of the command line's engines.
for file in web/movdith_web.cpp $(sed -n '/^add_library(movdith_movie_core/,/^)/p' CMakeLists.txt | grep -o 'src/[^ )]*'); do
  while IFS= read -r included; do
    case $included in
      *movie/mencoder/*|*libav*|*movie/builtin/builtin.h|*movie/builtin/engine.h|*movie/movie_info.h|*movie/limits.h|*util/paths.h|*util/stop_signals.h)
        breach "$file (in the browser build) includes $included" ;;
    esac
  done < <(grep -ohE '^#include ["<][^">]*' "$file" | cut -c11-)
done

# --- Named paths --------------------------------------------------------------
# A path is a backticked word, or a CMake source, that starts with one of
# the tree's top folders; a trailing '*' or '.*', or no extension at all,
# names the files with that stem (`src/movie/sizing` for its .h and .cpp).
tops=$(find . -mindepth 1 -maxdepth 1 -type d ! -name '.*' ! -name 'build*' ! -name node_modules -printf '%f\n' |
  sort | paste -sd'|')
named() {
  grep -oE "\`($tops)/[A-Za-z0-9_./*+-]*\`" "$@" | tr -d '`'
  grep -ohP "(^|[ (])($tops)/[A-Za-z0-9_./-]+\.(cpp|h|sh|md|1|py|mjs|js|txt|cmake|in)(?![A-Za-z0-9_.])" "$@" | sed -E 's/^[ (]//'
}
docs=(README.md docs/*.md man/*.1 scripts/*.sh bench/*.sh CMakeLists.txt web/CMakeLists.txt)
while IFS=: read -r where path; do
  path=${path%.}
  case $path in
    build*|*'<'*) continue ;;  # made by a build, or a pattern
  esac
  if [[ $path == *'*' ]]; then
    compgen -G "$path" >/dev/null || breach "$where names $path: no such files"
  elif [[ ! -e $path ]] && ! compgen -G "$path.*" >/dev/null; then
    breach "$where names $path: no such path"
  fi
done < <(for d in "${docs[@]}"; do named "$d" | sed "s|^|$d:|"; done | sort -u)

exit $status
