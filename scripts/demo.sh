#!/usr/bin/env bash
# Quick start: set everything up, then convert the bundled sample movie into
# sample.8xx in the project folder.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build/movdith sample/sample.mp4 sample.8xx
