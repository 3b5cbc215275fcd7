#!/usr/bin/env bash
# Builds the browser page (build-web/web/site/, plain files any static host
# can serve) and serves it on http://127.0.0.1:8096/ until Ctrl-C.
#   scripts/web.sh          build and serve
#   scripts/web.sh build    build only
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --packages-only web
cmake --preset web >/dev/null
cmake --build --preset web -j"$(nproc)"
[[ "${1:-}" == build ]] && exit 0
echo "movdith's page: http://127.0.0.1:8096/ (Ctrl-C stops the server)"
exec python3 -m http.server 8096 --bind 127.0.0.1 --directory build-web/web/site
