#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-sanitize/ and runs the whole test suite there. The tests start the
# built movdith and vidxview too, so those run sanitized as well; any report
# (a memory error, undefined behaviour or a leak) ends that process with a
# failure status, which fails the test. libav itself is not instrumented.
#   scripts/sanitize.sh [ctest arguments, e.g. -R Reader]
#   scripts/sanitize.sh soak [kills]   the soak run instead (bench/soak.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --packages-only tests
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j"$(nproc)"
if [[ "${1:-}" == soak ]]; then
  shift
  exec bench/soak.sh "$@"
fi
ctest --preset sanitize -j2 "$@"
