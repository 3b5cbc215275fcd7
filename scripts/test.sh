#!/usr/bin/env bash
# Quick start: set everything up, then build and run every test, the
# browser page's in headless Chromium among them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh tests web
ctest --preset default -j2
