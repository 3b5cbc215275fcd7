#!/usr/bin/env bash
# The libFuzzer targets (docs/hardening.md), built with clang in build-fuzz/:
#   scripts/fuzz.sh ci [target...]          what CI runs: every regression
#       input and the checked-in corpus replayed, then a fixed number of
#       executions from a fixed seed, so every clone of a commit gives the
#       same answer
#   scripts/fuzz.sh [seconds] [target...]   open-ended fuzzing for people
#       (0 seconds: no time limit; FUZZ_RUNS=N stops each target after N
#       executions); corpora grow in $FUZZ_WORK (default build-fuzz/work)
# Targets: settings (the command line), reader (movie files through the
# reader and the frame pipeline), builtin (movie files through the built-in
# engine), vidx (video files through the preview's reader).
# Every run holds memory to the program's own limits (src/movie/limits.h):
# one allocation over kMaxAllocation, or a process over kMemoryCeiling, is a
# finding (oom-*), like a crash, a hang or a leak. A finding stops the run
# with a failure status and leaves its input in $FUZZ_WORK/findings/<target>/;
# docs/hardening.md says how to keep it in fuzz/regressions/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=open
if [[ ${1:-} == ci ]]; then
  mode=ci
  shift
else
  seconds="${1:-60}"
  shift || true
fi
targets=("$@")
((${#targets[@]})) || targets=(settings reader builtin vidx)

# ffmpeg and mencoder make the seed movies; clang-14 and libclang-rt-14-dev
# bring libFuzzer and the sanitizer runtimes for it.
scripts/setup.sh --packages-only tests fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]/%/_fuzz}"

root="$PWD"
work="$(realpath -m "${FUZZ_WORK:-build-fuzz/work}")"
seeds="$work/seeds"

# The program's memory limits, in MiB, read from the one place they are set.
limit_mib() {
  local value
  value=$(sed -n "s/^constexpr int64_t $1 = \([0-9]*\) \* kMiB;.*/\1/p" src/movie/limits.h)
  [[ -n $value ]] || { echo "fuzz.sh: $1 not found in src/movie/limits.h" >&2; exit 1; }
  echo "$value"
}
ceiling_mb=$(limit_mib kMemoryCeiling)
allocation_mb=$(limit_mib kMaxAllocation)

# Each target: its longest input, its dictionary, and its executions in CI
# (about half a minute each here).
declare -A max_len=([settings]=512 [reader]=32768 [builtin]=32768 [vidx]=8192)
declare -A ci_runs=([settings]=400000 [reader]=12000 [builtin]=6000 [vidx]=150000)
target_options() {
  local t=$1
  echo -max_len="${max_len[$t]}"
  [[ $t == settings ]] && echo -dict="$root/fuzz/settings.dict"
  # The engine's line per kind of damage, once per input: only noise here
  # (libFuzzer keeps its own reports, and the sanitizers', on a copy).
  [[ $t == builtin ]] && echo -close_fd_mask=2
  return 0
}

# ASan's quarantine of freed memory (256 MB by default) would count against
# the memory limit as if the target held it, and so would the free memory its
# allocator keeps for each size it has seen: released to the system every
# half second, a long run's resident memory stays what the target holds (it
# had crept from 220 to 248 MB over 600,000 executions of the reader).
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0:quarantine_size_mb=16:malloc_context_size=8:allocator_release_to_os_interval_ms=500"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
common=(-timeout=25 -rss_limit_mb="$ceiling_mb" -malloc_limit_mb="$allocation_mb" -detect_leaks=1)

# Small movies of the kinds the reader meets: the encoder's own output, and
# the codecs ffmpeg writes into AVI that libav decodes. Each stays a few KB.
make_reader_seeds() {
  local dir="$seeds/reader" src="$seeds/src.mp4"
  [[ -f "$dir/.done" ]] && return
  mkdir -p "$dir"
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=64x48:rate=10:duration=0.6" \
    -c:v libx264 -pix_fmt yuv420p "$src"
  local lavfi="testsrc2=size=24x16:rate=10:duration=0.5"
  ffmpeg -nostdin -v error -y -f lavfi -i "$lavfi" -c:v msmpeg4v2 "$dir/msmpeg4v2.avi"
  ffmpeg -nostdin -v error -y -f lavfi -i "$lavfi" -c:v mjpeg -q:v 20 "$dir/mjpeg.avi"
  ffmpeg -nostdin -v error -y -f lavfi -i "$lavfi" -c:v ffv1 "$dir/ffv1.avi"
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=8x6:rate=10:duration=0.5" \
    -c:v rawvideo -pix_fmt bgr24 "$dir/rawvideo.avi"
  ffmpeg -nostdin -v error -y -f lavfi -i "$lavfi" -c:v mpeg4 -bf 2 -g 3 "$dir/mpeg4-bframes.avi"
  # The temporary movie exactly as a run makes it, kept by a wrapper; the
  # run needs build/movdith as the sources are now.
  if [[ -f build/CMakeCache.txt ]]; then cmake --build --preset default -j"$(nproc)" --target movdith; else scripts/setup.sh; fi
  (cd "$seeds" && KEEP_TEMP_MOVIE="$dir/mencoder.avi" PATH="$root/bench/keep:$PATH" \
    "$root/build/movdith" src.mp4 out.8xx >/dev/null && rm -f out.8xx)
  # A cut-off file: no index at the end.
  head -c 3000 "$dir/mencoder.avi" >"$dir/mencoder-truncated.avi"
  rm -f "$src"
  touch "$dir/.done"
}

# Small movies of the codecs and containers the tests make, each behind the
# byte fuzz_builtin reads its fit and clip from (0: pad, the whole movie).
make_builtin_seeds() {
  local dir="$seeds/builtin" lavfi="testsrc2=size=48x32:rate=10:duration=0.5"
  [[ -f "$dir/.done" ]] && return
  mkdir -p "$dir"
  seed() {  # name, output options...
    local name=$1
    shift
    ffmpeg -nostdin -v error -y -f lavfi -i "$lavfi" "$@" "$seeds/$name"
    { printf '\0'; cat "$seeds/$name"; } >"$dir/$name"
    rm -f "$seeds/$name"
  }
  seed h264.mp4 -c:v libx264 -pix_fmt yuv420p
  seed h264.ts -c:v libx264 -pix_fmt yuv420p
  seed vp9.webm -c:v libvpx-vp9 -b:v 50k
  seed mjpeg.avi -c:v mjpeg -q:v 20
  seed mpeg4.mkv -c:v mpeg4 -bf 2 -g 3
  seed ffv1.mkv -c:v ffv1
  seed gif.gif -c:v gif
  touch "$dir/.done"
}

# Whether the run whose log is $1 left findings in $2; says so if it did.
check_findings() {
  local log=$1 artifacts=$2 target=$3
  if compgen -G "$artifacts/*" >/dev/null; then
    echo "$target: FINDING, input left in $artifacts (log: $log)"
    return 1
  fi
}

# The regression inputs and the checked-in corpus, in name order.
kept_inputs() {
  local t=$1
  find "fuzz/regressions/$t" "fuzz/corpus/$t" -type f 2>/dev/null | LC_ALL=C sort
}

run_ci_target() {
  local target=$1 fuzzer="$root/build-fuzz/${1}_fuzz"
  local dir="$work/ci/$target" artifacts="$work/findings/$target"
  rm -rf "$dir" "$artifacts"
  mkdir -p "$dir/corpus" "$artifacts"
  local options
  mapfile -t options < <(target_options "$target")
  # Every kept input once, as libFuzzer runs files it is given.
  kept_inputs "$target" >"$dir/inputs"
  local count
  count=$(wc -l <"$dir/inputs")
  if ! xargs -d '\n' "$fuzzer" "${common[@]}" "${options[@]}" -artifact_prefix="$artifacts/" \
    <"$dir/inputs" >"$dir/replay.log" 2>&1; then
    check_findings "$dir/replay.log" "$artifacts" "$target" || return 1
    echo "$target: replay failed (log: $dir/replay.log)"
    return 1
  fi
  # Then a fixed run from them. The seeds are named in a list, in name order,
  # and not shuffled: libFuzzer then runs them in that order (by size, ties
  # kept), whatever order the file system lists them in, and from seed 1 each
  # clone makes the same mutations. Without -use_cmp=0 it would also take
  # the operands of the code's comparisons as words to try, and some are
  # addresses, which differ from run to run (ASLR): two clones then part
  # ways after a few dozen executions.
  paste -sd, "$dir/inputs" >"$dir/seeds"
  "$fuzzer" "${common[@]}" "${options[@]}" -seed=1 -runs="${ci_runs[$target]}" -shuffle=0 -reload=0 -use_cmp=0 \
    -seed_inputs=@"$dir/seeds" -print_final_stats=1 -artifact_prefix="$artifacts/" "$dir/corpus" \
    >"$dir/fixed.log" 2>&1 || true
  check_findings "$dir/fixed.log" "$artifacts" "$target" || return 1
  grep -qE "^Done [0-9]+ runs" "$dir/fixed.log" || { echo "$target: did not finish (log: $dir/fixed.log)"; return 1; }
  local units coverage
  units=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fixed.log")
  coverage=$(grep -E "^#[0-9]+[[:space:]]+DONE" "$dir/fixed.log" | grep -oE "cov: [0-9]+ ft: [0-9]+ corp: [0-9]+" || true)
  echo "$target: $count kept inputs replayed; $units executions from seed 1: clean ($coverage)"
}

run_open_target() {
  local target="$1" options
  local corpus="$work/$target" artifacts="$work/findings/$target"
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  mapfile -t options < <(target_options "$target")
  local seed_dirs=()
  [[ -d "fuzz/corpus/$target" ]] && seed_dirs+=("$root/fuzz/corpus/$target")
  [[ -d "fuzz/regressions/$target" ]] && seed_dirs+=("$root/fuzz/regressions/$target")
  case "$target" in
    reader) make_reader_seeds; seed_dirs+=("$seeds/reader") ;;
    builtin) make_builtin_seeds; seed_dirs+=("$seeds/builtin") ;;
  esac
  [[ -n ${FUZZ_RUNS:-} ]] && options+=(-runs="$FUZZ_RUNS")
  echo "== $target: $seconds s${FUZZ_RUNS:+, $FUZZ_RUNS runs}"
  "$root/build-fuzz/${target}_fuzz" "${common[@]}" "${options[@]}" -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "${seed_dirs[@]}" >"$work/$target.log" 2>&1 || true
  grep -E "^(#[0-9]+.*DONE|Done [0-9]+ runs|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb|SUMMARY)" \
    "$work/$target.log" || true
  check_findings "$work/$target.log" "$artifacts" "$target" || return 1
  grep -qE "^#[0-9]*.*DONE|^Done [0-9]+ runs" "$work/$target.log" || { echo "$target: did not finish (log: $work/$target.log)"; return 1; }
}

status=0
for t in "${targets[@]}"; do
  if [[ $mode == ci ]]; then run_ci_target "$t" || status=1; else run_open_target "$t" || status=1; fi
done
exit $status
