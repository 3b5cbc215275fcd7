#!/usr/bin/env bash
# Installs the Debian packages movdith needs (only those missing), then
# configures and builds it in build/. Run as root on Debian 12.
#   scripts/setup.sh            the tool itself
#   scripts/setup.sh --tests    also what the tests need
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make pkg-config libavformat-dev libavcodec-dev libswscale-dev libavutil-dev mencoder)
cmake_args=(-DMOVDITH_TESTS=OFF)
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(libgtest-dev ffmpeg)
  cmake_args=(-DMOVDITH_TESTS=ON)
fi

scripts/install-packages.sh "${packages[@]}"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}" >/dev/null
cmake --build build -j"$(nproc)"
