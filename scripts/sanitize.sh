#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/ and runs the whole test suite there. The tests start the built
# movdith and vidxview too, so those run sanitized as well; any report (a
# memory error, undefined behaviour or a leak) ends that process with a
# failure status, which fails the test. libav itself is not instrumented.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests >/dev/null

# g++ 12's flow analysis misfires on std::regex internals once the
# sanitizers' checks are inlined (-Wmaybe-uninitialized in std_function.h).
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined -Wno-maybe-uninitialized"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOVDITH_TESTS=ON \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build-asan -j"$(nproc)"

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0:print_stacktrace=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="print_suppressions=0"
ctest --test-dir build-asan --output-on-failure -j2 "$@"
