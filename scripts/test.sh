#!/usr/bin/env bash
# Quick start: set everything up, then build and run every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh tests
ctest --preset default -j2
