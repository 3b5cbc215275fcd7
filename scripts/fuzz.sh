#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded time:  scripts/fuzz.sh [seconds-per-target] [target...]
# (0 seconds: no time limit); FUZZ_RUNS=N stops each after N executions.
# Targets: settings (the command line), reader (movie files through the
# reader and the frame pipeline), builtin (movie files through the built-in
# engine), vidx (video files through the preview's reader). Corpora grow in $FUZZ_WORK (default build-fuzz/work/<target>),
# seeded from fuzz/corpus/ and from small movies made here with ffmpeg and
# mencoder. A crash, hang, leak or broken invariant stops the run with a
# failure status and leaves the input in $FUZZ_WORK/findings/<target>/
# (crash-*, timeout-*, leak-*, oom-*): once fixed, keep it in
# fuzz/regressions/<target>/, which tests/fuzz_regressions_test.cpp replays.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
((${#targets[@]})) || targets=(settings reader builtin vidx)

# ffmpeg and mencoder make the seed movies; clang-14 and libclang-rt-14-dev
# bring libFuzzer and the sanitizer runtimes for it.
scripts/setup.sh --packages-only tests fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]/%/_fuzz}"
# The seeds include a run's temporary movie: build/movdith as the sources are now.
if [[ -f build/CMakeCache.txt ]]; then cmake --build --preset default -j"$(nproc)" --target movdith; else scripts/setup.sh; fi

root="$PWD"
work="$(realpath -m "${FUZZ_WORK:-build-fuzz/work}")"
seeds="$work/seeds"

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
  # The temporary movie exactly as a run makes it, kept by a wrapper.
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
  local made=()
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

run_target() {
  local target="$1" options=()
  local corpus="$work/$target" artifacts="$work/findings/$target"
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  local seed_dirs=()
  [[ -d "fuzz/corpus/$target" ]] && seed_dirs+=("$root/fuzz/corpus/$target")
  [[ -d "fuzz/regressions/$target" ]] && seed_dirs+=("$root/fuzz/regressions/$target")
  case "$target" in
    reader) make_reader_seeds; seed_dirs+=("$seeds/reader"); options=(-max_len=32768) ;;
    builtin) make_builtin_seeds; seed_dirs+=("$seeds/builtin"); options=(-max_len=32768) ;;
    vidx) options=(-max_len=8192) ;;
    settings) options=(-max_len=512 -dict="$root/fuzz/settings.dict") ;;
  esac
  [[ -n ${FUZZ_RUNS:-} ]] && options+=(-runs="$FUZZ_RUNS")
  echo "== $target: $seconds s${FUZZ_RUNS:+, $FUZZ_RUNS runs}"
  ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    "$root/build-fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$artifacts/" "${options[@]}" \
    "$corpus" "${seed_dirs[@]}" >"$work/$target.log" 2>&1 || true
  grep -E "^(#[0-9]+.*DONE|Done [0-9]+ runs|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb|SUMMARY)" \
    "$work/$target.log" || true
  # libFuzzer leaves the input of every finding (crash-*, timeout-*, leak-*, oom-*).
  if compgen -G "$artifacts/*" >/dev/null; then
    echo "$target: FINDING, input left in $artifacts (log: $work/$target.log)"
    return 1
  fi
  grep -qE "^#[0-9]*.*DONE|^Done [0-9]+ runs" "$work/$target.log" || { echo "$target: did not finish (log: $work/$target.log)"; return 1; }
}

status=0
for t in "${targets[@]}"; do run_target "$t" || status=1; done
exit $status
